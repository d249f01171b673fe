#include "quarvo/core/config.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "quarvo/core/test_support.hpp"

namespace quarvo {
namespace {

TEST(ConfigParse, ReadsTheKeyOrItsAliasButNotBoth) {
  auto config = Config::parse("juicefs_bin = \"/usr/local/bin/juicefs\"\n");
  ASSERT_TRUE(config) << config.error().message();
  EXPECT_EQ(config->storage_backend_bin, "/usr/local/bin/juicefs");
  // Both at once is refused where the second stands; the gutter grows with the line number.
  auto failed = Config::parse("juicefs_bin = \"/a\"" + std::string(9, '\n') + "storage_backend_bin = \"/b\"\n");
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().message(),
            "TOML parse error at line 10, column 1\n   |\n10 | storage_backend_bin = \"/b\"\n   | ^\n"
            "duplicate field `storage_backend_bin`");
}

TEST(ConfigLoad, CommandTimeoutFromTheFileOrTheEnvironment) {
  using std::chrono::milliseconds;
  testing::TempDir dir;
  const QuarvoHome home(dir.path());
  const struct {
    std::string file;
    std::optional<std::string> env;
    std::optional<milliseconds> bound;  // nullopt with `error`: the load fails
    std::string error;
  } cases[] = {
      {"", std::nullopt, std::nullopt, ""},
      {"command_timeout = 60", std::nullopt, milliseconds(60000), ""},
      {"command_timeout = 0.0001", std::nullopt, milliseconds(1), ""},
      {"command_timeout = 60", "2.5", milliseconds(2500), ""},  // the environment wins
      {"command_timeout = 60", "", milliseconds(60000), ""},    // empty: not set
      {"command_timeout = 0", std::nullopt, std::nullopt,
       "invalid value: integer `0`, expected a positive number of seconds"},
      {"command_timeout = 1e10", std::nullopt, std::nullopt, "expected a positive number of seconds"},
      {"", "60s", std::nullopt, "QUARVO_COMMAND_TIMEOUT must be a positive number of seconds, not \"60s\""},
      {"", "-1", std::nullopt, "QUARVO_COMMAND_TIMEOUT must be a positive number of seconds"},
      {"", "nan", std::nullopt, "QUARVO_COMMAND_TIMEOUT must be a positive number of seconds"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file + " / " + c.env.value_or("(unset)"));
    testing::ScopedEnv env;
    env.set("QUARVO_COMMAND_TIMEOUT", c.env);
    testing::spit(home.config_path(), c.file);
    auto config = Config::load(home);
    if (c.error.empty()) {
      ASSERT_TRUE(config) << config.error().message();
      EXPECT_EQ(config->command_timeout, c.bound);
    } else {
      ASSERT_FALSE(config);
      EXPECT_NE(config.error().message().find(c.error), std::string::npos) << config.error().message();
    }
  }
}

TEST(ConfigLoad, FifoIsRefusedNotWaitedOn) {
  testing::TempDir dir;
  const QuarvoHome home(dir.path());
  ASSERT_EQ(::mkfifo(home.config_path().c_str(), 0600), 0);
  auto config = Config::load(home);
  ASSERT_FALSE(config);
  EXPECT_EQ(config.error().message(),
            "I/O error at " + home.config_path().string() + ": Invalid argument (os error 22)");
}

// Non-ASCII text is refused where TOML refuses it, at the right position, and
// kept byte for byte where TOML allows it.
TEST(ConfigParse, EveryNonAsciiCharacterIsReadSafely) {
  const std::pair<std::string, std::string> refused[] = {
      {"caf\xC3\xA9 = 1", "line 1, column 4"},
      {"a = \"\xD0\x94\"\nb = 1 \xE2\xB2\x90", "line 2, column 7"},
  };
  for (const auto& [text, where] : refused) {
    auto config = Config::parse(text);
    ASSERT_FALSE(config) << text;
    EXPECT_TRUE(config.error().message().starts_with("TOML parse error at " + where)) << config.error().message();
  }
  const std::pair<std::string, std::string> accepted[] = {
      {"\xEF\xBB\xBFstorage_backend_bin = \"/\xD0\x94\" # \xD0\x94", "/\xD0\x94"},
      {"storage_backend_bin = \"\\u0414\xF3\xB0\x90\x94\"", "\xD0\x94\xF3\xB0\x90\x94"},
  };
  for (const auto& [text, bin] : accepted) {
    auto config = Config::parse(text);
    ASSERT_TRUE(config) << config.error().message();
    EXPECT_EQ(config->storage_backend_bin, bin) << text;
  }
}

}  // namespace
}  // namespace quarvo
