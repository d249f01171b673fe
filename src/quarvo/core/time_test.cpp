#include "quarvo/core/time.hpp"

#include <gtest/gtest.h>

namespace quarvo {
namespace {

using namespace std::chrono;

TEST(FormatRfc3339, FractionOnlyWhenNonZero) {
  const auto at = sys_days(2026y / December / 5) + 7h + 8min + 6s;
  const std::pair<system_clock::time_point, std::string> cases[] = {
      {at, "2026-12-05T07:08:06Z"},
      {at + 100ns, "2026-12-05T07:08:06.0000001Z"},
      {sys_days(1970y / January / 1) - 500ms, "1969-12-31T23:59:59.5Z"},
  };
  for (const auto& [when, text] : cases) EXPECT_EQ(format_rfc3339(when), text);
}

TEST(ParseRfc3339, UtcFractionsAndOffsets) {
  const auto at = sys_days(2026y / December / 5) + 7h + 8min + 6s;
  const std::pair<std::string, std::optional<system_clock::time_point>> cases[] = {
      {"2026-12-05T07:08:06Z", at},
      {"2026-12-05T07:08:06.25Z", at + 250ms},
      {"2026-12-05T09:08:06+02:00", at},
      {"2026-12-05 06:08:06-00:30", at - 30min},
      {"2026-02-30T07:08:06Z", std::nullopt},
      {"2026-12-05T07:08:06", std::nullopt},
      {"2026-12-05T07:08:06Zjunk", std::nullopt},
  };
  for (const auto& [text, when] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(parse_rfc3339(text), when);
  }
}

}  // namespace
}  // namespace quarvo
