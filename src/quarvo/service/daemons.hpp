// quarvo/service/daemons.hpp: the backend's processes that serve a volume
// of this home, found and ended.
//
// A mount is served by two processes: the supervisor (the process the
// mount started) and the serving process it forks. The supervisor starts a
// new serving process, under a new pid, when its serving process is killed
// (SIGKILL); on SIGTERM either one unmounts and both exit. So a daemon is
// ended supervisor first, then the serving process.
//
// A process is a daemon of volume V for home H when its command line runs
// the backend's "mount" and it holds H's log of V open (the log, or the log
// it was rotated to): two homes with a volume of the same name never match
// each other's daemons. Its mountpoint is read from its command line,
// "mount URL MOUNTPOINT --log LOG" as the driver writes it (options may
// follow), URL being V's metadata URL with its password taken out (the
// backend's arguments never hold the password: it travels in the
// environment). The backend's daemons rewrite their command line as one
// text parted by spaces, cut at the length of the original (measured:
// about 220 bytes with a long home path), so the line is compared as text,
// and a line cut short names no mountpoint.
//
//   for (const VolumeDaemon& d : volume_daemons(volume, home.volume_log_path(volume.name))) ...
//   end_daemons(pids, kTeardownExitBound);   // supervisors first
#ifndef QUARVO_SERVICE_DAEMONS_HPP_
#define QUARVO_SERVICE_DAEMONS_HPP_

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quarvo/core/deadline.hpp"
#include "quarvo/core/error.hpp"
#include "quarvo/core/models.hpp"
#include "quarvo/core/paths.hpp"

namespace quarvo {

// One process serving (or supervising) a mount of a volume.
struct VolumeDaemon {
  pid_t pid = 0;
  std::filesystem::path mountpoint;  // where its command line says it mounts; empty when cut short
  bool supervisor = false;           // its parent is no daemon of the volume
};

// The logs a daemon of volume `name` of `home` may hold open: its log and
// the name its log is rotated to.
[[nodiscard]] std::vector<std::filesystem::path> volume_logs(const QuarvoHome& home, std::string_view name);

// The daemons of `volume` running now that hold `logs` (the log, its
// rotated name) open, supervisors first. Processes that end meanwhile are
// passed over.
[[nodiscard]] std::vector<VolumeDaemon> volume_daemons(const Volume& volume,
                                                       const std::vector<std::filesystem::path>& logs);

// The mountpoint a daemon's `command_line` (its arguments parted by
// spaces) names when it mounts `volume` logging to `log_path`; nullopt for
// another command line or one cut short.
[[nodiscard]] std::optional<std::filesystem::path> daemon_mountpoint(std::string_view command_line,
                                                                     const Volume& volume,
                                                                     const std::filesystem::path& log_path);

// "pid 4310 (mounted at /mnt/data), pid 4321 (...)": the daemons for a message.
[[nodiscard]] std::string daemons_text(const std::vector<VolumeDaemon>& daemons);

// Waits, within `limits`, until no daemon of `volume` runs; the ones still
// running when it gave up (empty: none runs). Interrupted on a cancel
// request.
[[nodiscard]] Result<std::vector<VolumeDaemon>> await_no_daemons(const Volume& volume,
                                                                 const std::vector<std::filesystem::path>& logs,
                                                                 const WaitLimits& limits);

// Ends `pids` (supervisors first, as given): SIGTERM to each in order, and
// SIGKILL, in the same order, to those still running after `bound`; then
// waits up to `bound` again. Whether all are gone. Then what dead daemons
// left in /tmp goes (remove_dead_daemon_files).
bool end_daemons(const std::vector<pid_t>& pids, std::chrono::milliseconds bound);

// A supervisor ended by SIGKILL leaves its files in /tmp (measured:
// /tmp/fuse_fd_comm.PID, the socket .config names as CommPath;
// /tmp/statePID.json while it restarts a serving process), and so does one
// whose ender was itself killed before it could tidy. Deletes every such
// file (a socket, a regular file) of this user whose PID is gone: nothing
// can use it any more. Another user's are left to that user.
void remove_dead_daemon_files();

// Aborts the FUSE connection of the file system on `device` ("0:46", as
// the mount table shows it): every request waiting on it fails at once, and
// a daemon that SIGKILL could not end (in state D, waiting in the kernel)
// ends. Root only (or the mount's owner). The control file system is
// mounted at /sys/fs/fuse/connections first when it is not there (as root).
// Whether the abort was written.
bool abort_fuse_connection(std::string_view device);

}  // namespace quarvo

#endif  // QUARVO_SERVICE_DAEMONS_HPP_
