#include "quarvo/core/time.hpp"

#include <gtest/gtest.h>

namespace quarvo {
namespace {

using namespace std::chrono;

// A written time reads back; what is read also takes other offsets, and
// refuses what is not a complete time.
TEST(Rfc3339, WrittenWithAFractionOnlyWhenNonZeroAndReadWithOffsets) {
  const auto at = sys_days(2026y / December / 5) + 7h + 8min + 6s;
  const struct {
    std::string text;
    std::optional<system_clock::time_point> when;
    bool written = true;  // the form format_rfc3339 writes
  } cases[] = {
      {"2026-12-05T07:08:06Z", at},
      {"2026-12-05T07:08:06.0000001Z", at + 100ns},
      {"1969-12-31T23:59:59.5Z", sys_days(1970y / January / 1) - 500ms},
      {"2026-12-05T07:08:06.25Z", at + 250ms},
      {"2026-12-05T09:08:06+02:00", at, false},
      {"2026-12-05 06:08:06-00:30", at - 30min, false},
      {"2026-02-30T07:08:06Z", std::nullopt, false},
      {"2026-12-05T07:08:06", std::nullopt, false},
      {"2026-12-05T07:08:06Zjunk", std::nullopt, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parse_rfc3339(c.text), c.when) << c.text;
    EXPECT_EQ(c.written ? format_rfc3339(*c.when) : c.text, c.text);
  }
}

}  // namespace
}  // namespace quarvo
