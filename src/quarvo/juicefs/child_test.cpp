#include "quarvo/juicefs/child.hpp"

#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "quarvo/core/test_support.hpp"
#include "quarvo/juicefs/command.hpp"

namespace quarvo {
namespace {

namespace fs = std::filesystem;

class ChildTest : public ::testing::Test {
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

// A reader that drains one stream before the other deadlocks here: each
// 1 MiB write blocks until the matching pipe is read. Of 64 MiB per stream
// the first 64 KiB and the last 128 KiB are kept, with the count between.
TEST_F(ChildTest, DrainsBothFloodedStreamsKeepingHeadAndTail) {
  auto out = CommandSpec(script("flood",
                                "i=0; while [ $i -lt 64 ]; do\n"
                                "  yes out$i | head -c 1048576; yes err$i | head -c 1048576 >&2; i=$((i + 1))\n"
                                "done"))
                 .run(testing::no_limits());
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
TEST_F(ChildTest, DeadlineAndCancelEndTheProcessGroup) {
  const fs::path pids = dir_.path() / "pids";
  const auto program =
      script("stubborn", "trap '' TERM; sleep 60 & echo $$ $! > '" + pids.string() + "'; echo started; wait");
  struct : Cancel {
    bool requested() const override { return ++asked >= 3; }  // yes from the third question on
    mutable int asked = 0;
  } const cancel;
  const std::pair<WaitLimits, std::string> cases[] = {
      {WaitLimits::within(std::chrono::milliseconds(300), Cancel::never()), "stubborn timed out after 0.3 s"},
      {WaitLimits::unbounded(cancel), "interrupted"},
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

#if defined(__linux__)
// On a kernel without pidfd_open the runner asks for the exit instead: the
// same outcome (of a child that exits well after closing its output), the
// same deadline, the process group ended as before.
TEST_F(ChildTest, WithoutPidfdTheExitIsPolledFor) {
  const fs::path child = script("child", "echo out; exec >&- 2>&-; sleep 0.5; exit 3");
  const fs::path pid_file = dir_.path() / "pid";
  const fs::path stubborn = script("stubborn", "trap '' TERM; echo $$ > '" + pid_file.string() + "'; sleep 60");
  EXPECT_EQ(testing::in_child([&] {
              if (!testing::deny_syscall(SYS_pidfd_open)) return 1;
              auto out = CommandSpec(child).run(WaitLimits::within(std::chrono::seconds(20), Cancel::never()));
              if (out || out.error().command().status != "exit status: 3") return 2;
              if (out.error().command().stdout_text != "out\n") return 3;
              auto slow =
                  CommandSpec(stubborn).run(WaitLimits::within(std::chrono::milliseconds(300), Cancel::never()));
              if (slow || slow.error().message() != "stubborn timed out after 0.3 s") return 4;
              pid_t shell = 0;
              std::istringstream(testing::slurp(pid_file)) >> shell;
              return shell > 0 && !alive(shell) ? 0 : 5;
            }),
            0);
}
#endif

}  // namespace
}  // namespace quarvo
