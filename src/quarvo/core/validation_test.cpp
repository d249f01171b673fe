#include "quarvo/core/validation.hpp"

#include <gtest/gtest.h>

namespace quarvo {
namespace {

TEST(ValidateVolumeName, AsciiLettersDigitsDotUnderscoreDashOnly) {
  const std::pair<std::string, bool> cases[] = {
      {"a.b_c-9", true}, {"..", true},         {"", false},
      {"a/b", false},    {"caf\u00E9", false}, {std::string("a\0b", 3), false},
  };
  for (const auto& [name, valid] : cases) {
    SCOPED_TRACE(name);
    auto r = validate_volume_name(name);
    EXPECT_EQ(r.has_value(), valid);
    if (!r) {
      EXPECT_EQ(r.error().kind(), ErrorKind::InvalidVolumeName);
    }
  }
}

TEST(ValidateBackendVolumeName, ThreeToSixtyThreeLowercaseDigitsAndInnerDashes) {
  const std::pair<std::string, bool> cases[] = {
      {"my-vol-2", true},
      {"abc", true},
      {std::string(63, 'a'), true},
      {"ab", false},
      {std::string(64, 'a'), false},
      {"My-vol", false},
      {"my_vol", false},
      {"-abc", false},
      {"abc-", false},
      {"a.b", false},
  };
  for (const auto& [name, valid] : cases) {
    SCOPED_TRACE(name);
    auto r = validate_backend_volume_name(name);
    EXPECT_EQ(r.has_value(), valid);
    if (!r) {
      EXPECT_EQ(r.error().kind(), ErrorKind::InvalidVolumeName);
    }
  }
}

}  // namespace
}  // namespace quarvo
