// quarvo/service/in_mount.hpp: the file operations the service does inside a
// mountpoint.
//
//   probe_mount          writes "quarvo" to MOUNTPOINT/.quarvo-probe-PID-N,
//                        reads it back and deletes it
//   write_flush_marker   creates MOUNTPOINT/.quarvo-flush-PID-N, fsyncs it
//                        and deletes it
//   read_daemon_pids     the "Pid" and "PPid" the backend shows in
//                        MOUNTPOINT/.config: the processes serving the mount
//
// Each name carries the process id and a counter of this process, so calls
// of several threads or processes never meet. Files are created with
// O_NOFOLLOW and O_NONBLOCK: a symbolic link planted under the name fails
// the call instead of redirecting the write, a FIFO fails instead of
// blocking. Nothing is left behind on any path that created the file.
//
// On a mount whose daemon is stopped these calls block, and a thread blocked
// there cannot be freed. So under a deadline or a cancel each runs in a
// helper process of its own (plain system calls only, no descriptor of ours
// but its result pipe), which at the deadline or on a cancel request is
// killed and left to a reaper: TimedOut or Interrupted. Given neither
// (WaitLimits::unbounded(Cancel::never())) they run on the calling thread.
// A probe given up on is deleted afterwards within what is left of the
// deadline (at least a quarter second, at most 5 s; after a cancel request
// a quarter second).
#ifndef QUARVO_SERVICE_IN_MOUNT_HPP_
#define QUARVO_SERVICE_IN_MOUNT_HPP_

#include <sys/types.h>

#include <filesystem>
#include <vector>

#include "quarvo/core/deadline.hpp"
#include "quarvo/core/error.hpp"

namespace quarvo {

// IoAt at the probe path when it cannot be written, read or deleted; Io
// "mount probe returned unexpected data" when the content differs.
[[nodiscard]] Result<void> probe_mount(const std::filesystem::path& mountpoint, const WaitLimits& limits);

// IoAt at the marker path when it cannot be created or deleted; Io when the
// fsync fails.
[[nodiscard]] Result<void> write_flush_marker(const std::filesystem::path& mountpoint, const WaitLimits& limits);

// The daemon's process ids (one or two, positive); IoAt at .config when it
// cannot be read, an empty list when it names none.
[[nodiscard]] Result<std::vector<pid_t>> read_daemon_pids(const std::filesystem::path& mountpoint,
                                                          const WaitLimits& limits);

}  // namespace quarvo

#endif  // QUARVO_SERVICE_IN_MOUNT_HPP_
