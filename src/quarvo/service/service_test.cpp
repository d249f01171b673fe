#include "quarvo/service/service.hpp"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "quarvo/core/mount_table.hpp"
#include "quarvo/core/registry.hpp"
#include "quarvo/core/test_support.hpp"

namespace quarvo {
namespace {

namespace fs = std::filesystem;

template <class T>
void expect_error(const Result<T>& r, ErrorKind kind) {
  ASSERT_FALSE(r) << "expected an error";
  EXPECT_EQ(r.error().kind(), kind) << r.error().message();
}

// The fake backend mounts a tmpfs for every volume it serves, in a mount
// namespace private to this test process (entered before any test runs), so
// nothing reaches the machine's own table.
const bool kPrivateMounts = ::geteuid() == 0 && require_mount_support() && ::unshare(CLONE_NEWNS) == 0 &&
                            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
constexpr const char* kNoMounts = "mounting needs root, FUSE support and a private mount namespace";

class ServiceTest : public ::testing::Test {
 protected:
  void TearDown() override {
    // Whatever a failed test left mounted: its daemon then exits too.
    auto table = read_mount_table().value();
    for (auto m = table.rbegin(); m != table.rend(); ++m) {
      if (m->mountpoint.string().starts_with(root_.string() + "/")) ::umount2(m->mountpoint.c_str(), MNT_DETACH);
    }
  }

  // The fake backend's daemons still serving under this test's directory
  // (a zombie's command line is empty).
  size_t daemons() const {
    size_t n = 0;
    for (const auto& entry : fs::directory_iterator("/proc")) {
      const std::string cmdline = testing::slurp(entry.path() / "cmdline");
      n += cmdline.find(std::string("fake_backend\0mount\0", 19)) != std::string::npos &&
           cmdline.find(root_.string()) != std::string::npos;
    }
    return n;
  }

  Volume record(const std::string& name) const { return Registry(QuarvoHome(root_ / "home")).read(name).value(); }
  Volume make_dev(const std::string& name) {
    (void)q_.init({.name = name, .dev = true}, Cancel::never()).value();
    return record(name);
  }

  testing::TempDir tmp_;
  const fs::path root_ = tmp_.path();
  testing::FakeBackend fake_{root_};
  Quarvo q_ = Quarvo::from_env().value();
};

// Refused before the backend runs, leaving no record and no directory,
// through init and ensure_volume alike.
TEST_F(ServiceTest, ProvisionRefusesWhatTheBackendCannotTake) {
  const std::optional<std::string> meta = "redis://db/1";
  const std::pair<InitVolume, ErrorKind> cases[] = {
      {{.name = "v", .store = "file:///srv"}, ErrorKind::MissingMetadataUrl},
      {{.name = "v", .metadata = meta, .store = "s3://b", .storage = "s3"}, ErrorKind::MissingObjectStorage},
      // Values the backend would read as options.
      {{.name = "v", .metadata = "-h", .store = "file:///srv"}, ErrorKind::InvalidArgument},
      {{.name = "v", .metadata = meta, .storage = "s3", .bucket = "--help"}, ErrorKind::InvalidArgument},
      {{.name = "-h", .dev = true}, ErrorKind::InvalidVolumeName},
      // Valid names, but their development volumes would be dev/ itself or the home.
      {{.name = ".", .dev = true}, ErrorKind::InvalidArgument},
      {{.name = "..", .dev = true}, ErrorKind::InvalidArgument},
      // A metadata password where no engine takes one, or given twice.
      {{.name = "v", .dev = true, .metadata_password = "pw"}, ErrorKind::InvalidArgument},
      {{.name = "v", .metadata = "sqlite3:///m.db", .store = "s3://b", .metadata_password = "pw"},
       ErrorKind::InvalidArgument},
      {{.name = "v", .metadata = "redis://:pw@db/1", .store = "s3://b", .metadata_password = "pw"},
       ErrorKind::InvalidArgument},
  };
  for (const auto& [request, kind] : cases) {
    SCOPED_TRACE(request.name + " " + request.metadata.value_or("") + " " + request.bucket.value_or(""));
    expect_error(q_.init(request, Cancel::never()), kind);
    expect_error(q_.ensure_volume(request, Cancel::never()), kind);
  }
  // A home whose development volumes' metadata URL would read '?' as options.
  testing::ScopedEnv env;
  env.set("QUARVO_HOME", (root_ / "a?b").string());
  expect_error(Quarvo::from_env().value().init({.name = "v", .dev = true}, Cancel::never()),
               ErrorKind::InvalidArgument);
  EXPECT_TRUE(fake_.calls().empty());
  EXPECT_TRUE(fs::is_empty(root_ / "home" / "volumes"));
  EXPECT_TRUE(fs::is_empty(root_ / "home" / "dev"));
  // A development volume lives under dev/NAME, whatever store it is given.
  const fs::path dir = root_ / "home" / "dev" / "play";
  EXPECT_EQ(
      q_.init({.name = "play", .dev = true, .metadata = meta, .store = "s3://b", .storage = "gs"}, Cancel::never()),
      (VolumeInfo{"play", "sqlite3://" + (dir / "metadata.db").string(), "file", (dir / "objects").string(),
                  std::nullopt, true}));
}

// Whatever went wrong, what was started is gone again: no mount, no daemon,
// no probe file, no mountpoint recorded. A command timeout ends the backend
// and whatever it mounted meanwhile. A foreground backend has the caller's
// terminal: its failure names the subcommand alone and holds no output.
// A command killed while it ended a daemon leaves the daemon's socket in
// /tmp; the next command's service takes it away.
TEST_F(ServiceTest, TheNextCommandTakesAwayADeadDaemonsSocket) {
  const pid_t dead = ::fork();
  if (dead == 0) ::_exit(0);
  ::waitpid(dead, nullptr, 0);
  const std::string socket = "/tmp/fuse_fd_comm." + std::to_string(dead);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{.sun_family = AF_UNIX, .sun_path = {}};
  socket.copy(addr.sun_path, sizeof addr.sun_path - 1);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ::close(fd);
  ASSERT_TRUE(Quarvo::from_env());
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(socket)));
  std::filesystem::remove(socket);
}

TEST_F(ServiceTest, FailedMountIsTornDown) {
  if (!kPrivateMounts) GTEST_SKIP() << kNoMounts;
  const struct {
    std::vector<std::pair<std::string, std::string>> env;
    ErrorKind kind;
    const char* says;
    bool foreground = false;
    SettingChanges settings{};
  } cases[] = {
      {{{"FAKE_BACKEND_FAIL", "mount:2"}}, ErrorKind::CommandFailed, "(exit status: 2)"},
      {{{"FAKE_BACKEND_FAIL", "mount:3"}}, ErrorKind::CommandFailed, "(exit status: 3)", true},
      {{{"FAKE_BACKEND_MOUNT", "die"}}, ErrorKind::CommandFailed, "(signal: 9 (SIGKILL))"},
      {{{"FAKE_BACKEND_MOUNT", "none"}}, ErrorKind::MountFailed, "returned, but nothing is mounted there"},
      {{{"FAKE_BACKEND_MOUNT", "other:vol-b"}}, ErrorKind::MountFailed, "backend mounted JuiceFS:vol-b there"},
      {{{"FAKE_BACKEND_MOUNT", "readonly"}}, ErrorKind::IoAt, ": Read-only file system"},  // the probe's write
      {{{"FAKE_BACKEND_SLEEP", "mount:20000"}, {"QUARVO_COMMAND_TIMEOUT", "0.3"}}, ErrorKind::TimedOut, "after 0.3 s"},
      // A read-only mount is checked through its .config, not by a write.
      {{{"FAKE_BACKEND_MOUNT", "writable"}},
       ErrorKind::MountFailed,
       "its .config says it is not read-only",
       false,
       {{"read-only", "true"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.says);
    const std::string name = "v" + std::to_string(&c - cases);
    const Volume before = make_dev(name);
    testing::ScopedEnv env;
    for (const auto& [variable, value] : c.env) env.set(variable, value);
    auto m = Quarvo::from_env().value().mount({.name = name,
                                               .path = root_ / name,
                                               .foreground = c.foreground,
                                               .check_storage = false,
                                               .settings = c.settings},
                                              Cancel::never());
    ASSERT_NO_FATAL_FAILURE(expect_error(m, c.kind));
    EXPECT_NE(m.error().message().find(c.says), std::string::npos) << m.error().message();
    const CommandFailure& run = m.error().command();
    EXPECT_TRUE(!c.foreground || (run.args == "mount" && run.stderr_text.empty())) << run.args << run.stderr_text;
    EXPECT_EQ(record(name), before);
    EXPECT_FALSE(mount_at(read_mount_table().value(), root_ / name));
    EXPECT_TRUE(fs::is_empty(root_ / name));
    EXPECT_EQ(daemons(), 0u);
  }
}

// The kernel's table decides: an empty path is refused before the backend
// runs, the same path again is that mount (no second backend), a flush needs
// the live mount, and a failed unmount keeps the record.
TEST_F(ServiceTest, MountFlushAndUnmountGoByTheLiveMount) {
  if (!kPrivateMounts) GTEST_SKIP() << kNoMounts;
  make_dev("data");
  const fs::path mp = root_ / "mnt";
  expect_error(q_.mount({.name = "data", .path = ""}, Cancel::never()), ErrorKind::InvalidArgument);
  expect_error(q_.flush("data", Cancel::never()), ErrorKind::VolumeNotMounted);
  ASSERT_TRUE(q_.mount({.name = "data", .path = mp}, Cancel::never()));
  // Root's mount of a development volume is its owner's alone; a shared
  // volume's root keeps the mode its engine holds.
  EXPECT_EQ(fs::status(mp).permissions(), fs::perms(0700));
  ASSERT_TRUE(q_.init({.name = "team", .metadata = "redis://h/1", .store = "s3://b"}, Cancel::never()));
  ASSERT_TRUE(q_.mount({.name = "team", .path = root_ / "team"}, Cancel::never()));
  EXPECT_EQ(fs::status(root_ / "team").permissions(), fs::perms(0777));
  auto again = q_.mount({.name = "data", .path = mp, .foreground = true}, Cancel::never());
  ASSERT_TRUE(again) << again.error().message();
  EXPECT_EQ(again->mountpoint, mp);
  EXPECT_EQ(fake_.calls("mount").size(), 2u);
  // The daemon's log is the owner's alone: it may quote the metadata URL.
  EXPECT_EQ(fs::status(root_ / "home" / "logs" / "data.log").permissions(), fs::perms(0600));
  testing::ScopedEnv env;
  env.set("PATH", (root_ / "empty-path").string());  // no "sync" to run: no matter
  auto flushed = q_.flush("data", Cancel::never());
  ASSERT_TRUE(flushed) << flushed.error().message();
  EXPECT_EQ(std::distance(fs::directory_iterator(mp), fs::directory_iterator()), 2);  // the daemon's .config, .stats
  env.set("FAKE_BACKEND_FAIL", "umount:1");
  expect_error(q_.unmount("data", false, Cancel::never()), ErrorKind::CommandFailed);
  EXPECT_EQ(record("data").mountpoint, mp);
  // The record still names the mountpoint, but the volume is gone from it.
  ASSERT_EQ(::umount2(mp.c_str(), MNT_DETACH), 0);
  expect_error(q_.flush("data", Cancel::never()), ErrorKind::VolumeNotMounted);
}

// A mount that never answers holds a call only until its one deadline,
// not for the service's own 5 s of asking a mount on top of it.
TEST_F(ServiceTest, CallsOnAMountThatNeverAnswersKeepToTheDeadline) {
  if (!kPrivateMounts) GTEST_SKIP() << kNoMounts;
  Volume data = make_dev("data");
  data.mountpoint = root_ / "hung";
  fs::create_directories(*data.mountpoint);
  const int device = testing::serverless_fuse(*data.mountpoint, "JuiceFS:data");
  if (device < 0) GTEST_SKIP() << "no FUSE device here";
  ASSERT_TRUE(Registry(QuarvoHome(root_ / "home")).write(data));
  testing::ScopedEnv env;
  env.set("QUARVO_COMMAND_TIMEOUT", "0.3");
  const Quarvo q = Quarvo::from_env().value();
  const std::string says = "asking the mount at " + data.mountpoint->string() + " timed out after 0.3 s";
  for (const bool flush : {true, false}) {
    const auto start = std::chrono::steady_clock::now();
    const auto error = [&]() -> std::optional<QuarvoError> {
      if (flush) {
        auto r = q.flush("data", Cancel::never());
        return r ? std::nullopt : std::optional(r.error());
      }
      auto r = q.unmount("data", false, Cancel::never());
      return r ? std::nullopt : std::optional(r.error());
    }();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->message(), says);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
  }
  ::close(device);
}

}  // namespace
}  // namespace quarvo
