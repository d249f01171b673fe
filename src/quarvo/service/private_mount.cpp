#include "quarvo/service/private_mount.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "quarvo/core/mount_table.hpp"
#include "quarvo/core/trust.hpp"

namespace quarvo {
namespace {

// The mode the backend formats a volume's root directory with.
constexpr mode_t kFormattedRootMode = 0777;
constexpr mode_t kPrivateRootMode = 0700;

std::string mode_text(mode_t mode) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%04o", static_cast<unsigned>(mode & 07777));
  return buf;
}

}  // namespace

std::filesystem::path fd_socket_path(pid_t supervisor) { return "/tmp/fuse_fd_comm." + std::to_string(supervisor); }

bool guard_fd_socket(pid_t supervisor) {
  const std::filesystem::path socket = fd_socket_path(supervisor);
  struct stat st{};
  // lstat: a link planted under the name is not followed to what it names.
  if (::lstat(socket.c_str(), &st) != 0) return false;
  if (!S_ISSOCK(st.st_mode) || st.st_uid != ::geteuid()) return true;
  return (st.st_mode & 07777) == 0600 || ::chmod(socket.c_str(), 0600) == 0;
}

Result<void> make_root_private(const Volume& volume, const std::filesystem::path& mountpoint) {
  if (!volume.dev || ::geteuid() != 0) return {};
  struct stat st{};
  if (::stat(mountpoint.c_str(), &st) != 0) return std::unexpected(QuarvoError::io_at_errno(mountpoint, errno));
  if ((st.st_mode & 07777) != kFormattedRootMode) return {};
  if (::chmod(mountpoint.c_str(), kPrivateRootMode) != 0) {
    return std::unexpected(QuarvoError::io_at_errno(mountpoint, errno));
  }
  return {};
}

std::optional<MountAccess> mount_access(const std::filesystem::path& mountpoint) {
  auto table = read_mount_table();
  const auto entry = table ? mount_at(*table, mountpoint) : std::nullopt;
  struct stat st{};
  if (!entry || ::stat(mountpoint.c_str(), &st) != 0) return std::nullopt;
  MountAccess access{entry->allow_other, st.st_uid, static_cast<mode_t>(st.st_mode & 07777), {}};
  // A FUSE mount without allow_other is the mounting user's alone, whatever
  // its modes; any other mount is as open as its modes.
  if (entry->fstype.starts_with("fuse") && !entry->allow_other) {
    access.who = "only the user who mounted it: the mount has no allow_other";
    return access;
  }
  const mode_t others = access.mode & 07, group = access.mode & 070;
  const std::string who = (others & 02) != 0 ? "every local user may read and write it"
                          : others != 0      ? "every local user may read it"
                          : group != 0       ? "its owner and group only"
                                             : "its owner only";
  access.who = who + " (" + (entry->allow_other ? "allow_other; " : "") + "root directory " + mode_text(access.mode) +
               ", owner " + user_text(access.owner) + ")";
  return access;
}

}  // namespace quarvo
