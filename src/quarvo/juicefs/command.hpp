// quarvo/juicefs/command.hpp: running outside programs.
//
// `CommandSpec` is a program and its arguments. `run` starts it with standard
// input from /dev/null and both output streams on close-on-exec pipes, drains
// the two together with poll (so a child flooding either cannot stall), waits
// for it and decodes the output as lossy UTF-8. `spawn` starts it with the
// caller's standard streams and hands back a `Child` to wait for.
//
//   auto out = CommandSpec(program).arg("version").run();
//   if (!out) return std::unexpected(out.error());  // Io or CommandFailed
//
// A program without a '/' is searched on PATH, as execvp does. A child that
// cannot be started is Io with the system's error, never CommandFailed. No
// descriptor of this process other than 0, 1 and 2 reaches a child, and a
// child starts with no signal blocked and the default action for every
// signal this process ignores (an interpreter ignoring SIGPIPE keeps that).
#ifndef QUARVO_JUICEFS_COMMAND_HPP_
#define QUARVO_JUICEFS_COMMAND_HPP_

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "quarvo/core/error.hpp"

namespace quarvo {

struct CommandOutput {
  std::string stdout_text;
  std::string stderr_text;
};

// The text of a raw wait status: "exit status: 3", "signal: 9 (SIGKILL)",
// "signal: 6 (SIGABRT) (core dumped)".
[[nodiscard]] std::string wait_status_text(int wait_status);

// Child: a started process that has not been waited for yet. Move-only.
// Dropping a handle that was never waited for kills the child with SIGKILL
// and reaps it, so no zombie and no orphan outlives the handle; a caller that
// wants the child to outlive the handle has no business holding one.
class [[nodiscard]] Child {
 public:
  Child(Child&& other) noexcept;
  Child& operator=(Child&& other) noexcept;
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child();

  [[nodiscard]] pid_t pid() const { return pid_; }
  // Waits for the child (EINTR retried) and returns the raw wait status;
  // Io when waitpid fails. After it the handle is empty.
  [[nodiscard]] Result<int> wait();

 private:
  friend class CommandSpec;
  explicit Child(pid_t pid) : pid_(pid) {}
  pid_t pid_ = -1;  // -1 once waited for or moved from
};

class CommandSpec {
 public:
  explicit CommandSpec(std::filesystem::path program) : program_(std::move(program)) {}

  // Appends one argument. On a temporary it returns the spec by value, so
  // command lines read as a chain; on a named spec it appends in place.
  [[nodiscard]] CommandSpec arg(std::string value) &&;
  CommandSpec& arg(std::string value) &;

  // Sets (a value) or removes (nullopt) one variable of the child's
  // environment, which is otherwise this process's. A later call for the same
  // name wins. Secrets go here, not on the command line, which every local
  // user can read in /proc.
  [[nodiscard]] CommandSpec env(std::string name, std::optional<std::string> value) &&;
  CommandSpec& env(std::string name, std::optional<std::string> value) &;

  [[nodiscard]] const std::filesystem::path& program() const { return program_; }
  [[nodiscard]] const std::vector<std::string>& args() const { return args_; }
  using EnvOverride = std::pair<std::string, std::optional<std::string>>;
  [[nodiscard]] const std::vector<EnvOverride>& env_overrides() const { return env_; }

  // Runs to completion with captured output. A non-zero wait status is
  // CommandFailed with program, args joined by spaces, status and output.
  [[nodiscard]] Result<CommandOutput> run() const;
  // Starts with inherited standard streams and returns at once.
  [[nodiscard]] Result<Child> spawn() const;

 private:
  std::filesystem::path program_;
  std::vector<std::string> args_;
  std::vector<EnvOverride> env_;
};

}  // namespace quarvo

#endif  // QUARVO_JUICEFS_COMMAND_HPP_
