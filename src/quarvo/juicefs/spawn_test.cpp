#include "quarvo/juicefs/spawn.hpp"

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <set>
#include <thread>

#include "quarvo/core/test_support.hpp"
#include "quarvo/juicefs/command.hpp"

#if defined(__GLIBC__) && defined(POSIX_SPAWN_SETSID)
// glibc before 2.26 (which the release wheels run on) refuses
// POSIX_SPAWN_SETSID, which this glibc cannot be made to do. While this is
// set, the runner linked into this program calls this program's own
// posix_spawnattr_setflags, which refuses it likewise; else glibc's.
std::atomic<bool> refuse_setsid{false};
extern "C" int posix_spawnattr_setflags(posix_spawnattr_t* attr, short flags) noexcept {
  using Setflags = int (*)(posix_spawnattr_t*, short);
  static const auto glibc = reinterpret_cast<Setflags>(::dlsym(RTLD_NEXT, "posix_spawnattr_setflags"));
  if (refuse_setsid && (flags & POSIX_SPAWN_SETSID) != 0) return EINVAL;
  return glibc(attr, flags);
}
#endif

namespace quarvo {
namespace {

namespace fs = std::filesystem;

class SpawnTest : public ::testing::Test {
 protected:
  fs::path script(const char* name, const std::string& body) { return testing::script(dir_.path() / name, body); }
  testing::TempDir dir_;
};

// Nothing runs for a missing program, nor for an argument holding a NUL,
// which exec would cut short ("x\0; touch ran" to "x"), nor on a host that
// has the kernel reap its children, where every failure would read "no child".
TEST_F(SpawnTest, RefusedBeforeRunning) {
  const fs::path missing = dir_.path() / "missing", marker = dir_.path() / "ran";
  const fs::path touch = script("child", "touch '" + marker.string() + "'");
  const struct {
    fs::path program;
    std::optional<std::string> arg;
    void (*sigchld)(int);
    int flags;
    std::string error;  // the start of the message
  } cases[] = {
      {missing, {}, SIG_DFL, 0, "could not start " + missing.string() + ": " + std::strerror(ENOENT) + " (os error 2)"},
      {touch, std::string("x\0; touch ran", 13), SIG_DFL, 0, "a command argument contains a NUL byte"},
      {touch, {}, SIG_IGN, 0, "could not start " + touch.string() + ": this process ignores SIGCHLD"},
      {touch, {}, SIG_DFL, SA_NOCLDWAIT, "could not start " + touch.string() + ": this process ignores SIGCHLD"},
  };
  for (const auto& c : cases) {
    struct sigaction set{}, old{};
    set.sa_handler = c.sigchld;
    set.sa_flags = c.flags;
    ASSERT_EQ(::sigaction(SIGCHLD, &set, &old), 0);
    CommandSpec spec(c.program);
    if (c.arg) spec.arg(*c.arg);
    auto run = spec.run(testing::no_limits());
    ::sigaction(SIGCHLD, &old, nullptr);
    ASSERT_FALSE(run);
    EXPECT_TRUE(run.error().message().starts_with(c.error)) << run.error().message();
    EXPECT_FALSE(fs::exists(marker));
  }
}

#if defined(__GLIBC__) && defined(POSIX_SPAWN_SETSID)
// A daemon leads a session of its own; where the C library cannot make one,
// a process group of its own, still started and logging.
TEST_F(SpawnTest, DaemonLeadsItsSessionOrItsGroup) {
  for (const bool old_glibc : {false, true}) {
    SCOPED_TRACE(old_glibc ? "glibc before 2.26" : "this glibc");
    refuse_setsid = old_glibc;
    const fs::path log = dir_.path() / (old_glibc ? "old.log" : "new.log");
    auto child = CommandSpec(script("daemon", "echo started; exec sleep 30")).start_detached(log);
    refuse_setsid = false;
    ASSERT_TRUE(child) << child.error().message();
    const pid_t pid = child->pid();
    EXPECT_EQ(::getpgid(pid), pid);
    EXPECT_EQ(::getsid(pid), old_glibc ? ::getsid(0) : pid);
    for (int i = 0; i < 500 && testing::slurp(log).empty(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(testing::slurp(log), "started\n");
    child->terminate();
  }
}
#endif

// Children start in "/" whatever directory this process stands in (a
// daemon would pin it), and a program named relative to it still runs.
TEST_F(SpawnTest, ChildrenStartAtTheRoot) {
  const fs::path before = fs::current_path();
  fs::current_path(dir_.path());
  script("where", "pwd");
  auto out = CommandSpec("./where").run(WaitLimits::within(std::chrono::seconds(20), Cancel::never()));
  fs::current_path(before);
  ASSERT_TRUE(out) << out.error().message();
  EXPECT_EQ(out->stdout_text, "/\n");
}

// The runner's own pipes reach no child, whether its output is captured or
// not: it sees only what this process leaves inheritable.
TEST_F(SpawnTest, NoDescriptorOfOursReachesTheChild) {
  // 0, 1, 2 and whatever the test runner handed us without close-on-exec.
  std::set<std::string> inherited;
  for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
    const std::string fd = entry.path().filename().string();
    if (const int flags = ::fcntl(std::stoi(fd), F_GETFD); flags >= 0 && !(flags & FD_CLOEXEC)) inherited.insert(fd);
  }
  const fs::path listing = dir_.path() / "spawned";
  auto out = CommandSpec(script("list", "exec ls /proc/self/fd")).run(testing::no_limits());
  auto child = CommandSpec(script("list2", "exec ls /proc/self/fd > '" + listing.string() + "'")).spawn();
  ASSERT_TRUE(out && child && child->wait(testing::no_limits()) == 0);
  // Besides the inherited ones, only ls's own descriptor of the directory.
  for (const std::string& seen : {out->stdout_text, testing::slurp(listing)}) {
    std::istringstream in(seen);
    const std::set<std::string> fds{std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
    EXPECT_TRUE(std::includes(fds.begin(), fds.end(), inherited.begin(), inherited.end())) << seen;
    EXPECT_EQ(fds.size(), inherited.size() + 1) << seen;
  }
}

}  // namespace
}  // namespace quarvo
