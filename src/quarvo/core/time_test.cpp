#include "quarvo/core/time.hpp"

#include <gtest/gtest.h>

#include <regex>

namespace quarvo {
namespace {

using namespace std::chrono;

// The clock's nanosecond ticks span the years 1677 to 2262, so the fallback
// for years outside 0 to 9999 cannot be reached from a time_point.
TEST(FormatRfc3339, FractionOnlyWhenNonZero) {
  const sys_days day = 2026y / December / 5;
  const auto at = day + 7h + 8min + 6s;
  const std::pair<system_clock::time_point, std::string> cases[] = {
      {at, "2026-12-05T07:08:06Z"},
      {at + 500ms, "2026-12-05T07:08:06.5Z"},
      {at + 123456789ns, "2026-12-05T07:08:06.123456789Z"},
      {at + 100ns, "2026-12-05T07:08:06.0000001Z"},
      {sys_days(1970y / January / 1) - 500ms, "1969-12-31T23:59:59.5Z"},
      {sys_days(2262y / January / 1), "2262-01-01T00:00:00Z"},
  };
  for (const auto& [when, text] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(format_rfc3339(when), text);
  }
  const std::string now = now_rfc3339();
  EXPECT_TRUE(std::regex_match(now, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d{0,8}[1-9])?Z)"))) << now;
}

}  // namespace
}  // namespace quarvo
