#include "quarvo/service/service.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <sstream>
#include <thread>

#include "quarvo/core/registry.hpp"
#include "quarvo/core/test_support.hpp"

namespace quarvo {
namespace {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;

using testing::ScopedEnv;
using testing::slurp;
using testing::spit;

template <class T>
void expect_error(const Result<T>& r, ErrorKind kind, const std::string& message) {
  ASSERT_FALSE(r) << "expected an error: " << message;
  EXPECT_EQ(r.error().kind(), kind) << r.error().message();
  EXPECT_EQ(r.error().message(), message);
}

std::string os_text(int code) { return std::string(std::strerror(code)) + " (os error " + std::to_string(code) + ")"; }

#define SKIP_WITHOUT_MOUNT_SUPPORT()                                      \
  if (MountSupport ms = detect_mount_support(); !ms.found)                \
  GTEST_SKIP() << "this machine cannot mount user-space file systems: " << ms.detail

class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = tmp_.path();
    cwd_ = fs::current_path();
    env_.set("QUARVO_HOME", home().string());
    env_.set("QUARVO_STORAGE_BACKEND_BIN", QUARVO_FAKE_BACKEND);
    env_.set("FAKE_BACKEND_LOG", (root_ / "backend.log").string());
    for (const char* name : {"QUARVO_JUICEFS_BIN", "FAKE_BACKEND_FAIL", "FAKE_BACKEND_SIGNAL", "FAKE_BACKEND_SLEEP",
                             "FAKE_BACKEND_MOUNT_NULLDEV", "FAKE_BACKEND_MOUNT_SYMLINK"}) {
      env_.unset(name);
    }
    auto q = Quarvo::from_env();
    ASSERT_TRUE(q) << q.error().message();
    q_.emplace(std::move(*q));
  }
  void TearDown() override { fs::current_path(cwd_); }

  fs::path home() const { return root_ / "home"; }
  Registry registry() const { return Registry(QuarvoHome(home())); }

  // The fake backend's invocations, optionally of one subcommand only.
  std::vector<Args> calls(std::string_view subcommand = {}) const {
    std::vector<Args> out;
    std::istringstream lines(slurp(root_ / "backend.log"));
    for (std::string line; std::getline(lines, line);) {
      Args args;
      std::istringstream fields(line);
      for (std::string field; std::getline(fields, field, '\x1f');) args.push_back(field);
      if (subcommand.empty() || (!args.empty() && args[0] == subcommand)) out.push_back(args);
    }
    return out;
  }

  Volume record(const std::string& name) const {
    auto v = registry().read(name);
    EXPECT_TRUE(v) << v.error().message();
    return v ? *v : Volume{};
  }

  Volume make_dev(const std::string& name) {
    auto v = q_->init({.name = name, .dev = true});
    EXPECT_TRUE(v) << v.error().message();
    return record(name);
  }

  // A record as a mount leaves it, with an old updated_at so a change shows.
  Volume mounted_at(const std::string& name, const fs::path& mountpoint) {
    Volume v = make_dev(name);
    fs::create_directories(mountpoint);
    v.mountpoint = mountpoint;
    v.updated_at = "2000-01-01T00:00:00Z";
    EXPECT_TRUE(registry().write(v));
    return v;
  }

  testing::TempDir tmp_;
  fs::path root_;
  fs::path cwd_;
  ScopedEnv env_;
  std::optional<Quarvo> q_;
};

TEST_F(ServiceTest, FromEnvWithoutBackendFailsAfterCreatingLayout) {
  fs::create_directory(root_ / "empty-path");
  env_.set("PATH", (root_ / "empty-path").string());
  env_.set("QUARVO_HOME", (root_ / "other").string());
  env_.unset("QUARVO_STORAGE_BACKEND_BIN");
  expect_error(Quarvo::from_env(), ErrorKind::StorageBackendMissing,
               "Quarvo storage backend is not installed; run `quarvo doctor --install` or rerun the Quarvo installer");
  for (const char* dir : {"volumes", "logs", "bin", "dev"}) EXPECT_TRUE(fs::is_directory(root_ / "other" / dir)) << dir;
}

struct ProvisionCase {
  const char* label;
  InitVolume request;
  std::optional<ErrorKind> error;  // else the storage and bucket below
  const char* storage = "";
  const char* bucket = "";
};

TEST_F(ServiceTest, ProvisionResolvesMetadataAndStore) {
  const std::optional<std::string> meta = "redis://db/1";
  const ProvisionCase cases[] = {
      {"store but no metadata", {.store = "file:///srv"}, ErrorKind::MissingMetadataUrl},
      {"store and storage", {.metadata = meta, .store = "s3://b", .storage = "s3"}, ErrorKind::MissingObjectStorage},
      {"file url", {.metadata = meta, .store = "file:///srv/x"}, std::nullopt, "file", "/srv/x"},
      {"storage and bucket", {.metadata = meta, .storage = "minio", .bucket = "http://h/b"}, std::nullopt, "minio",
       "http://h/b"},
  };
  int i = 0;
  for (ProvisionCase c : cases) {
    SCOPED_TRACE(c.label);
    c.request.name = "v" + std::to_string(i++);
    const size_t before = calls().size();
    auto info = q_->init(c.request);
    if (c.error) {
      ASSERT_FALSE(info);
      EXPECT_EQ(info.error().kind(), *c.error) << info.error().message();
      EXPECT_EQ(calls().size(), before);
      EXPECT_FALSE(*registry().exists(c.request.name));
      continue;
    }
    ASSERT_TRUE(info) << info.error().message();
    EXPECT_EQ(*info, (VolumeInfo{c.request.name, *meta, c.storage, c.bucket, std::nullopt, false}));
  }
}

TEST_F(ServiceTest, DevVolumeLivesUnderDevDirAndIgnoresStoreArguments) {
  auto info = q_->init({.name = "play", .dev = true, .metadata = "redis://x", .store = "s3://b", .storage = "gs",
                        .bucket = "gs://b"});
  ASSERT_TRUE(info) << info.error().message();
  const fs::path dir = home() / "dev" / "play";
  EXPECT_EQ(*info, (VolumeInfo{"play", "sqlite3://" + (dir / "metadata.db").string(), "file",
                               (dir / "objects").string(), std::nullopt, true}));
  EXPECT_TRUE(fs::is_directory(dir / "objects"));
  EXPECT_FALSE(fs::exists(dir / "metadata.db"));  // the backend's to create
}

TEST_F(ServiceTest, ExistingNameKeepsItsStoredRecord) {
  auto first = q_->init({.name = "data", .metadata = "redis://db", .store = "file:///srv"});
  ASSERT_TRUE(first) << first.error().message();
  expect_error(q_->init({.name = "data", .dev = true}), ErrorKind::VolumeExists, "volume \"data\" already exists");
  auto again = q_->ensure_volume({.name = "data", .dev = true});
  ASSERT_TRUE(again) << again.error().message();
  EXPECT_EQ(*again, *first);
  EXPECT_EQ(calls("format").size(), 1u);

  env_.set("FAKE_BACKEND_FAIL", "format:3");
  expect_error(q_->init({.name = "other", .dev = true}), ErrorKind::CommandFailed,
               "Quarvo storage backend command failed (exit status: 3)");
  EXPECT_FALSE(*registry().exists("other"));  // a failed format writes no record
}

// "." and ".." are valid names, but a development volume of that name would
// live in dev/ itself or in the home root: refused before anything is made.
TEST_F(ServiceTest, DotNamesNeverMakeDevVolumes) {
  for (const std::string name : {".", ".."}) {
    SCOPED_TRACE(name);
    const std::string invalid = "invalid volume name \"" + name + "\"; use only letters, numbers, '.', '_' and '-'";
    expect_error(q_->init({.name = name, .dev = true}), ErrorKind::InvalidVolumeName, invalid);
    expect_error(q_->ensure_volume({.name = name, .dev = true}), ErrorKind::InvalidVolumeName, invalid);
    EXPECT_TRUE(fs::is_empty(home() / "dev"));
    EXPECT_TRUE(calls().empty());
  }
}

TEST_F(ServiceTest, MountChecksThePathAndCreatesItOnlyForAKnownVolume) {
  SKIP_WITHOUT_MOUNT_SUPPORT();
  make_dev("data");
  spit(root_ / "file", "x");
  expect_error(q_->mount({.name = "data", .path = root_ / "file"}), ErrorKind::MountpointNotDirectory,
               "mountpoint " + (root_ / "file").string() + " exists and is not a directory");
  EXPECT_TRUE(calls("mount").empty());
  expect_error(q_->mount({.name = "ghost", .path = root_ / "a" / "b"}), ErrorKind::VolumeNotFound,
               "volume \"ghost\" does not exist");
  EXPECT_FALSE(fs::exists(root_ / "a"));
  ASSERT_TRUE(q_->mount({.name = "data", .path = root_ / "a" / "b"}));
  EXPECT_TRUE(fs::is_directory(root_ / "a" / "b"));
}

TEST_F(ServiceTest, MountRecordsAbsolutePathAndRemountOverwrites) {
  SKIP_WITHOUT_MOUNT_SUPPORT();
  const Volume v = make_dev("data");
  fs::create_directory(root_ / "work");
  fs::current_path(root_ / "work");
  const fs::path first = fs::current_path() / "mnt/./x";
  auto m = q_->mount({.name = "data", .path = "mnt/./x"});
  ASSERT_TRUE(m) << m.error().message();
  EXPECT_EQ(m->name, "data");
  EXPECT_EQ(m->mountpoint, first);
  EXPECT_EQ(record("data").mountpoint, first);
  EXPECT_TRUE(fs::is_empty(first));  // no probe file left
  EXPECT_EQ(calls("mount").back(), (Args{"mount", v.metadata_url, first.string(), "--log",
                                         (home() / "logs" / "data.log").string(), "-d"}));

  const fs::path second = root_ / "second";
  ASSERT_TRUE(q_->mount({.name = "data", .path = second, .check_storage = true}));
  EXPECT_EQ(record("data").mountpoint, second);
  EXPECT_EQ(calls("mount").size(), 2u);
  EXPECT_EQ(calls("mount").back().back(), "--check-storage");
}

TEST_F(ServiceTest, FailedMountOrProbeRecordsNoMountpoint) {
  SKIP_WITHOUT_MOUNT_SUPPORT();
  spit(root_ / "target", "keep");
  struct Case {
    const char* variable;
    std::string value;
    ErrorKind kind;
    std::string message;  // "" for the IoAt at the probe file
  };
  const Case cases[] = {
      {"FAKE_BACKEND_FAIL", "mount:2", ErrorKind::CommandFailed,
       "Quarvo storage backend command failed (exit status: 2)"},
      {"FAKE_BACKEND_MOUNT_NULLDEV", "1", ErrorKind::Io, "mount probe returned unexpected data"},
      {"FAKE_BACKEND_MOUNT_SYMLINK", (root_ / "target").string(), ErrorKind::IoAt, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.variable);
    ScopedEnv env;
    env.set(c.variable, c.value);
    const std::string name = std::string("v") + c.variable;
    const Volume before = make_dev(name);
    const fs::path mp = root_ / name;
    const fs::path probe = mp / (".quarvo-probe-" + std::to_string(::getpid()));
    std::string message = c.message.empty() ? "I/O error at " + probe.string() + ": " + os_text(ELOOP) : c.message;
    expect_error(q_->mount({.name = name, .path = mp}), c.kind, message);
    EXPECT_EQ(record(name), before);
    EXPECT_EQ(slurp(root_ / "target"), "keep");
  }
}

TEST_F(ServiceTest, ForegroundMountEndsUnmounted) {
  SKIP_WITHOUT_MOUNT_SUPPORT();
  make_dev("data");
  ASSERT_TRUE(q_->mount({.name = "data", .path = root_ / "bg"}));
  const Volume mounted = record("data");

  env_.set("FAKE_BACKEND_FAIL", "mount:1");
  expect_error(q_->mount({.name = "data", .path = root_ / "fg", .foreground = true}), ErrorKind::CommandFailed,
               "Quarvo storage backend command failed (exit status: 1)");
  EXPECT_EQ(record("data"), mounted);

  // A planted probe device would fail a probe: success shows none was made.
  env_.unset("FAKE_BACKEND_FAIL");
  env_.set("FAKE_BACKEND_MOUNT_NULLDEV", "1");
  auto m = q_->mount({.name = "data", .path = root_ / "fg", .foreground = true});
  ASSERT_TRUE(m) << m.error().message();
  EXPECT_EQ(m->mountpoint, root_ / "fg");
  const Volume after = record("data");
  EXPECT_EQ(after.mountpoint, std::nullopt);
  EXPECT_NE(after.updated_at, mounted.updated_at);
  EXPECT_EQ(calls("mount").back().back(), (home() / "logs" / "data.log").string());  // no "-d"
}

TEST_F(ServiceTest, FlushLeavesNothingBehindWithOrWithoutSync) {
  make_dev("idle");
  expect_error(q_->flush("idle"), ErrorKind::VolumeNotMounted, "volume \"idle\" is not mounted");
  EXPECT_EQ(calls().size(), 1u);  // the format alone
  fs::create_directory(root_ / "empty-path");
  for (bool with_sync : {true, false}) {
    SCOPED_TRACE(with_sync ? "sync on PATH" : "no sync on PATH");
    ScopedEnv env;
    if (!with_sync) env.set("PATH", (root_ / "empty-path").string());
    const std::string name = with_sync ? "synced" : "unsynced";
    const Volume v = mounted_at(name, root_ / name);
    auto flushed = q_->flush(name);
    ASSERT_TRUE(flushed) << flushed.error().message();
    EXPECT_TRUE(fs::is_empty(root_ / name));
    EXPECT_EQ(record(name), v);
  }
}

TEST_F(ServiceTest, FlushNeverWritesThroughAPlantedMarker) {
  spit(root_ / "target", "keep");
  const fs::path mp = root_ / "mnt";
  mounted_at("data", mp);
  fs::create_symlink(root_ / "target", mp / ".quarvo-flush");
  expect_error(q_->flush("data"), ErrorKind::IoAt,
               "I/O error at " + (mp / ".quarvo-flush").string() + ": " + os_text(ELOOP));
  EXPECT_EQ(slurp(root_ / "target"), "keep");
  // A FIFO in its place would block a plain open for ever.
  fs::remove(mp / ".quarvo-flush");
  ASSERT_EQ(::mkfifo((mp / ".quarvo-flush").c_str(), 0600), 0);
  expect_error(q_->flush("data"), ErrorKind::IoAt,
               "I/O error at " + (mp / ".quarvo-flush").string() + ": " + os_text(ENXIO));
}

TEST_F(ServiceTest, UnmountClearsMountpointOnceAndAFailureKeepsIt) {
  const Volume v = mounted_at("data", root_ / "mnt");
  env_.set("FAKE_BACKEND_FAIL", "umount:1");
  expect_error(q_->unmount("data", false), ErrorKind::CommandFailed,
               "Quarvo storage backend command failed (exit status: 1)");
  EXPECT_EQ(record("data"), v);
  env_.unset("FAKE_BACKEND_FAIL");
  ASSERT_TRUE(q_->unmount("data", false));
  const Volume after = record("data");
  EXPECT_EQ(after.mountpoint, std::nullopt);
  EXPECT_GT(after.updated_at, v.updated_at);
  expect_error(q_->unmount("data", false), ErrorKind::VolumeNotMounted, "volume \"data\" is not mounted");
  EXPECT_EQ(calls("umount").size(), 2u);
}

// Two processes provisioning one name: the second waits for the registry lock
// held across the first one's (slow) format and then sees its record.
class ProvisionRaceTest : public ServiceTest, public ::testing::WithParamInterface<bool> {};

TEST_P(ProvisionRaceTest, SecondProcessWaitsAndSeesTheFirstRecord) {
  const bool ensure = GetParam();
  env_.set("FAKE_BACKEND_SLEEP", "format:1000");
  const pid_t first = ::fork();
  if (first == 0) _exit(q_->init({.name = "shared", .dev = true}) ? 0 : 1);

  // Once the format has started, the first process holds the lock.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (calls("format").empty() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(calls("format").size(), 1u);

  const InitVolume request{.name = "shared", .metadata = "redis://db", .store = "s3://b"};
  auto second = ensure ? q_->ensure_volume(request) : q_->init(request);
  EXPECT_EQ(testing::wait_exit_code(first), 0);
  if (ensure) {
    ASSERT_TRUE(second) << second.error().message();
    EXPECT_TRUE(second->dev);
  } else {
    expect_error(second, ErrorKind::VolumeExists, "volume \"shared\" already exists");
  }
  EXPECT_EQ(calls("format").size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(InitAndEnsure, ProvisionRaceTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "ensure_volume" : "init"; });

}  // namespace
}  // namespace quarvo
