// quarvo/core/cancel.hpp: a caller's way to ask a waiting operation to stop.
//
// Whatever waits for something outside this process (a child program, the
// registry lock, a daemon's exit) takes a `Cancel` and asks `requested()` at
// least every `kCancelPollInterval` and after every EINTR. Once it says yes,
// the operation ends what it started (the child's process group, a half-made
// mount) and returns the Interrupted error.
//
//   class StopFlag final : public Cancel {
//    public:
//     bool requested() const override { return flag_.load(); }
//     std::atomic<bool> flag_{false};
//   };
//
// The Python extension implements it by briefly re-taking the interpreter
// lock to run pending signal handlers: Ctrl-C then reaches a call that waits
// with the lock released.
#ifndef QUARVO_CORE_CANCEL_HPP_
#define QUARVO_CORE_CANCEL_HPP_

#include <chrono>

namespace quarvo {

// How often a wait asks whether to stop.
inline constexpr std::chrono::milliseconds kCancelPollInterval{100};

class Cancel {
 public:
  Cancel() = default;
  Cancel(const Cancel&) = delete;
  Cancel& operator=(const Cancel&) = delete;
  virtual ~Cancel() = default;

  // Whether the caller asked to stop. Called only on the waiting thread;
  // once it has returned true it keeps returning true.
  [[nodiscard]] virtual bool requested() const = 0;

  // A Cancel that never asks: for callers with nobody to interrupt them.
  [[nodiscard]] static const Cancel& never();
};

}  // namespace quarvo

#endif  // QUARVO_CORE_CANCEL_HPP_
