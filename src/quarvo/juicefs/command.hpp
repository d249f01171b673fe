// quarvo/juicefs/command.hpp: running outside programs.
//
// `CommandSpec` is a program and its arguments. `run` starts it with standard
// input from /dev/null and both output streams on close-on-exec pipes, drains
// the two together with poll (so a child flooding either cannot stall), waits
// for it and decodes the output as lossy UTF-8. `start` does the same but
// returns the running `Child` (child.hpp), which the caller waits for until it
// exits or until something it checks holds (a mount becomes usable), and may
// then hand to a reaper thread. `spawn` starts it with the caller's standard
// streams. How a program is started is spawn.hpp's, how its output is kept
// capture.hpp's.
//
//   auto out = CommandSpec(program).arg("version").run(WaitLimits::within(5s, cancel));
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

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "quarvo/core/error.hpp"
#include "quarvo/juicefs/child.hpp"
#include "quarvo/juicefs/spawn.hpp"

namespace quarvo {

class CommandSpec {
 public:
  explicit CommandSpec(std::filesystem::path program) : program_(std::move(program)) {}

  // Appends one argument. On a temporary it returns the command by value, so
  // command lines read as a chain; on a named spec it appends in place.
  [[nodiscard]] CommandSpec arg(std::string value) &&;
  CommandSpec& arg(std::string value) &;

  // Sets (a value) or removes (nullopt) one variable of the child's
  // environment, which is otherwise this process's without META_PASSWORD. A
  // later call for the same name wins. Secrets go here, not on the command
  // line, which every local user can read in /proc.
  [[nodiscard]] CommandSpec env(std::string name, std::optional<std::string> value) &&;
  CommandSpec& env(std::string name, std::optional<std::string> value) &;
  using EnvOverride = quarvo::EnvOverride;

  // Runs to completion with captured output. A non-zero wait status is
  // CommandFailed with program, args joined by spaces, status and output.
  [[nodiscard]] Result<CommandOutput> run(const WaitLimits& limits) const;
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
  // META_PASSWORD, the backend's password of a metadata engine, reaches a
  // child only where a command sets it: never by inheritance from ours.
  std::vector<EnvOverride> env_{{"META_PASSWORD", std::nullopt}};
};

}  // namespace quarvo

#endif  // QUARVO_JUICEFS_COMMAND_HPP_
