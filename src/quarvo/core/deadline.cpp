#include "quarvo/core/deadline.hpp"

#include <algorithm>

namespace quarvo {

Deadline Deadline::after(std::optional<std::chrono::milliseconds> bound) {
  if (!bound) return none();
  return Deadline(Clock::now() + *bound, *bound);
}

std::optional<std::chrono::milliseconds> Deadline::left() const {
  if (!at_) return std::nullopt;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(*at_ - Clock::now());
  return std::max(left, std::chrono::milliseconds(0));
}

Deadline Deadline::capped(std::chrono::milliseconds bound) const {
  const Clock::time_point at = Clock::now() + bound;
  if (at_ && *at_ <= at) return *this;
  return Deadline(at, bound);
}

QuarvoError WaitLimits::timed_out(std::string what) const {
  return QuarvoError::timed_out(std::move(what), deadline_.bound());
}

}  // namespace quarvo
