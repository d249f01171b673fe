// Built as the module is (static libstdc++ and libgcc, with glibc_floor.cpp),
// so every call below goes through the stand-ins.
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <tuple>

namespace {

// Kept out of line, so the exception crosses real frames of this program.
[[gnu::noinline]] void throw_from_depth(int depth) {
  if (depth == 0) throw std::runtime_error("deep");
  throw_from_depth(depth - 1);
}

TEST(GlibcFloor, ExceptionsUnwindThroughTheStandIn) {
  try {
    throw_from_depth(8);
    FAIL() << "nothing was thrown";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "deep");
  }
  EXPECT_THROW((void)std::filesystem::file_size("/nonexistent/quarvo"), std::filesystem::filesystem_error);
}

TEST(GlibcFloor, StatCallsAgreeWithTheKernel) {
  const char* path = "/proc/self/exe";
  struct stat kernel{};
  ASSERT_EQ(syscall(SYS_newfstatat, AT_FDCWD, path, &kernel, 0), 0);
  struct stat by_path{}, by_link{}, by_fd{};
  ASSERT_TRUE(stat(path, &by_path) == 0 && lstat(path, &by_link) == 0);
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(fstat(fd, &by_fd), 0);
  close(fd);
  for (const struct stat& st : {by_path, by_fd}) {
    EXPECT_EQ(std::tuple(st.st_ino, st.st_size, st.st_mode), std::tuple(kernel.st_ino, kernel.st_size, kernel.st_mode));
  }
  EXPECT_TRUE(S_ISLNK(by_link.st_mode));
  EXPECT_EQ(stat("/nonexistent/quarvo", &by_path), -1);
  EXPECT_EQ(errno, ENOENT);
}

TEST(GlibcFloor, OnceRunsOnceAndRandomSourcesDraw) {
  static int runs = 0;
  static pthread_once_t once = PTHREAD_ONCE_INIT;
  for (int i = 0; i < 3; ++i) ASSERT_EQ(pthread_once(&once, [] { ++runs; }), 0);
  EXPECT_EQ(runs, 1);
  for (const char* source : {"getentropy", "arc4random"}) {
    std::random_device device(source);
    const unsigned first = device();
    EXPECT_TRUE(device() != first || device() != first || device() != first) << source;
  }
}

}  // namespace
