// quarvo/core/deadline.hpp: how long a call may wait, and who may stop it.
//
// A call's bound is fixed once, when it starts, as a `Deadline`: a point on
// the steady clock. Each of its steps (the registry lock, every backend
// command, every question asked of a mount, the wait for a daemon to exit)
// waits under `WaitLimits` made from that one deadline, so the steps share
// the bound: one that takes half of it leaves the other half to the rest,
// and the call as a whole keeps to it. A step with a shorter bound of its
// own (how long a mount may take to answer) caps the deadline for itself
// alone; the call's deadline stays as it was for the next step.
//
//   const WaitLimits limits(Deadline::after(timeout), cancel);   // timeout: nullopt = none
//   auto lock = registry.lock(limits);
//   auto out = CommandSpec(program).arg("status").run(limits);   // what is left of it
//   auto answered = ask_mount(limits.capped(5s));                // at most 5 s of it
//   if (limits.deadline().passed()) return std::unexpected(limits.timed_out("the flush"));
//
// Nothing waits without being given limits: there is no default. A caller
// with no bound to keep says so where it calls (`WaitLimits::unbounded`,
// `Cancel::never()`).
#ifndef QUARVO_CORE_DEADLINE_HPP_
#define QUARVO_CORE_DEADLINE_HPP_

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>

#include "quarvo/core/cancel.hpp"
#include "quarvo/core/error.hpp"

namespace quarvo {

// Deadline: a point in time by which a call must be done, or none.
class Deadline {
 public:
  using Clock = std::chrono::steady_clock;

  // `bound` from now; nullopt: no deadline.
  [[nodiscard]] static Deadline after(std::optional<std::chrono::milliseconds> bound);
  [[nodiscard]] static Deadline none() { return Deadline(std::nullopt, std::chrono::milliseconds(0)); }

  [[nodiscard]] bool bounded() const { return at_.has_value(); }
  // The point itself; nullopt when unbounded.
  [[nodiscard]] const std::optional<Clock::time_point>& at() const { return at_; }
  // The bound it was set from, as a message gives it ("timed out after 3 s");
  // zero when unbounded.
  [[nodiscard]] std::chrono::milliseconds bound() const { return bound_; }
  [[nodiscard]] bool passed() const { return at_ && Clock::now() >= *at_; }
  // What is left, rounded up to the millisecond: zero once passed, nullopt
  // when unbounded.
  [[nodiscard]] std::optional<std::chrono::milliseconds> left() const;
  // What is left, but at most `bound`: the time a step bounded by both has.
  [[nodiscard]] std::chrono::milliseconds left_at_most(std::chrono::milliseconds bound) const {
    return std::min(left().value_or(bound), bound);
  }
  // The earlier of this deadline and `bound` from now, with the bound of
  // whichever it is.
  [[nodiscard]] Deadline capped(std::chrono::milliseconds bound) const;

 private:
  Deadline(std::optional<Clock::time_point> at, std::chrono::milliseconds bound) : at_(at), bound_(bound) {}

  std::optional<Clock::time_point> at_;
  std::chrono::milliseconds bound_;
};

// WaitLimits: a wait's deadline and the Cancel it asks. Copyable; the
// Cancel must outlive every copy.
class WaitLimits {
 public:
  WaitLimits(Deadline deadline, const Cancel& cancel) : deadline_(deadline), cancel_(&cancel) {}
  // No deadline: only `cancel` ends the wait early.
  [[nodiscard]] static WaitLimits unbounded(const Cancel& cancel) { return WaitLimits(Deadline::none(), cancel); }
  // `bound` from now.
  [[nodiscard]] static WaitLimits within(std::chrono::milliseconds bound, const Cancel& cancel) {
    return WaitLimits(Deadline::after(bound), cancel);
  }

  [[nodiscard]] const Deadline& deadline() const { return deadline_; }
  [[nodiscard]] const Cancel& cancel() const { return *cancel_; }
  // Whether anybody may ask to stop: false for Cancel::never(), so a wait
  // need not wake up to ask it.
  [[nodiscard]] bool cancellable() const { return cancel_ != &Cancel::never(); }

  // The same wait, ended at most `bound` from now.
  [[nodiscard]] WaitLimits capped(std::chrono::milliseconds bound) const {
    return WaitLimits(deadline_.capped(bound), *cancel_);
  }
  // The same wait; without a deadline of its own, one `bound` from now: a
  // step that must end some time even when the call set no bound.
  [[nodiscard]] WaitLimits or_within(std::chrono::milliseconds bound) const {
    return deadline_.bounded() ? *this : within(bound, *cancel_);
  }

  // TimedOut for `what` ("juicefs status"), naming this deadline's bound.
  [[nodiscard]] QuarvoError timed_out(std::string what) const;

 private:
  Deadline deadline_;
  const Cancel* cancel_;  // not owned; never null
};

}  // namespace quarvo

#endif  // QUARVO_CORE_DEADLINE_HPP_
