#include "quarvo/service/autostart.hpp"

#include <gtest/gtest.h>

#include "quarvo/core/test_support.hpp"
#include "quarvo/juicefs/command.hpp"

namespace quarvo {
namespace {

// The start-up line as a POSIX shell reads it: every word and the home come
// back exactly, whatever they hold.
TEST(Autostart, TheStartUpLineReadsBackInAShell) {
  const QuarvoHome home("/tmp/a home %z $HOME 'q' \"d\" \\ *");
  const std::vector<std::string> words = {"plain", "two words", "it's", "$HOME", "`id`", "a\\b", "*", "", "~x", "-"};
  const auto shell = [&](std::vector<std::string> command) {
    auto out = CommandSpec("/bin/sh").arg("-c").arg(autostart_line(home, command)).run(testing::no_limits());
    return out ? out->stdout_text : out.error().message();
  };
  std::vector<std::string> command = {"/usr/bin/printf", "[%s]\\n"};
  command.insert(command.end(), words.begin(), words.end());
  std::string expected;
  for (const std::string& word : words) expected += "[" + word + "]\n";
  EXPECT_EQ(shell(command), expected);
  EXPECT_EQ(shell({"/bin/sh", "-c", "printf '[%s]' \"$QUARVO_HOME\""}), "[" + home.root().native() + "]");
}

TEST(Autostart, WordsAUnitCannotHoldAreRefused) {
  const AutostartUnit unit{"quarvo-volumes-0.service", "/etc/systemd/system/quarvo-volumes-0.service", true, false};
  for (const auto& [home, word] : {std::pair<std::string, std::string>{"/tmp/new\nline", "/usr/bin/python3"},
                                   {"/tmp/h", std::string("bad\xff utf-8")},
                                   {"/tmp/h", "tab\there"}}) {
    auto text = autostart_unit_text(QuarvoHome(home), unit, {"/usr/bin/python3", word});
    ASSERT_FALSE(text) << home << " " << word;
    EXPECT_EQ(text.error().kind(), ErrorKind::InvalidArgument);
  }
  // Two homes of one user have two units.
  EXPECT_NE(autostart_unit(QuarvoHome("/tmp/a")).value().name, autostart_unit(QuarvoHome("/tmp/b")).value().name);
}

}  // namespace
}  // namespace quarvo
