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

}  // namespace
}  // namespace quarvo
