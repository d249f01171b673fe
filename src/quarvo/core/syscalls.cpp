#include "quarvo/core/syscalls.hpp"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__linux__)
#include <linux/stat.h>  // struct statx, which glibc declares only from 2.28 on
#include <sys/syscall.h>
#endif

namespace quarvo {
namespace {

#if defined(__linux__)
// The kernel's flag values, which never change; older C library headers lack them.
constexpr int kStatxForceSync = 0x2000;  // AT_STATX_FORCE_SYNC
constexpr int kNoAutomount = 0x800;      // AT_NO_AUTOMOUNT

// A filter of an old container runtime says EPERM for a call it does not know.
bool missing(int err) { return err == ENOSYS || err == EPERM; }
#endif

}  // namespace

int open_pidfd(pid_t pid) {
#if defined(__linux__)
  const long fd = ::syscall(SYS_pidfd_open, pid, 0);
  // Close-on-exec: the kernel sets it on every pidfd.
  return fd < 0 ? -1 : static_cast<int>(fd);
#else
  (void)pid;
  errno = ENOSYS;
  return -1;
#endif
}

void close_all_but(int keep) {
#if defined(__linux__)
  if ((keep == 0 || ::syscall(SYS_close_range, 0U, static_cast<unsigned>(keep) - 1, 0U) == 0) &&
      ::syscall(SYS_close_range, static_cast<unsigned>(keep) + 1, ~0U, 0U) == 0)
    return;
#endif
  // The descriptors of an ordinary process: the loop is what the kernel's
  // call saves.
  for (int fd = 0; fd < 65536; ++fd) {
    if (fd != keep) ::close(fd);
  }
}

int stat_uncached(const char* path) {
#if defined(__linux__)
  struct statx stx{};
  if (::syscall(SYS_statx, AT_FDCWD, path, kStatxForceSync | kNoAutomount, STATX_TYPE, &stx) == 0) return 0;
  if (!missing(errno)) return errno;
  struct stat st{};
  return ::fstatat(AT_FDCWD, path, &st, kNoAutomount) == 0 ? 0 : errno;
#else
  struct stat st{};
  return ::stat(path, &st) == 0 ? 0 : errno;
#endif
}

}  // namespace quarvo
