#include "quarvo/core/deadline.hpp"

#include <gtest/gtest.h>

#include "quarvo/core/time.hpp"

namespace quarvo {
namespace {

using namespace std::chrono_literals;

// A step's own bound caps the call's deadline only when it ends sooner, and
// the bound a message names is the one that ends the wait.
TEST(Deadline, CappedKeepsTheEarlierAndItsBound) {
  const struct {
    std::optional<std::chrono::milliseconds> call;
    std::chrono::milliseconds cap, bound;
  } cases[] = {
      {std::nullopt, 5s, 5s},
      {1500ms, 5s, 1500ms},
      {10s, 5s, 5s},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bound.count());
    const WaitLimits capped = WaitLimits(Deadline::after(c.call), Cancel::never()).capped(c.cap);
    ASSERT_TRUE(capped.deadline().bounded());
    EXPECT_EQ(capped.deadline().bound(), c.bound);
    EXPECT_LE(*capped.deadline().left(), c.bound);
    EXPECT_GT(*capped.deadline().left(), c.bound - 1s);
    EXPECT_EQ(capped.timed_out("juicefs status").message(),
              "juicefs status timed out after " + seconds_text(c.bound) + " s");
  }
  // A deadline that has passed leaves nothing, and a step may not start anew.
  const WaitLimits spent(Deadline::after(0ms), Cancel::never());
  EXPECT_TRUE(spent.deadline().passed());
  EXPECT_EQ(spent.deadline().left(), 0ms);
  EXPECT_TRUE(spent.or_within(5s).deadline().passed());
  EXPECT_EQ(WaitLimits::unbounded(Cancel::never()).or_within(5s).deadline().bound(), 5s);
  EXPECT_FALSE(WaitLimits::unbounded(Cancel::never()).deadline().left());
}

}  // namespace
}  // namespace quarvo
