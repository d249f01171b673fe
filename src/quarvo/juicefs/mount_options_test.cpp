#include "quarvo/juicefs/mount_options.hpp"

#include <gtest/gtest.h>

namespace quarvo {
namespace {

TEST(MountOptions, ValuesAreTakenInTheirPlainFormOrRefused) {
  const std::tuple<const char*, const char*, SettingValue> taken[] = {
      {"read-only", "true", true},
      {"writeback", "false", false},
      {"cache-size", "0100", "100"},
      {"cache-size", "0", "0"},
      {"upload-limit", "800", "800"},
      {"free-space-ratio", "0.25", "0.25"},
      {"free-space-ratio", ".5", ".5"},
      {"free-space-ratio", "0", "0"},
      {"attr-cache", "2", "2"},
      {"entry-cache", "0.5", "0.5"},
      {"dir-entry-cache", "1h1m30.5s", "1h1m30.5s"},
      {"attr-cache", "250ms", "250ms"},
      {"cache-dir", "/srv/cache", "/srv/cache"},
      {"subdir", "/projects//web/./", "projects/web"},
  };
  for (const auto& [key, text, stored] : taken) {
    auto value = parse_setting(key, text);
    EXPECT_EQ(value, stored) << key << "=" << text << ": " << (value ? "" : value.error().message());
  }
  const std::pair<const char*, const char*> refused[] = {
      {"read-only", "yes"},
      {"read-only", ""},
      {"cache-size", "1G"},
      {"cache-size", "-1"},
      {"cache-size", "1.5"},
      {"buffer-size", ""},
      {"upload-limit", "1.5"},
      {"cache-size", "1234567890123456"},
      {"free-space-ratio", "1"},
      {"free-space-ratio", "1.0"},
      {"free-space-ratio", "-0.1"},
      {"free-space-ratio", "0.1.2"},
      {"attr-cache", "abc"},
      {"attr-cache", "-1s"},
      {"attr-cache", "1d"},
      {"entry-cache", "1.s"},
      {"entry-cache", "s"},
      {"cache-dir", "relative/dir"},
      {"cache-dir", "/a:/b"},
      {"cache-dir", "/a/*"},
      {"cache-dir", "memory"},
      {"cache-dir", "/a\nb"},
      {"subdir", "../x"},
      {"subdir", "a/../../b"},
      {"subdir", "/"},
      {"subdir", ""},
  };
  for (const auto& [key, text] : refused) {
    auto value = parse_setting(key, text);
    ASSERT_FALSE(value) << key << "=" << text;
    EXPECT_EQ(value.error().kind(), ErrorKind::InvalidArgument);
    EXPECT_TRUE(value.error().message().starts_with(std::string("setting ") + key)) << value.error().message();
  }
  // An unknown key is named, with every known one.
  auto unknown = parse_setting("cache_size", "1");
  ASSERT_FALSE(unknown);
  EXPECT_EQ(unknown.error().message(), "unknown setting \"cache_size\"; the settings are: " + known_setting_keys());
  EXPECT_NE(known_setting_keys().find("usage-report"), std::string::npos);
  // Typed values: a flag takes a bool, the others only text; a stored record
  // is read back in the plain form.
  EXPECT_EQ(check_setting("writeback", true), SettingValue{true});
  EXPECT_FALSE(check_setting("cache-size", true));
  EXPECT_EQ(check_settings({{"read-only", "true"}, {"cache-size", "007"}}),
            (VolumeSettings{{"read-only", true}, {"cache-size", "7"}}));
  EXPECT_FALSE(check_settings({{"read-only", true}, {"subdir", "/"}}));
}

TEST(MountOptions, CommandLineTurnsUsageReportsOffUnlessAsked) {
  const VolumeSettings settings{
      {"read-only", true}, {"writeback", false}, {"allow-other", true}, {"subdir", "a/b"}, {"cache-size", "1024"}};
  EXPECT_EQ(mount_option_args(settings),
            (std::vector<std::string>{"-o", "allow_other", "--cache-size=1024", "--read-only", "--subdir=a/b",
                                      "--no-usage-report"}));
  EXPECT_EQ(mount_option_args({{"usage-report", true}}), std::vector<std::string>{});
  EXPECT_EQ(mount_option_args({{"usage-report", false}}), std::vector<std::string>{"--no-usage-report"});
  EXPECT_TRUE(setting_flag(settings, "read-only"));
  EXPECT_FALSE(setting_flag(settings, "writeback"));
  EXPECT_FALSE(setting_flag(settings, "usage-report"));
}

}  // namespace
}  // namespace quarvo
