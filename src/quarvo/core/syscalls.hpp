// quarvo/core/syscalls.hpp: the Linux system calls newer than the oldest C
// library the module runs on, each with its way on a kernel without it.
//
// glibc 2.17, the release wheels' floor, has no wrapper for pidfd_open
// (Linux 5.3), close_range (Linux 5.9) or statx (Linux 4.11), so they are made
// through syscall(2). A kernel that lacks one answers ENOSYS (a container's
// system call filter may say EPERM instead); every function here then does
// the same work the older way, or says so where only the caller can.
//
//   Fd pidfd(open_pidfd(pid));          // -1: wait for the child by polling
//   close_all_but(pipe_end);            // in a freshly forked child
//   int err = stat_uncached("/mnt/v");  // 0, ENOTCONN for a dead FUSE daemon, ...
#ifndef QUARVO_CORE_SYSCALLS_HPP_
#define QUARVO_CORE_SYSCALLS_HPP_

#include <sys/types.h>

namespace quarvo {

// A close-on-exec descriptor that becomes readable once child `pid` has
// exited. -1 with errno set where there is none (ENOSYS before Linux 5.3, and
// on other systems): the caller then polls for the exit.
[[nodiscard]] int open_pidfd(pid_t pid);

// Closes every descriptor of this process except `keep`: with close_range
// where the kernel has it, else one close() per descriptor number below
// 65536. Only async-signal-safe calls: it serves a child forked from a
// process with threads.
void close_all_but(int keep);

// Asks the file system at `path` (the path itself, not an automount below
// it) for its attributes: 0 when it answered, else the errno. With statx's
// AT_STATX_FORCE_SYNC, so a FUSE server is asked rather than the kernel's
// attribute cache; a kernel without statx is asked with stat(2), which may
// answer from that cache for a while.
[[nodiscard]] int stat_uncached(const char* path);

}  // namespace quarvo

#endif  // QUARVO_CORE_SYSCALLS_HPP_
