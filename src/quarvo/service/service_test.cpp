#include "quarvo/service/service.hpp"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "quarvo/core/mount_table.hpp"
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

// The fake backend mounts a tmpfs for every volume it serves, in a mount
// namespace private to this test process (entered before any test runs), so
// nothing reaches the machine's own table.
bool private_mounts = false;

class PrivateMountNamespace : public ::testing::Environment {
 public:
  void SetUp() override {
    private_mounts = ::geteuid() == 0 && detect_mount_support().found && ::unshare(CLONE_NEWNS) == 0 &&
                     ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
  }
};
const auto* const kPrivateMounts = ::testing::AddGlobalTestEnvironment(new PrivateMountNamespace);

#define REQUIRE_PRIVATE_MOUNTS()                                                                            \
  do {                                                                                                      \
    if (!private_mounts) GTEST_SKIP() << "mounting needs root, FUSE support and a private mount namespace"; \
  } while (0)

// The source of the mount on top at `mountpoint`, as the kernel lists it.
std::optional<std::string> source_at(const fs::path& mountpoint) {
  const auto m = mount_at(read_mount_table().value(), mountpoint);
  return m ? std::optional(m->source) : std::nullopt;
}

class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = tmp_.path();
    cwd_ = fs::current_path();
    env_.set("QUARVO_HOME", home().string());
    env_.set("QUARVO_STORAGE_BACKEND_BIN", QUARVO_FAKE_BACKEND);
    env_.set("FAKE_BACKEND_LOG", (root_ / "backend.log").string());
    env_.set("FAKE_BACKEND_STATE", (root_ / "engines").string());
    fs::create_directory(root_ / "engines");
    for (const char* name : {"QUARVO_JUICEFS_BIN", "FAKE_BACKEND_FAIL", "FAKE_BACKEND_SLEEP", "FAKE_BACKEND_MOUNT"}) {
      env_.unset(name);
    }
    auto q = Quarvo::from_env();
    ASSERT_TRUE(q) << q.error().message();
    q_.emplace(std::move(*q));
  }
  void TearDown() override {
    fs::current_path(cwd_);
    // Whatever a failed test left mounted: its daemon then exits too.
    auto table = read_mount_table().value();
    for (auto m = table.rbegin(); m != table.rend(); ++m) {
      if (m->mountpoint.string().starts_with(root_.string() + "/")) ::umount2(m->mountpoint.c_str(), MNT_DETACH);
    }
  }

  // The fake backend's daemons serving mounts under this test's directory.
  std::vector<pid_t> daemons() const {
    std::vector<pid_t> found;
    for (const auto& entry : fs::directory_iterator("/proc")) {
      const std::string pid = entry.path().filename().string();
      if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
      const std::string stat = slurp(entry.path() / "stat");
      const size_t paren = stat.rfind(')');
      if (paren == std::string::npos || stat.substr(paren + 2, 1) == "Z") continue;
      std::string cmdline = slurp(entry.path() / "cmdline");
      std::replace(cmdline.begin(), cmdline.end(), '\0', ' ');
      if (cmdline.find("fake_backend mount") != std::string::npos && cmdline.find(root_.string()) != std::string::npos)
        found.push_back(std::stoi(pid));
    }
    return found;
  }

  static std::vector<std::string> listing(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  fs::path home() const { return root_ / "home"; }
  Registry registry() const { return Registry(QuarvoHome(home())); }

  std::vector<Args> calls(std::string_view subcommand = {}) const {
    return testing::backend_calls(root_ / "backend.log", subcommand);
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
      {"storage and bucket",
       {.metadata = meta, .storage = "minio", .bucket = "http://h/b"},
       std::nullopt,
       "minio",
       "http://h/b"},
      // Values the backend would read as options, refused before it runs.
      {"metadata like an option", {.metadata = "-h", .store = "file:///srv"}, ErrorKind::Io},
      {"bucket like an option", {.metadata = meta, .storage = "s3", .bucket = "--help"}, ErrorKind::Io},
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
  auto info = q_->init(
      {.name = "play", .dev = true, .metadata = "redis://x", .store = "s3://b", .storage = "gs", .bucket = "gs://b"});
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
// live in dev/ itself or in the home root; "-h" the backend would take for
// an option. Refused before anything is made.
TEST_F(ServiceTest, DotAndOptionNamesNeverMakeVolumes) {
  for (const std::string name : {".", "..", "-h"}) {
    SCOPED_TRACE(name);
    const std::string invalid = "invalid volume name \"" + name + "\"; use only letters, numbers, '.', '_' and '-'";
    expect_error(q_->init({.name = name, .dev = true}), ErrorKind::InvalidVolumeName, invalid);
    expect_error(q_->ensure_volume({.name = name, .dev = true}), ErrorKind::InvalidVolumeName, invalid);
    EXPECT_TRUE(fs::is_empty(home() / "dev"));
    EXPECT_TRUE(calls().empty());
  }
}

TEST_F(ServiceTest, MountChecksThePathAndCreatesItOnlyForAKnownVolume) {
  REQUIRE_PRIVATE_MOUNTS();
  make_dev("data");
  spit(root_ / "file", "x");
  expect_error(q_->mount({.name = "data", .path = root_ / "file"}), ErrorKind::MountpointNotDirectory,
               "mountpoint " + (root_ / "file").string() + " exists and is not a directory");
  expect_error(q_->mount({.name = "data", .path = ""}), ErrorKind::IoAt, "I/O error at : " + os_text(EINVAL));
  EXPECT_TRUE(calls("mount").empty());
  expect_error(q_->mount({.name = "ghost", .path = root_ / "a" / "b"}), ErrorKind::VolumeNotFound,
               "volume \"ghost\" does not exist");
  EXPECT_FALSE(fs::exists(root_ / "a"));
  ASSERT_TRUE(q_->mount({.name = "data", .path = root_ / "a" / "b"}));
  EXPECT_TRUE(fs::is_directory(root_ / "a" / "b"));
  // The same path again is that mount: no second backend.
  auto again = q_->mount({.name = "data", .path = root_ / "a" / "b", .foreground = true});
  ASSERT_TRUE(again) << again.error().message();
  EXPECT_EQ(again->mountpoint, root_ / "a" / "b");
  EXPECT_EQ(calls("mount").size(), 1u);
}

// Whatever went wrong, what was started is gone again: no mount, no daemon,
// no probe file, no mountpoint recorded.
TEST_F(ServiceTest, FailedMountIsTornDown) {
  REQUIRE_PRIVATE_MOUNTS();
  struct Case {
    const char* variable;
    const char* value;
    ErrorKind kind;
    std::string message;  // "" for the IoAt at the probe file
  };
  const Case cases[] = {
      {"FAKE_BACKEND_FAIL", "mount:2", ErrorKind::CommandFailed,
       "Quarvo storage backend command failed (exit status: 2)"},
      {"FAKE_BACKEND_MOUNT", "die", ErrorKind::CommandFailed,
       "Quarvo storage backend command failed (signal: 9 (SIGKILL))"},
      {"FAKE_BACKEND_MOUNT", "none", ErrorKind::MountFailed,
       "the storage backend returned, but nothing is mounted there"},
      {"FAKE_BACKEND_MOUNT", "other:vol-b", ErrorKind::MountFailed, "the storage backend mounted JuiceFS:vol-b there"},
      {"FAKE_BACKEND_MOUNT", "readonly", ErrorKind::IoAt, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.variable) + "=" + c.value);
    ScopedEnv env;
    env.set(c.variable, c.value);
    const std::string name = "v" + std::to_string(&c - cases);
    const Volume before = make_dev(name);
    const fs::path mp = root_ / name;
    auto m = q_->mount({.name = name, .path = mp});
    ASSERT_FALSE(m);
    EXPECT_EQ(m.error().kind(), c.kind) << m.error().message();
    if (c.kind == ErrorKind::MountFailed) {
      EXPECT_EQ(m.error().message(), "could not mount volume \"" + name + "\" at " + mp.string() + ": " + c.message);
    } else if (!c.message.empty()) {
      EXPECT_EQ(m.error().message(), c.message);
    } else {
      EXPECT_EQ(m.error().os_error().code, EROFS);
    }
    EXPECT_EQ(record(name), before);
    EXPECT_EQ(source_at(mp), std::nullopt);
    EXPECT_TRUE(fs::is_empty(mp));
    EXPECT_TRUE(daemons().empty());
  }
}

// A command timeout ends the backend and whatever it mounted meanwhile.
TEST_F(ServiceTest, MountPastTheCommandTimeoutIsEndedAndTornDown) {
  REQUIRE_PRIVATE_MOUNTS();
  make_dev("slow");
  env_.set("FAKE_BACKEND_SLEEP", "mount:20000");
  const Quarvo bounded = q_->with_command_timeout(std::chrono::milliseconds(300));
  expect_error(bounded.mount({.name = "slow", .path = root_ / "slow"}), ErrorKind::TimedOut,
               "fake_backend mount timed out after 0.3 s");
  EXPECT_EQ(record("slow").mountpoint, std::nullopt);
  EXPECT_EQ(source_at(root_ / "slow"), std::nullopt);
}

TEST_F(ServiceTest, FlushNeedsTheLiveMountAndLeavesNothingBehind) {
  REQUIRE_PRIVATE_MOUNTS();
  make_dev("data");
  expect_error(q_->flush("data"), ErrorKind::VolumeNotMounted, "volume \"data\" is not mounted");
  const fs::path mp = root_ / "mnt";
  ASSERT_TRUE(q_->mount({.name = "data", .path = mp}));
  fs::create_directory(root_ / "empty-path");
  const Quarvo bounded = q_->with_command_timeout(std::chrono::milliseconds(10'000));
  for (const bool helper : {false, true}) {
    for (const bool with_sync : {true, false}) {
      SCOPED_TRACE(std::string(helper ? "in a helper process" : "in process") + (with_sync ? ", sync" : ", no sync"));
      ScopedEnv env;
      if (!with_sync) env.set("PATH", (root_ / "empty-path").string());
      auto flushed = (helper ? bounded : *q_).flush("data");
      ASSERT_TRUE(flushed) << flushed.error().message();
      EXPECT_EQ(listing(mp), std::vector<std::string>{".config"});
    }
  }
  // The record still names the mountpoint, but the volume is gone from it.
  ASSERT_EQ(::umount2(mp.c_str(), MNT_DETACH), 0);
  expect_error(q_->flush("data"), ErrorKind::VolumeNotMounted, "volume \"data\" is not mounted");
}

// Unmount acts only on this volume's own mount; what it finds otherwise is
// cleared from the record and said in a note.
TEST_F(ServiceTest, UnmountActsOnlyOnTheVolumesOwnMount) {
  REQUIRE_PRIVATE_MOUNTS();
  make_dev("data");
  const fs::path mp = root_ / "mnt";
  ASSERT_TRUE(q_->mount({.name = "data", .path = mp}));
  env_.set("FAKE_BACKEND_FAIL", "umount:1");
  expect_error(q_->unmount("data", false), ErrorKind::CommandFailed,
               "Quarvo storage backend command failed (exit status: 1)");
  EXPECT_EQ(record("data").mountpoint, mp);
  env_.unset("FAKE_BACKEND_FAIL");
  auto notes = q_->unmount("data", false);
  ASSERT_TRUE(notes) << notes.error().message();
  EXPECT_EQ(*notes, Notes{});
  expect_error(q_->unmount("data", false), ErrorKind::VolumeNotMounted, "volume \"data\" is not mounted");

  // A record naming a path where nothing is mounted is cleared with a note.
  Volume v = record("data");
  v.mountpoint = mp;
  ASSERT_TRUE(registry().write(v));
  const size_t before = calls("umount").size();
  auto cleared = q_->unmount("data", false);
  ASSERT_TRUE(cleared) << cleared.error().message();
  EXPECT_EQ(*cleared, Notes{"it was already unmounted: nothing is mounted at " + mp.string()});
  EXPECT_EQ(record("data").mountpoint, std::nullopt);
  EXPECT_EQ(calls("umount").size(), before);
}

// Each recorded volume is mounted again with its own outcome; one failing
// does not stop the others.
TEST_F(ServiceTest, MountAllMountsEveryRecordedVolumeAgain) {
  REQUIRE_PRIVATE_MOUNTS();
  for (const char* name : {"a", "b", "c", "idle"}) make_dev(name);
  for (const char* name : {"a", "b", "c"}) ASSERT_TRUE(q_->mount({.name = name, .path = root_ / name}));
  ASSERT_TRUE(q_->unmount("c", false));
  ASSERT_TRUE(q_->mount({.name = "c", .path = root_ / "c"}));
  // "a" and "b" lose their mounts; "c" stays mounted.
  for (const char* name : {"a", "b"}) ASSERT_EQ(::umount2((root_ / name).c_str(), MNT_DETACH), 0);
  fs::remove(root_ / "b");
  spit(root_ / "b", "now a file");

  auto attempts = q_->mount_all();
  ASSERT_TRUE(attempts) << attempts.error().message();
  ASSERT_EQ(attempts->size(), 2u);
  EXPECT_EQ((*attempts)[0].name, "a");
  ASSERT_TRUE((*attempts)[0].result) << (*attempts)[0].result.error().message();
  EXPECT_EQ((*attempts)[0].result->notes, Notes{"it was recorded at " + (root_ / "a").string() +
                                                ", where nothing was mounted any more; mounted it again"});
  EXPECT_EQ(source_at(root_ / "a"), "JuiceFS:a");
  EXPECT_EQ((*attempts)[1].name, "b");
  ASSERT_FALSE((*attempts)[1].result);
  EXPECT_EQ((*attempts)[1].result.error().kind(), ErrorKind::MountpointNotDirectory);
  EXPECT_EQ(calls("mount").size(), 5u);  // a, b, c, c again, a again
}

}  // namespace
}  // namespace quarvo
