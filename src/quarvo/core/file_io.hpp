// quarvo/core/file_io.hpp: the core's raw file operations, kept in one place.
//
// `UniqueFd` owns a descriptor and closes it on every path. `open_fd` always
// adds O_CLOEXEC, so no descriptor of ours (the registry lock above all)
// reaches a child program. `read_file` reads a whole file, `read_text_file`
// also requires it to be UTF-8, and `write_all` writes every byte. Errors
// are plain errno values: the caller knows which path, if any, the message
// names (IoAt or Io).
//
//   auto text = read_text_file(path);
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

// open(2) with O_CLOEXEC added and EINTR retried; the errno on failure.
[[nodiscard]] inline std::expected<UniqueFd, int> open_fd(const std::filesystem::path& path, int flags,
                                                          mode_t mode = 0) {
  for (;;) {
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
    if (fd >= 0) return UniqueFd(fd);
    if (errno != EINTR) return std::unexpected(errno);
  }
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

// The whole content of a regular file. A directory is EISDIR; any other
// kind of file is EINVAL: a FIFO would block (it is even opened without
// blocking, so that the open cannot hang) and a device such as /dev/zero
// would never end.
[[nodiscard]] inline std::expected<std::string, int> read_file(const std::filesystem::path& path) {
  auto fd = open_fd(path, O_RDONLY | O_NONBLOCK);
  if (!fd) return std::unexpected(fd.error());
  struct stat st {};
  if (::fstat(fd->get(), &st) != 0) return std::unexpected(errno);
  if (S_ISDIR(st.st_mode)) return std::unexpected(EISDIR);
  if (!S_ISREG(st.st_mode)) return std::unexpected(EINVAL);
  // Sized for the whole file plus one byte, so that one read usually takes it
  // all and the next sees the end; a file that grows meanwhile still fits.
  std::string out(static_cast<size_t>(st.st_size) + 1, '\0');
  size_t len = 0;
  for (;;) {
    if (len == out.size()) out.resize(out.size() * 2);
    const ssize_t n = ::read(fd->get(), out.data() + len, out.size() - len);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(errno);
    }
    if (n == 0) break;
    len += static_cast<size_t>(n);
  }
  out.resize(len);
  return out;
}

// The whole content of a file that must be UTF-8 text. Content that is not
// UTF-8 fails with EILSEQ, the errno POSIX defines for an illegal byte
// sequence, so the message names the actual fault; EINVAL ("Invalid
// argument") would wrongly blame the caller.
[[nodiscard]] inline std::expected<std::string, int> read_text_file(const std::filesystem::path& path) {
  auto text = read_file(path);
  if (text && !is_valid_utf8(*text)) return std::unexpected(EILSEQ);
  return text;
}

}  // namespace quarvo

#endif  // QUARVO_CORE_FILE_IO_HPP_
