#include "quarvo/service/daemons.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "quarvo/core/mount_table.hpp"
#include "quarvo/core/processes.hpp"
#include "quarvo/core/test_support.hpp"

namespace quarvo {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

Volume volume_at(std::string url) {
  Volume v;
  v.name = "data";
  v.metadata_url = std::move(url);
  return v;
}

// Which command lines are a daemon's of the volume: the password never in
// them, the URL and this home's log both required, options after the log.
TEST(Daemons, CommandLinesOfTheVolumesDaemonsForThisHome) {
  const Volume v = volume_at("redis://:s3cret@h:6379/1");
  const fs::path log = "/home/u/.quarvo/logs/data.log";
  const struct {
    const char* line;
    const char* mountpoint;  // nullptr: no daemon of it
  } cases[] = {
      {"juicefs mount redis://@h:6379/1 /mnt/d --log /home/u/.quarvo/logs/data.log", "/mnt/d"},
      {"/v/juicefs mount redis://@h:6379/1 /mnt/my d --log /home/u/.quarvo/logs/data.log --cache-size=5", "/mnt/my d"},
      {"juicefs mount redis://@h:6379/1 /mnt/d --log /other/home/logs/data.log", nullptr},
      {"juicefs mount redis://@h:6379/1 /mnt/d --log /home/u/.quarvo/logs/data.log.1", nullptr},
      {"juicefs mount redis://@h:6379/1 /mnt/d --log /home/u/.quarvo/lo", nullptr},  // cut short
      {"juicefs mount redis://@h:6379/1 /mnt/d", nullptr},
      {"juicefs mount redis://:s3cret@h:6379/1 /mnt/d --log /home/u/.quarvo/logs/data.log", nullptr},
      {"juicefs mount redis://@h:6379/10 /mnt/d --log /home/u/.quarvo/logs/data.log", nullptr},
      {"juicefs status redis://@h:6379/1 --log /home/u/.quarvo/logs/data.log", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    const auto found = daemon_mountpoint(c.line, v, log);
    EXPECT_EQ(found, c.mountpoint ? std::optional<fs::path>(c.mountpoint) : std::nullopt);
  }
}

// Real processes with a daemon's arguments: a supervisor that ignores
// SIGTERM and its serving child are found (supervisor first), waited for
// within the bound, and ended, the supervisor by SIGKILL.
TEST(Daemons, FoundWaitedForAndEndedSupervisorFirst) {
  const Volume v = volume_at("sqlite3:///tmp/quarvo-daemons-test-" + std::to_string(::getpid()) + ".db");
  testing::TempDir tmp;
  const fs::path log = tmp.path() / "data.log";
  const std::vector<fs::path> logs{log, tmp.path() / "data.log.1"};
  // sh -c SCRIPT $0 $1 ...: the shells' own arguments hold "mount URL MP --log LOG", both hold the log open.
  const pid_t supervisor = testing::start_program(
      {"sh", "-c", "exec 3>>\"$4\"; trap '' TERM; sh -c 'sleep 30 <&- >&- 2>&- 3>&-; :' \"$0\" \"$@\" & wait", "mount",
       v.metadata_url, "/mnt/d", "--log", log.string()});
  ASSERT_GT(supervisor, 0);
  std::vector<VolumeDaemon> found;
  for (int i = 0; i < 200 && found.size() < 2; ++i) {
    std::this_thread::sleep_for(10ms);
    found = volume_daemons(v, logs);
  }
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].pid, supervisor);
  EXPECT_TRUE(found[0].supervisor);
  EXPECT_FALSE(found[1].supervisor);
  EXPECT_EQ(parent_pid(found[1].pid), supervisor);
  EXPECT_EQ(found[1].mountpoint, "/mnt/d");
  EXPECT_TRUE(volume_daemons(v, {tmp.path() / "other.log"}).empty());  // another home's, whatever its line
  EXPECT_EQ(daemons_text({found[0]}), "pid " + std::to_string(supervisor) + " (mounting at /mnt/d)");

  auto waited = await_no_daemons(v, logs, WaitLimits::within(100ms, Cancel::never()));
  ASSERT_TRUE(waited);
  EXPECT_EQ(waited->size(), 2u);  // still there at the bound

  std::thread reaper([&] { ::waitpid(supervisor, nullptr, 0); });
  EXPECT_TRUE(end_daemons({found[0].pid, found[1].pid}, 300ms));
  reaper.join();
  waited = await_no_daemons(v, logs, WaitLimits::within(2s, Cancel::never()));
  ASSERT_TRUE(waited);
  EXPECT_TRUE(waited->empty());
}

// What dead daemons left in /tmp goes: this user's sockets and state files
// of gone pids; a live pid's, another kind of file and another user's stay.
TEST(Daemons, FilesOfDeadDaemonsGo) {
  const pid_t dead = ::fork();
  if (dead == 0) ::_exit(0);
  ::waitpid(dead, nullptr, 0);
  const std::string d = std::to_string(dead), live = std::to_string(::getpid());
  const auto socket_at = [](const fs::path& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0) << path;
    ::close(fd);
  };
  const struct {
    fs::path path;
    bool socket;
    bool goes;
  } cases[] = {
      {"/tmp/fuse_fd_comm." + d, true, true},      {"/tmp/state" + d + ".json", false, true},
      {"/tmp/fuse_fd_comm." + live, true, false},  {"/tmp/state" + live + ".json", false, false},
      {"/tmp/fuse_fd_comm.0" + d, false, false},  // not a socket
      {"/tmp/state" + d + "x.json", false, false},
  };
  for (const auto& c : cases) {
    fs::remove(c.path);
    if (c.socket) {
      socket_at(c.path);
    } else {
      testing::spit(c.path, "{}");
    }
  }
  remove_dead_daemon_files();
  for (const auto& c : cases) {
    EXPECT_EQ(fs::exists(fs::symlink_status(c.path)), !c.goes) << c.path;
    fs::remove(c.path);
  }
  // Another user's is not ours to judge.
  socket_at("/tmp/fuse_fd_comm." + d);
  ASSERT_EQ(::chown(("/tmp/fuse_fd_comm." + d).c_str(), 65534, 65534), 0);
  remove_dead_daemon_files();
  EXPECT_TRUE(fs::exists(fs::symlink_status("/tmp/fuse_fd_comm." + d)));
  fs::remove("/tmp/fuse_fd_comm." + d);
}

// A process waiting on a connection nobody serves (as on a daemon stuck in
// the kernel) is freed by the abort, on a machine whose init did not mount
// the FUSE control file system too.
TEST(Daemons, AbortFreesWhatWaitsOnTheConnection) {
  testing::TempDir tmp;
  const fs::path at = tmp.path() / "hung";
  fs::create_directory(at);
  const int device = testing::serverless_fuse(at, "JuiceFS:hung");
  if (device < 0) GTEST_SKIP() << "no FUSE mount here";
  auto table = read_mount_table();
  ASSERT_TRUE(table);
  const auto entry = mount_at(*table, at);
  ASSERT_TRUE(entry);
  (void)::umount2("/sys/fs/fuse/connections", MNT_DETACH);
  const pid_t waiter = ::fork();
  if (waiter == 0) {
    struct stat st{};
    ::_exit(::stat(at.c_str(), &st) != 0 && errno == ENOTCONN ? 0 : 1);
  }
  std::this_thread::sleep_for(100ms);
  EXPECT_TRUE(abort_fuse_connection(entry->device));
  int status = -1;
  for (int i = 0; i < 500 && ::waitpid(waiter, &status, WNOHANG) == 0; ++i) std::this_thread::sleep_for(10ms);
  if (status == -1) {  // still waiting: end it with the connection
    ::close(device);
    ::waitpid(waiter, &status, 0);
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ::umount2(at.c_str(), MNT_DETACH);
  ::close(device);
}

}  // namespace
}  // namespace quarvo
