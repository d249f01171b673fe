#include "quarvo/juicefs/command.hpp"

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <set>
#include <thread>

#include "quarvo/core/test_support.hpp"

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

class CommandTest : public ::testing::Test {
 protected:
  fs::path script(const char* name, const std::string& body) { return testing::script(dir_.path() / name, body); }
  testing::TempDir dir_;
};

#if defined(__GLIBC__)
// The module names signals itself, as glibc's sigabbrev_np does (which it
// cannot call: that needs glibc 2.32).
TEST(WaitStatusText, NamesEverySignalAsGlibcDoes) {
  for (int sig = 1; sig < NSIG; ++sig) {
    const char* name = ::sigabbrev_np(sig);
    EXPECT_EQ(wait_status_text(sig),
              "signal: " + std::to_string(sig) + (name ? std::string(" (SIG") + name + ")" : ""));
  }
}
#endif

// Every outcome leaves no descriptor open and no child unreaped; a failure
// carries the program, its arguments, the status and both outputs.
TEST_F(CommandTest, RunOutcomes) {
  const struct {
    const char* body;
    std::vector<std::string> args;
    std::string status, out, err;  // status empty: success
  } cases[] = {
      {"exit 0", {}, "", "", ""},
      {"printf '%s|' \"$@\"; echo oops >&2; exit 3", {"a", "b c"}, "exit status: 3", "a|b c|", "oops\n"},
      {"echo before; kill -9 $$", {"x"}, "signal: 9 (SIGKILL)", "before\n", ""},
      {"printf 'a\\377b\\300' >&2; printf '\\342\\202\\254'", {}, "", "\u20AC", "a\uFFFDb\uFFFD"},
      {"if read line; then echo got; else echo eof; fi", {}, "", "eof\n", ""},  // stdin is empty
      // A grandchild holding the output holds the run until it is done too.
      {"(sleep 1; echo late) & echo early; exit 4", {}, "exit status: 4", "early\nlate\n", ""},
  };
  const auto open_fds = [] { return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()); };
  const auto fds_before = open_fds();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    CommandSpec spec(script("child", c.body));
    for (const std::string& a : c.args) spec.arg(a);
    auto out = spec.run();
    ASSERT_TRUE(out || out.error().kind() == ErrorKind::CommandFailed) << out.error().message();
    const CommandFailure failed =
        out ? CommandFailure{"", "", "", out->stdout_text, out->stderr_text} : out.error().command();
    EXPECT_EQ(std::tuple(failed.status, failed.stdout_text, failed.stderr_text), std::tuple(c.status, c.out, c.err));
    std::string joined;
    for (const std::string& arg : c.args) joined += (joined.empty() ? "" : " ") + arg;
    EXPECT_EQ(failed.program + "|" + failed.args, out ? "|" : (dir_.path() / "child").string() + "|" + joined);
  }
  EXPECT_EQ(open_fds(), fds_before);
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

// Nothing runs for a missing program, nor for an argument holding a NUL,
// which exec would cut short ("x\0; touch ran" to "x"), nor on a host that
// has the kernel reap its children, where every failure would read "no child".
TEST_F(CommandTest, RefusedBeforeRunning) {
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
    auto run = spec.run();
    ::sigaction(SIGCHLD, &old, nullptr);
    ASSERT_FALSE(run);
    EXPECT_TRUE(run.error().message().starts_with(c.error)) << run.error().message();
    EXPECT_FALSE(fs::exists(marker));
  }
}

// A reader that drains one stream before the other deadlocks here: each
// 1 MiB write blocks until the matching pipe is read. Of 64 MiB per stream
// the first 64 KiB and the last 128 KiB are kept, with the count between.
TEST_F(CommandTest, DrainsBothFloodedStreamsKeepingHeadAndTail) {
  auto out = CommandSpec(script("flood",
                                "i=0; while [ $i -lt 64 ]; do\n"
                                "  yes out$i | head -c 1048576; yes err$i | head -c 1048576 >&2; i=$((i + 1))\n"
                                "done"))
                 .run();
  ASSERT_TRUE(out) << out.error().message();
  constexpr size_t kMiB = 1 << 20, kHead = 64 << 10, kTail = 128 << 10;
  for (const auto& [text, word] : {std::pair{&out->stdout_text, "out"}, std::pair{&out->stderr_text, "err"}}) {
    const std::string first = word + std::string("0\n"), last = word + std::string("63\n");
    const std::string marker = "\n[... " + std::to_string(64 * kMiB - kHead - kTail) + " bytes left out ...]\n";
    ASSERT_EQ(text->size(), kHead + marker.size() + kTail);
    EXPECT_EQ(text->substr(kHead, marker.size()), marker);
    // The head is the first lines, the tail the end of the last MiB.
    for (size_t i = 0; i < kHead; ++i) ASSERT_EQ((*text)[i], first[i % first.size()]) << i;
    for (size_t i = kMiB - kTail; i < kMiB; ++i)
      ASSERT_EQ((*text)[text->size() - kMiB + i], last[i % last.size()]) << i;
  }
}

// Running, as opposed to gone or a zombie waiting for its (new) parent;
// given a moment, since the kill is asynchronous.
bool alive(pid_t pid) {
  for (int i = 0; i < 200; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(10))) {
    if (const char state = testing::process_state(pid); state == 0 || state == 'Z') return false;
  }
  return true;
}

// At the deadline or on a cancel request the whole process group ends, the
// child that ignores SIGTERM and the grandchild too, and nothing is left.
TEST_F(CommandTest, DeadlineAndCancelEndTheProcessGroup) {
  const fs::path pids = dir_.path() / "pids";
  const auto program =
      script("stubborn", "trap '' TERM; sleep 60 & echo $$ $! > '" + pids.string() + "'; echo started; wait");
  struct : Cancel {
    bool requested() const override { return ++asked >= 3; }  // yes from the third question on
    mutable int asked = 0;
  } const cancel;
  const std::pair<WaitLimits, std::string> cases[] = {
      {{.timeout = std::chrono::milliseconds(300)}, "stubborn timed out after 0.3 s"},
      {{.cancel = &cancel}, "interrupted"},
  };
  for (const auto& [limits, message] : cases) {
    auto out = CommandSpec(program).run(limits);
    ASSERT_FALSE(out);
    EXPECT_EQ(out.error().message(), message);
    pid_t shell = 0, sleeper = 0;
    std::istringstream(testing::slurp(pids)) >> shell >> sleeper;
    EXPECT_FALSE(alive(shell) || alive(sleeper)) << message;
  }
  // Nor is a child that is dropped while it runs.
  const pid_t dropped = CommandSpec(script("sleeper", "exec sleep 30")).spawn().value().pid();
  EXPECT_EQ(testing::process_state(dropped), 0);
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
}

#if defined(__GLIBC__) && defined(POSIX_SPAWN_SETSID)
// A daemon leads a session of its own; where the C library cannot make one,
// a process group of its own, still started and logging.
TEST_F(CommandTest, DaemonLeadsItsSessionOrItsGroup) {
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

#if defined(__linux__)
// On a kernel without pidfd_open the runner asks for the exit instead: the
// same outcome (of a child that exits well after closing its output), the
// same deadline, the process group ended as before.
TEST_F(CommandTest, WithoutPidfdTheExitIsPolledFor) {
  const fs::path child = script("child", "echo out; exec >&- 2>&-; sleep 0.5; exit 3");
  const fs::path pid_file = dir_.path() / "pid";
  const fs::path stubborn = script("stubborn", "trap '' TERM; echo $$ > '" + pid_file.string() + "'; sleep 60");
  EXPECT_EQ(testing::in_child([&] {
              if (!testing::deny_syscall(SYS_pidfd_open)) return 1;
              auto out = CommandSpec(child).run({.timeout = std::chrono::seconds(20)});
              if (out || out.error().command().status != "exit status: 3") return 2;
              if (out.error().command().stdout_text != "out\n") return 3;
              auto slow = CommandSpec(stubborn).run({.timeout = std::chrono::milliseconds(300)});
              if (slow || slow.error().message() != "stubborn timed out after 0.3 s") return 4;
              pid_t shell = 0;
              std::istringstream(testing::slurp(pid_file)) >> shell;
              return shell > 0 && !alive(shell) ? 0 : 5;
            }),
            0);
}
#endif

// The runner's own pipes reach no child, whether its output is captured or
// not: it sees only what this process leaves inheritable.
TEST_F(CommandTest, NoDescriptorOfOursReachesTheChild) {
  // 0, 1, 2 and whatever the test runner handed us without close-on-exec.
  std::set<std::string> inherited;
  for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
    const std::string fd = entry.path().filename().string();
    if (const int flags = ::fcntl(std::stoi(fd), F_GETFD); flags >= 0 && !(flags & FD_CLOEXEC)) inherited.insert(fd);
  }
  const fs::path listing = dir_.path() / "spawned";
  auto out = CommandSpec(script("list", "exec ls /proc/self/fd")).run();
  auto child = CommandSpec(script("list2", "exec ls /proc/self/fd > '" + listing.string() + "'")).spawn();
  ASSERT_TRUE(out && child && child->wait() == 0);
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
