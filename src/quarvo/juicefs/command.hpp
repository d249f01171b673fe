// quarvo/juicefs/command.hpp: running outside programs.
//
// `CommandSpec` is a program and its arguments. `run` starts it with standard
// input from /dev/null and both output streams on close-on-exec pipes, drains
// the two together with poll (so a child flooding either cannot stall), waits
// for it and decodes the output as lossy UTF-8. `start` does the same but
// returns the running `Child`, which the caller waits for until it exits or
// until something it checks holds (a mount becomes usable), and may then hand
// to a reaper thread. `spawn` starts it with the caller's standard streams.
//
//   auto out = CommandSpec(program).arg("version").run({.timeout = 5s, .cancel = &cancel});
//   if (!out) return std::unexpected(out.error());  // Io, CommandFailed, TimedOut, Interrupted
//
// Every child leads a process group of its own, so a Ctrl-C at the terminal
// reaches only this process, which ends the child itself: at a deadline or on
// a cancel request the group gets SIGTERM, a short grace, then SIGKILL.
// Captured output keeps its first 64 KiB and last 128 KiB per stream, with a
// line saying how much was left out between them: a child that floods its
// streams costs neither memory nor more time than reading them.
//
// A program without a '/' is searched on PATH, as execvp does. A child that
// cannot be started is Io "could not start PROGRAM: REASON" (with the errno),
// never CommandFailed. No descriptor of this process other than 0, 1 and 2
// reaches a child, and a child starts with no signal blocked and the default
// action for every signal this process ignores. A process that ignores
// SIGCHLD (SIG_IGN or SA_NOCLDWAIT) would lose every child's exit status, so
// nothing is started there: a failure must never read as success.
#ifndef QUARVO_JUICEFS_COMMAND_HPP_
#define QUARVO_JUICEFS_COMMAND_HPP_

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "quarvo/core/cancel.hpp"
#include "quarvo/core/error.hpp"

namespace quarvo {

struct CommandOutput {
  std::string stdout_text;
  std::string stderr_text;
};

// WaitLimits: how long a wait may last and who may end it early.
struct WaitLimits {
  std::optional<std::chrono::milliseconds> timeout{};  // none: no deadline
  const Cancel* cancel = nullptr;                      // none: nobody asks
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
  [[nodiscard]] Result<int> wait(const WaitLimits& limits = {});

  // What has been captured so far (nothing for inherited streams), head and
  // tail kept, decoded as lossy UTF-8. The capture starts again empty.
  [[nodiscard]] CommandOutput take_output();

  // Ends the process group now (SIGTERM, a short grace, SIGKILL) and reaps.
  void terminate();

  // Closes our ends of its pipes and leaves the still-running child to a
  // detached thread that reaps it, whatever its end (a write to a closed
  // pipe kills it with SIGPIPE, which is no failure of ours).
  void hand_to_reaper() &&;

  struct State;  // defined in command.cpp

 private:
  friend class CommandSpec;
  explicit Child(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;  // null once moved from
};

class CommandSpec {
 public:
  explicit CommandSpec(std::filesystem::path program) : program_(std::move(program)) {}

  // Appends one argument. On a temporary it returns the command by value, so
  // command lines read as a chain; on a named spec it appends in place.
  [[nodiscard]] CommandSpec arg(std::string value) &&;
  CommandSpec& arg(std::string value) &;

  // Sets (a value) or removes (nullopt) one variable of the child's
  // environment, which is otherwise this process's. A later call for the same
  // name wins. Secrets go here, not on the command line, which every local
  // user can read in /proc.
  [[nodiscard]] CommandSpec env(std::string name, std::optional<std::string> value) &&;
  CommandSpec& env(std::string name, std::optional<std::string> value) &;
  using EnvOverride = std::pair<std::string, std::optional<std::string>>;

  // Runs to completion with captured output. A non-zero wait status is
  // CommandFailed with program, args joined by spaces, status and output.
  [[nodiscard]] Result<CommandOutput> run(const WaitLimits& limits = {}) const;
  // Starts with captured output and returns the running child.
  [[nodiscard]] Result<Child> start() const;
  // Starts with inherited standard streams and returns the running child.
  [[nodiscard]] Result<Child> spawn() const;
  // Starts it as a daemon: a session of its own (no terminal, no signal of
  // ours reaches it), standard input from /dev/null, both output streams
  // appended to `output` (created 0600; IoAt when it cannot be opened).
  [[nodiscard]] Result<Child> start_detached(const std::filesystem::path& output) const;

  // The CommandFailed of this command for a raw wait status and its output.
  [[nodiscard]] QuarvoError failure(int wait_status, CommandOutput output) const;

 private:
  [[nodiscard]] Result<Child> launch(bool capture) const;
  // The step as messages name it: the program's file name and the
  // subcommand ("juicefs mount").
  [[nodiscard]] std::string what() const;

  std::filesystem::path program_;
  std::vector<std::string> args_;
  std::vector<EnvOverride> env_;
};

}  // namespace quarvo

#endif  // QUARVO_JUICEFS_COMMAND_HPP_
