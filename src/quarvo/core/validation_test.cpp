#include "quarvo/core/validation.hpp"

#include <gtest/gtest.h>

namespace quarvo {
namespace {

TEST(ValidateVolumeName, AsciiLettersDigitsDotUnderscoreDashOnly) {
  const std::pair<std::string, bool> cases[] = {
      {"vol-1", true},    {"a.b_c", true},  {"...", true},  {".", true},       {"..", true},
      {"-rf", true},      {".hidden", true}, {"Z9", true},  {std::string(4096, 'x'), true},
      {"", false},        {"a b", false},   {"a/b", false}, {"caf\u00E9", false}, {"a\nb", false},
      {std::string("a\0b", 3), false},      {"a:b", false}, {"a\\b", false},  {"\xff", false},
  };
  for (const auto& [name, valid] : cases) {
    SCOPED_TRACE(name);
    auto r = validate_volume_name(name);
    EXPECT_EQ(r.has_value(), valid);
    if (!r) {
      EXPECT_EQ(r.error().kind(), ErrorKind::InvalidVolumeName);
      EXPECT_EQ(r.error().text(), name);
    }
  }
}

}  // namespace
}  // namespace quarvo
