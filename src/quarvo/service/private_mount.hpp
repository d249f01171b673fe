// quarvo/service/private_mount.hpp: who besides the user may reach a mount.
//
// The kernel lets other users into a FUSE mount only with allow_other. The
// backend gives every mount made as root allow_other (and fails one told
// "-o noallow_other"), and formats a development volume's root directory
// 0777: as root, anyone could read and write it. So when root mounts a
// development volume whose root directory still has that mode, it becomes
// 0700 before anything is written there, which keeps the mode for later
// mounts (`make_root_private`; a mode set since is left alone). A non-root
// mount has no allow_other, which keeps others out already; a shared
// volume's root keeps the mode its engine holds: it is the team's.
//
// The backend's supervisor (the process the mount command starts as, which
// restarts a killed daemon) also listens on /tmp/fuse_fd_comm.PID, a Unix
// socket made with the caller's umask (its own "-d" makes it 0777), and
// hands the mount's FUSE descriptor (every read and write of the mount) to
// whoever may connect: a local user who took it would serve the mount in its
// daemon's place. `guard_fd_socket` makes the socket its owner's alone
// (0600), whatever the umask, while the mount comes up, before the daemon
// has handed the supervisor a descriptor to give away.
//
// `mount_access` says who may reach a mount: inspect shows it.
#ifndef QUARVO_SERVICE_PRIVATE_MOUNT_HPP_
#define QUARVO_SERVICE_PRIVATE_MOUNT_HPP_

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>

#include "quarvo/core/error.hpp"
#include "quarvo/core/models.hpp"

namespace quarvo {

// The supervisor's socket of the mount command `supervisor`.
[[nodiscard]] std::filesystem::path fd_socket_path(pid_t supervisor);

// Makes the supervisor's socket 0600; true once it is (or it is no socket:
// another backend), false while there is none yet to change.
[[nodiscard]] bool guard_fd_socket(pid_t supervisor);

// For root's mount at `mountpoint` of a development `volume`: a root
// directory of mode 0777 becomes 0700. IoAt of the mountpoint on failure.
[[nodiscard]] Result<void> make_root_private(const Volume& volume, const std::filesystem::path& mountpoint);

// Who may reach the mount at `mountpoint`: the kernel's allow_other and its
// root directory's owner and mode, and in words ("only uid 1000, who mounted
// it: the mount has no allow_other", "every local user: ...").
struct MountAccess {
  bool allow_other = false;
  uid_t owner = 0;
  mode_t mode = 0;
  std::string who;
};
[[nodiscard]] std::optional<MountAccess> mount_access(const std::filesystem::path& mountpoint);

}  // namespace quarvo

#endif  // QUARVO_SERVICE_PRIVATE_MOUNT_HPP_
