// quarvo/core/file_io.hpp: the core's raw file operations, kept in one place.
//
// `UniqueFd` owns a descriptor and closes it on every path. `open_fd` always
// adds O_CLOEXEC, so no descriptor of ours (the registry lock above all)
// reaches a child program. `read_file` reads a whole file,
// `read_regular_file` reads an open file into a buffer that many reads
// share, and `write_all` writes every byte. Errors
// are plain errno values: the caller knows which path, if any, the message
// names (IoAt or Io).
//
//   auto text = read_file(path);
//   if (!text) return std::unexpected(QuarvoError::io_at_errno(path, text.error()));
#ifndef QUARVO_CORE_FILE_IO_HPP_
#define QUARVO_CORE_FILE_IO_HPP_

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <expected>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>

#include "quarvo/core/error.hpp"
#include "quarvo/core/text.hpp"

namespace quarvo {

// UniqueFd: a move-only owner of one descriptor (-1: none).
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(std::exchange(other.fd_, -1));
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  [[nodiscard]] int get() const { return fd_; }
  [[nodiscard]] int release() { return std::exchange(fd_, -1); }
  // close() errors are dropped: every caller that cares has fsynced first.
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

// openat(2) with O_CLOEXEC added and EINTR retried; the errno on failure.
// `dir_fd` AT_FDCWD takes a relative `path` against the working directory.
[[nodiscard]] inline std::expected<UniqueFd, int> open_fd_at(int dir_fd, const char* path, int flags, mode_t mode = 0) {
  for (;;) {
    const int fd = ::openat(dir_fd, path, flags | O_CLOEXEC, mode);
    if (fd >= 0) return UniqueFd(fd);
    if (errno != EINTR) return std::unexpected(errno);
  }
}

[[nodiscard]] inline std::expected<UniqueFd, int> open_fd(const std::filesystem::path& path, int flags,
                                                          mode_t mode = 0) {
  return open_fd_at(AT_FDCWD, path.c_str(), flags, mode);
}

// Writes all of `data`, looping on short writes; 0 or the errno.
[[nodiscard]] inline int write_all(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    data.remove_prefix(static_cast<size_t>(n));
  }
  return 0;
}

// fsync of a directory, which makes the last changes to its entries (a
// rename, an unlink) durable; 0 or the errno.
[[nodiscard]] inline int sync_directory(const std::filesystem::path& dir) {
  auto fd = open_fd(dir, O_RDONLY | O_DIRECTORY);
  if (!fd) return fd.error();
  return ::fsync(fd->get()) == 0 ? 0 : errno;
}

// 0 when `fd` is a regular file; else EISDIR for a directory and EINVAL for
// any other kind: a FIFO would block (which is why files are opened without
// blocking, so that the open cannot hang) and a device such as /dev/zero
// would never end. `size` receives the file's size.
[[nodiscard]] inline int regular_file_check(int fd, off_t& size) {
  struct stat st{};
  if (::fstat(fd, &st) != 0) return errno;
  if (S_ISDIR(st.st_mode)) return EISDIR;
  if (!S_ISREG(st.st_mode)) return EINVAL;
  size = st.st_size;
  return 0;
}

// The whole content of the regular file (see regular_file_check) open as
// `fd`, read into `buf` (what it held is overwritten; it only ever grows, so
// one buffer serves many files): a view of the bytes in `buf`, or the errno.
// A short read is the end of a regular file, so a file that fits takes one
// read.
[[nodiscard]] inline std::expected<std::string_view, int> read_regular_file(int fd, std::string& buf) {
  off_t size = 0;
  if (const int err = regular_file_check(fd, size); err != 0) return std::unexpected(err);
  // One byte more than the file, so that a file read whole is a short read.
  if (buf.size() <= static_cast<size_t>(size)) buf.resize(static_cast<size_t>(size) + 1);
  size_t len = 0;
  for (;;) {
    // The file grew since its size was taken: double up, keep reading.
    if (len == buf.size()) buf.resize(buf.size() * 2);
    const ssize_t n = ::read(fd, buf.data() + len, buf.size() - len);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::unexpected(errno);
    len += static_cast<size_t>(n);
    if (n == 0 || len < buf.size()) break;
  }
  return std::string_view(buf.data(), len);
}

// The whole content of a regular file (see regular_file_check), or the errno.
[[nodiscard]] inline std::expected<std::string, int> read_file(const std::filesystem::path& path) {
  auto fd = open_fd(path, O_RDONLY | O_NONBLOCK);
  if (!fd) return std::unexpected(fd.error());
  std::string out;
  auto bytes = read_regular_file(fd->get(), out);
  if (!bytes) return std::unexpected(bytes.error());
  out.resize(bytes->size());
  return out;
}

}  // namespace quarvo

#endif  // QUARVO_CORE_FILE_IO_HPP_
