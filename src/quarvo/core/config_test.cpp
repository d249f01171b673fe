#include "quarvo/core/config.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "quarvo/core/test_support.hpp"

namespace quarvo {
namespace {

// The key or its alias, but not both; non-ASCII text is refused where TOML
// refuses it, at its position, in the reader's frame.
TEST(ConfigParse, ReadsTheKeyOrItsAliasExactlyAndRefusesInPlace) {
  const std::pair<std::string, std::string> cases[] = {
      // The text, then the program it names or the start of the error.
      {"juicefs_bin = \"/usr/local/bin/juicefs\"\n", "/usr/local/bin/juicefs"},
      // The gutter grows with the line number.
      {"juicefs_bin = \"/a\"" + std::string(9, '\n') + "storage_backend_bin = \"/b\"\n",
       "TOML parse error at line 10, column 1\n   |\n10 | storage_backend_bin = \"/b\"\n   | ^\n"
       "duplicate field `storage_backend_bin`"},
      {"caf\xC3\xA9 = 1", "TOML parse error at line 1, column 4\n"},
      {"a = \"\xD0\x94\"\nb = 1 \xE2\xB2\x90", "TOML parse error at line 2, column 7\n"},
  };
  for (const auto& [text, read] : cases) {
    auto config = Config::parse(text);
    const std::string got = config ? config->storage_backend_bin.value_or("").string() : config.error().message();
    EXPECT_EQ(config ? got : got.substr(0, read.size()), read) << text;
  }
}

// QUARVO_COMMAND_TIMEOUT over the file's command_timeout: a positive number
// of seconds, at least 1 ms; anything else is an error naming where it stands.
// A FIFO in the file's place is refused, not waited on; a link is refused,
// not read through: the file names the program Quarvo runs.
TEST(ConfigLoad, CommandTimeoutFromTheFileOrTheEnvironment) {
  using std::chrono::milliseconds;
  testing::TempDir dir;
  const QuarvoHome home(dir.path());
  const std::string file_error = "expected a positive number of seconds";
  const std::string env_error = "QUARVO_COMMAND_TIMEOUT must be a positive number of seconds";
  const struct {
    std::optional<std::string> file;  // nullopt: a FIFO; "->TEXT": a link to a file of TEXT
    std::optional<std::string> env;
    std::optional<milliseconds> bound;
    std::string error;  // part of the message; empty: no error
  } cases[] = {
      {"", std::nullopt, std::nullopt, ""},
      {"command_timeout = 60", std::nullopt, milliseconds(60000), ""},
      {"command_timeout = 0.0001", std::nullopt, milliseconds(1), ""},
      {"command_timeout = 60", "2.5", milliseconds(2500), ""},  // the environment wins
      {"command_timeout = 60", "", milliseconds(60000), ""},    // empty: not set
      {"command_timeout = 0", std::nullopt, std::nullopt, "invalid value: integer `0`, " + file_error},
      {"command_timeout = 1e10", std::nullopt, std::nullopt, file_error},
      {"", "60s", std::nullopt, env_error + ", not \"60s\""},
      {"", "-1", std::nullopt, env_error},
      {"", "nan", std::nullopt, env_error},
      {std::nullopt, std::nullopt, std::nullopt, "Invalid argument (os error 22)"},
      {"->command_timeout = 60", std::nullopt, std::nullopt, "the configuration file is a symbolic link"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file.value_or("(FIFO)") + " / " + c.env.value_or("(unset)"));
    testing::ScopedEnv env;
    env.set("QUARVO_COMMAND_TIMEOUT", c.env);
    std::filesystem::remove(home.config_path());
    if (!c.file) {
      (void)::mkfifo(home.config_path().c_str(), 0600);
    } else if (c.file->starts_with("->")) {
      testing::spit(dir.path() / "elsewhere", c.file->substr(2));
      std::filesystem::create_symlink(dir.path() / "elsewhere", home.config_path());
    } else {
      testing::spit(home.config_path(), *c.file);
    }
    auto config = Config::load(home);
    ASSERT_EQ(config.has_value(), c.error.empty());
    EXPECT_EQ(config ? config->command_timeout : std::nullopt, c.bound);
    EXPECT_NE((config ? "" : config.error().message()).find(c.error), std::string::npos);
    // A bad value of the variable is the user's, not an OS error.
    if (c.env && !c.error.empty()) {
      EXPECT_EQ(config.error().kind(), ErrorKind::InvalidArgument);
    }
  }
}

}  // namespace
}  // namespace quarvo
