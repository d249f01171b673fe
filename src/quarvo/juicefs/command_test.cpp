#include "quarvo/juicefs/command.hpp"

#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cerrno>

#include "quarvo/core/test_support.hpp"

namespace quarvo {
namespace {

namespace fs = std::filesystem;

class CommandTest : public ::testing::Test {
 protected:
  fs::path script(const char* name, const std::string& body) { return testing::script(dir_.path() / name, body); }
  testing::TempDir dir_;
};

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
    auto out = spec.run(testing::no_limits());
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

}  // namespace
}  // namespace quarvo
