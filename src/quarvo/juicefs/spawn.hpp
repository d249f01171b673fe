// quarvo/juicefs/spawn.hpp: starting a program, the one posix_spawn of the
// driver.
//
// Internal to the driver: CommandSpec (command.hpp) starts its programs
// here and hands them to a Child (child.hpp). What this guarantees: no
// shell and no search beyond PATH; standard input from /dev/null and the
// output streams on the descriptors given (or inherited); every descriptor
// of ours but those close-on-exec; no signal blocked in the child and the
// default action for every one this process ignores; a process group (or,
// for a daemon, a session) of its own; the root directory as its working
// directory where the C library can set it (glibc 2.29 and later); every
// posix_spawn* result checked.
#ifndef QUARVO_JUICEFS_SPAWN_HPP_
#define QUARVO_JUICEFS_SPAWN_HPP_

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "quarvo/core/error.hpp"
#include "quarvo/core/file_io.hpp"

namespace quarvo {

// One variable of a child's environment set (a value) or removed (nullopt).
using EnvOverride = std::pair<std::string, std::optional<std::string>>;

// Both ends of a pipe, close-on-exec, neither on 0, 1 or 2.
struct Pipe {
  UniqueFd read_end;
  UniqueFd write_end;
};
// The pipe is widened (up to 1 MiB, where the system allows) so that a
// child writing a lot makes fewer round trips.
[[nodiscard]] Result<Pipe> make_pipe();

// `fd` moved above the standard streams when it landed on one of them (the
// caller had closed it), so the child's dup2 actions cannot clobber one pipe
// end with another or dup2 a descriptor onto itself.
[[nodiscard]] Result<UniqueFd> above_stdio(UniqueFd fd);

// Where the child's output goes (our pipes, or a file for a daemon), and
// whether it leads a session of its own; absent for inherited streams.
struct ChildStreams {
  int stdout_fd;
  int stderr_fd;
  bool new_session = false;
};

// Starts `program` with `args` (and this process's environment with `env`
// applied) and returns its pid. A program without a '/' is looked up on
// PATH as execvp does. Io before anything runs when an argument or variable
// holds a NUL byte (exec would cut it short and run another command) or when
// this process ignores SIGCHLD (the exit status would be lost); Io "could not
// start PROGRAM: REASON" when it cannot be started.
[[nodiscard]] Result<pid_t> start_process(const std::filesystem::path& program, const std::vector<std::string>& args,
                                          const std::vector<EnvOverride>& env, const ChildStreams* captured);

}  // namespace quarvo

#endif  // QUARVO_JUICEFS_SPAWN_HPP_
