#include "quarvo/core/config.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>

#include "quarvo/core/test_support.hpp"

namespace quarvo {
namespace {

using testing::spit;
using testing::TempDir;

TEST(ConfigParse, ReadsTheKeyOrItsAlias) {
  const std::pair<std::string, std::optional<std::filesystem::path>> cases[] = {
      {"", std::nullopt},
      {"storage_backend_bin = \"/opt/q/bin\"", "/opt/q/bin"},
      {"juicefs_bin = \"/usr/local/bin/juicefs\"\n", "/usr/local/bin/juicefs"},
      {"other = 1\n[section]\nstorage_backend_bin = 5\n", std::nullopt},
  };
  for (const auto& [text, bin] : cases) {
    SCOPED_TRACE(text);
    auto config = Config::parse(text);
    ASSERT_TRUE(config) << config.error().message();
    EXPECT_EQ(config->storage_backend_bin, bin);
  }
}

TEST(ConfigParse, ErrorsAreFramed) {
  const std::pair<std::string, std::string> cases[] = {
      {"juicefs_bin = \"/a\"\n# both\n  storage_backend_bin = \"/b\"\n",
       "TOML parse error at line 3, column 3\n  |\n3 |   storage_backend_bin = \"/b\"\n  |   ^\n"
       "duplicate field `storage_backend_bin`"},
      {"storage_backend_bin = \"/b\"\r\njuicefs_bin = 1\r\n",
       "TOML parse error at line 2, column 1\n  |\n2 | juicefs_bin = 1\n  | ^\nduplicate field `storage_backend_bin`"},
      // The gutter grows with the line number.
      {std::string(9, '\n') + "storage_backend_bin = 2.0",
       "TOML parse error at line 10, column 23\n   |\n10 | storage_backend_bin = 2.0\n   |                       ^\n"
       "invalid type: floating point `2.0`, expected a string"},
      {"storage_backend_bin = 1979-05-27",
       "TOML parse error at line 1, column 23\n  |\n1 | storage_backend_bin = 1979-05-27\n  |                       ^\n"
       "invalid type: date `1979-05-27`, expected a string"},
      {"juicefs_bin = 07:32:00.25",
       "TOML parse error at line 1, column 15\n  |\n1 | juicefs_bin = 07:32:00.25\n  |               ^\n"
       "invalid type: time `07:32:00.25`, expected a string"},
  };
  for (const auto& [text, message] : cases) {
    SCOPED_TRACE(text);
    auto config = Config::parse(text);
    ASSERT_FALSE(config);
    EXPECT_EQ(config.error().kind(), ErrorKind::TomlParse);
    EXPECT_EQ(config.error().message(), message);
  }
}

TEST(ConfigLoad, MissingFileIsTheDefaultAndBadFilesAreErrors) {
  TempDir dir;
  const auto root = dir.path() / "home";
  std::filesystem::create_directories(root);
  const QuarvoHome home(root);
  const auto config_path = home.config_path();

  struct Case {
    const char* label;
    std::function<void()> setup;
    std::string message;  // empty: loads as the default
  };
  const Case cases[] = {
      {"missing", [] {}, ""},
      {"not UTF-8", [&] { spit(config_path, "storage_backend_bin = \"/a\xff\"\n"); },
       "I/O error at " + config_path.string() + ": Invalid or incomplete multibyte or wide character (os error 84)"},
      // Neither may hang or read without end.
      {"FIFO", [&] { ASSERT_EQ(::mkfifo(config_path.c_str(), 0600), 0); },
       "I/O error at " + config_path.string() + ": Invalid argument (os error 22)"},
      {"link to /dev/zero", [&] { std::filesystem::create_symlink("/dev/zero", config_path); },
       "I/O error at " + config_path.string() + ": Invalid argument (os error 22)"},
      {"syntax", [&] { spit(config_path, "storage_backend_bin = "); },
       "TOML parse error at line 1, column 23\n  |\n1 | storage_backend_bin = \n  |                       ^\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    std::filesystem::remove_all(config_path);
    c.setup();
    auto config = Config::load(home);
    if (c.message.empty()) {
      ASSERT_TRUE(config) << config.error().message();
      EXPECT_FALSE(config->storage_backend_bin);
    } else {
      ASSERT_FALSE(config);
      EXPECT_TRUE(config.error().message().starts_with(c.message)) << config.error().message();
    }
  }

  // A root that is a file makes the stat fail with ENOTDIR: still the default.
  spit(dir.path() / "file", "");
  auto config = Config::load(QuarvoHome(dir.path() / "file"));
  ASSERT_TRUE(config) << config.error().message();
  EXPECT_FALSE(config->storage_backend_bin);

  spit(config_path, "juicefs_bin = \"/opt/\u00E9/juicefs\"\n");
  config = Config::load(home);
  ASSERT_TRUE(config) << config.error().message();
  EXPECT_EQ(config->storage_backend_bin, std::filesystem::path("/opt/\u00E9/juicefs"));
}

// Characters the TOML parser cannot be shown safely (most of U+00A1 to
// U+0499 among them) are read like any other: refused where TOML refuses
// them, kept where it allows them, at the right positions either way.
TEST(ConfigParse, EveryNonAsciiCharacterIsReadSafely) {
  const std::pair<std::string, std::string> refused[] = {
      {"caf\xC3\xA9 = 1", "line 1, column 4"},
      {"[\xD0\x94", "line 1, column 2"},
      {"a = \"\xD0\x94\"\nb = 1 \xE2\xB2\x90", "line 2, column 7"},
      {"a = \"\xD0\x94\xF3\xB0\x90\x94\"", "line 1, column 7"},
  };
  for (const auto& [text, where] : refused) {
    auto config = Config::parse(text);
    ASSERT_FALSE(config) << text;
    EXPECT_NE(config.error().message().find("TOML parse error at " + where), std::string::npos)
        << config.error().message();
  }
  const std::pair<std::string, std::string> accepted[] = {
      {"\xEF\xBB\xBFstorage_backend_bin = \"/\xD0\x94\" # \xD0\x94", "/\xD0\x94"},
      {"\"\xD0\x94\" = 1\nstorage_backend_bin = '\xC3\xA9\\'\n# \xE2\xB2\x90", "\xC3\xA9\\"},
      {"storage_backend_bin = \"\"\"\\\n  x\xD0\x94\"\"\"\"", "x\xD0\x94\""},
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
