// quarvo/juicefs/child.hpp: a program started by CommandSpec (command.hpp),
// waited for.
//
// `Child::wait_until` waits until the child exits or until something the
// caller checks holds (a mount becomes usable), draining both captured
// streams together with poll, so a child flooding either cannot stall. At a
// deadline or on a cancel request the child's process group gets SIGTERM, a
// short grace, then SIGKILL. A handle that still holds a child when dropped
// kills and reaps it, so no zombie and no orphan of ours outlives it; a
// child that must outlive it (a mount's daemon) goes to `hand_to_reaper`.
//
//   auto child = CommandSpec(program).arg("mount").start();
//   auto status = child->wait(WaitLimits::within(5s, cancel));  // TimedOut, Interrupted, Io
#ifndef QUARVO_JUICEFS_CHILD_HPP_
#define QUARVO_JUICEFS_CHILD_HPP_

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "quarvo/core/deadline.hpp"
#include "quarvo/core/error.hpp"
#include "quarvo/core/file_io.hpp"

namespace quarvo {

struct CommandOutput {
  std::string stdout_text;
  std::string stderr_text;
};

// The text of a raw wait status: "exit status: 3", "signal: 9 (SIGKILL)",
// "signal: 6 (SIGABRT) (core dumped)".
[[nodiscard]] std::string wait_status_text(int wait_status);

// Reaps `pid`, a child of ours that may still run, on a detached thread, so
// the caller need not wait for it and no zombie stays.
void reap_in_background(pid_t pid);

// Child: a started process that has not been reaped yet. Move-only.
// Dropping a handle that still holds a child kills its process group and
// reaps it, so no zombie and no orphan of ours outlives the handle; a child
// that must outlive it goes to `hand_to_reaper`.
class [[nodiscard]] Child {
 public:
  Child(Child&& other) noexcept;
  Child& operator=(Child&& other) noexcept;
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child();

  [[nodiscard]] pid_t pid() const;

  // Waits until the child has exited and its captured streams have ended,
  // or until `ready` returns true while it still runs (asked every
  // `interval`, first after one interval; an empty `ready` never holds).
  // Returns the raw wait status after an exit, nullopt when `ready` held.
  // At the deadline the process group is ended and TimedOut returned; on a
  // cancel request likewise with Interrupted; Io when waiting fails.
  [[nodiscard]] Result<std::optional<int>> wait_until(const std::function<bool()>& ready,
                                                      std::chrono::milliseconds interval, const WaitLimits& limits);
  // wait_until without a readiness check: the raw wait status.
  [[nodiscard]] Result<int> wait(const WaitLimits& limits);

  // What has been captured so far (nothing for inherited streams), head and
  // tail kept, decoded as lossy UTF-8. The capture starts again empty.
  [[nodiscard]] CommandOutput take_output();

  // Ends the process group now (SIGTERM, a short grace, SIGKILL) and reaps.
  void terminate();

  // Closes our ends of its pipes and leaves the still-running child to a
  // detached thread that reaps it, whatever its end (a write to a closed
  // pipe kills it with SIGPIPE, which is no failure of ours).
  void hand_to_reaper() &&;

  struct State;  // defined in child.cpp

 private:
  friend class CommandSpec;
  // A child CommandSpec has just started: `pid`, our read ends of its
  // standard output and error (empty for inherited streams or a daemon's
  // log), `what` naming it for TimedOut ("juicefs mount").
  [[nodiscard]] static Child started(pid_t pid, UniqueFd stdout_end, UniqueFd stderr_end, std::string what);
  explicit Child(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;  // null once moved from
};

}  // namespace quarvo

#endif  // QUARVO_JUICEFS_CHILD_HPP_
