// Each call is made on this kernel, which has it, and again in a forked child
// whose seccomp filter answers its system call as a kernel without it does
// (ENOSYS) or as an old container runtime's filter does (EPERM).
#include "quarvo/core/syscalls.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>

#include "quarvo/core/test_support.hpp"

namespace quarvo {
namespace {

using testing::deny_syscall;
using testing::in_child;

// In a forked body: report the failed condition and end the body with 1.
#define CHILD_EXPECT(cond)                                                    \
  do {                                                                        \
    if (!(cond)) {                                                            \
      std::fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #cond); \
      return 1;                                                               \
    }                                                                         \
  } while (0)

// The errno the kernel gives the call: 0 where it makes it.
class Syscalls : public ::testing::TestWithParam<int> {
 protected:
  // Denies `nr` in this (forked) process as the parameter says. Each test
  // also checks that the raw call then fails, or it would prove nothing.
  bool deny(long nr) const { return GetParam() == 0 || deny_syscall(nr, GetParam()); }
  bool denied() const { return GetParam() != 0; }
};

TEST_P(Syscalls, PidfdIsReadableOnceTheChildExitsOrMissing) {
  EXPECT_EQ(in_child([&] {
              CHILD_EXPECT(deny(SYS_pidfd_open));
              int go[2];
              CHILD_EXPECT(::pipe(go) == 0);
              const pid_t child = ::fork();
              if (child == 0) {
                char c;
                ::_exit(::read(go[0], &c, 1) == 1 ? 0 : 1);
              }
              const int fd = open_pidfd(child);
              const int err = errno;
              struct pollfd p = {fd, POLLIN, 0};
              const bool running = fd >= 0 && ::poll(&p, 1, 0) == 0;
              CHILD_EXPECT(::write(go[1], "x", 1) == 1);
              if (denied()) {
                CHILD_EXPECT(fd == -1 && err == GetParam());
              } else {
                CHILD_EXPECT(fd >= 0 && (::fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0 && running);
                CHILD_EXPECT(::poll(&p, 1, 10'000) == 1 && (p.revents & POLLIN) != 0);
              }
              return testing::wait_exit_code(child) == 0 ? 0 : 1;
            }),
            0);
}

TEST_P(Syscalls, CloseAllButKeepsExactlyOneDescriptor) {
  EXPECT_EQ(in_child([&] {
              struct rlimit limit{};
              CHILD_EXPECT(::getrlimit(RLIMIT_NOFILE, &limit) == 0);
              const int high = static_cast<int>(std::min<rlim_t>(limit.rlim_cur, 65536) - 1);
              const int fd = ::open("/dev/null", O_RDONLY);
              CHILD_EXPECT(fd >= 0);
              const int keep = 700;
              for (int n : {keep, 3, 699, 701, high}) CHILD_EXPECT(::dup2(fd, n) == n);
              CHILD_EXPECT(deny(SYS_close_range));
              CHILD_EXPECT(!denied() || ::syscall(SYS_close_range, 3U, 3U, 0U) == -1);
              close_all_but(keep);
              // Reports only through the exit code: stderr is closed too.
              if (::fcntl(keep, F_GETFD) < 0) return 2;
              for (int n : {0, 1, 2, 3, fd, 699, 701, high}) {
                if (::fcntl(n, F_GETFD) >= 0 || errno != EBADF) return 3;
              }
              return 0;
            }),
            0);
}

TEST_P(Syscalls, StatUncachedAnswersOrNamesTheError) {
  testing::TempDir dir;
  const std::string file = (dir.path() / "file").string();
  testing::spit(file, "x");
  EXPECT_EQ(in_child([&] {
              CHILD_EXPECT(deny(SYS_statx));
              CHILD_EXPECT(!denied() || ::syscall(SYS_statx, AT_FDCWD, "/", 0, 0U, nullptr) == -1);
              CHILD_EXPECT(!denied() || errno == GetParam());
              CHILD_EXPECT(stat_uncached("/") == 0);
              CHILD_EXPECT(stat_uncached(file.c_str()) == 0);
              CHILD_EXPECT(stat_uncached((dir.path() / "missing").c_str()) == ENOENT);
              CHILD_EXPECT(stat_uncached((file + "/below").c_str()) == ENOTDIR);
              return 0;
            }),
            0);
}

INSTANTIATE_TEST_SUITE_P(Kernel, Syscalls, ::testing::Values(0, ENOSYS, EPERM), [](const auto& info) {
  return info.param == 0        ? std::string("HasIt")
         : info.param == ENOSYS ? std::string("LacksIt")
                                : std::string("FiltersIt");
});

}  // namespace
}  // namespace quarvo
