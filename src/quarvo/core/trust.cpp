#include "quarvo/core/trust.hpp"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <vector>

#include "quarvo/core/file_io.hpp"
#include "quarvo/core/text.hpp"

namespace quarvo {
namespace {

// Who may own what is checked: this process's effective user, and for
// directories and programs also root, who could change them anyway.
enum class Owners { UserOrRoot, UserOnly };

bool owned_well(uid_t owner, Owners owners) {
  return owner == ::geteuid() || (owners == Owners::UserOrRoot && owner == 0);
}

std::string mode_text(mode_t mode) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%04o", static_cast<unsigned>(mode & 07777));
  return buf;
}

// What is wrong with `st` for `role`, or empty when nothing is: the owner
// unless `owners` allows it, a write bit of `write_bits`.
std::string faults(const struct stat& st, Owners owners, mode_t write_bits) {
  std::vector<std::string> found;
  if (!owned_well(st.st_uid, owners))
    found.emplace_back(owners == Owners::UserOnly ? "not yours" : "not yours or root's");
  const mode_t writable = st.st_mode & write_bits;
  if (writable == (S_IWGRP | S_IWOTH)) {
    found.emplace_back("writable by group and others");
  } else if (writable == S_IWGRP) {
    found.emplace_back("writable by group");
  } else if (writable == S_IWOTH) {
    found.emplace_back("writable by others");
  }
  std::string text;
  for (const std::string& f : found) text += (text.empty() ? "" : ", ") + f;
  return text;
}

// The UnsafePath of `path` for what `faults` found: its owner and mode, and
// the commands that set it right (`chmod_bits`: "go-w" or "o-w").
QuarvoError unsafe(const std::filesystem::path& path, std::string_view role, const struct stat& st, Owners owners,
                   std::string_view chmod_bits, const std::string& found) {
  std::string detail = std::string(role) + " belongs to " + user_text(st.st_uid) + " and has mode " +
                       mode_text(st.st_mode) + " (" + found + ")";
  const std::string shown = escape_unprintable(cut_for_message(path.native()));
  const bool writable = found.find("writable") != std::string::npos;
  std::string chmod = writable ? "chmod " + std::string(chmod_bits) + " " + shown : "";
  std::string fix;
  if (owned_well(st.st_uid, owners)) {
    fix = "`" + chmod + "`";
  } else {
    const uid_t me = ::geteuid();
    std::string chown = "chown " + (me == 0 ? std::string("root") : std::to_string(me)) + " " + shown;
    fix = "if what it holds is yours, `" + chown + (writable ? " && " + chmod : "") + "`; else remove it";
  }
  return QuarvoError::unsafe_path(path, std::move(detail), std::move(fix));
}

Result<void> check(const std::filesystem::path& path, std::string_view role, Owners owners, mode_t write_bits) {
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0) return std::unexpected(QuarvoError::io_at_errno(path, errno));
  const std::string found = faults(st, owners, write_bits);
  if (found.empty()) return {};
  return std::unexpected(unsafe(path, role, st, owners, write_bits == S_IWOTH ? "o-w" : "go-w", found));
}

}  // namespace

Result<void> check_private(const std::filesystem::path& path, std::string_view role) {
  return check(path, role, Owners::UserOrRoot, S_IWGRP | S_IWOTH);
}

Result<void> check_program(const std::filesystem::path& program, bool in_home) {
  return check(program, "the storage backend program", Owners::UserOrRoot, in_home ? S_IWGRP | S_IWOTH : S_IWOTH);
}

Result<void> check_own_file(const std::filesystem::path& path, const struct stat& st, std::string_view role) {
  if (!owned_well(st.st_uid, Owners::UserOnly)) {
    return std::unexpected(unsafe(path, "the " + std::string(role), st, Owners::UserOnly, "go-w", "not yours"));
  }
  if (S_ISDIR(st.st_mode)) return std::unexpected(QuarvoError::io_at_errno(path, EISDIR));
  // A FIFO would block and a device such as /dev/zero never end.
  if (!S_ISREG(st.st_mode)) return std::unexpected(QuarvoError::io_at_errno(path, EINVAL));
  if (st.st_size > kOwnFileLimit) {
    return std::unexpected(QuarvoError::io_at(
        path, OsError::with_message(EFBIG, "File too large: " + std::to_string(st.st_size) + " bytes, where a " +
                                               std::string(role) + " holds at most " + std::to_string(kOwnFileLimit) +
                                               " (os error " + std::to_string(EFBIG) + ")")));
  }
  return {};
}

QuarvoError linked_own_file(const std::filesystem::path& path, std::string_view role) {
  return QuarvoError::unsafe_path(path,
                                  "the " + std::string(role) + " is a symbolic link, and a " + std::string(role) +
                                      " is read only from a regular file of your own, never through a link",
                                  "put the file itself in its place, or remove the link");
}

Result<std::string_view> read_own_file(int dir_fd, const std::filesystem::path& dir, const char* name,
                                       std::string_view role, std::string& buf) {
  // The path of errors, made only for one: a listing reads thousands of files.
  const auto path = [&] { return dir.empty() ? std::filesystem::path(name) : dir / name; };
  auto fd = open_fd_at(dir_fd, name, O_RDONLY | O_NONBLOCK | O_NOFOLLOW);
  if (!fd) {
    if (fd.error() == ELOOP) return std::unexpected(linked_own_file(path(), role));
    return std::unexpected(QuarvoError::io_at_errno(path(), fd.error()));
  }
  struct stat st{};
  if (::fstat(fd->get(), &st) != 0) return std::unexpected(QuarvoError::io_at_errno(path(), errno));
  if (st.st_uid != ::geteuid() || !S_ISREG(st.st_mode) || st.st_size > kOwnFileLimit) {
    return std::unexpected(check_own_file(path(), st, role).error());
  }
  // One byte more than the file, so that a file read whole is a short read,
  // its end: one read for a file that fits. One that grew since its size
  // was taken is read on, up to one byte past the limit.
  constexpr auto kMost = static_cast<size_t>(kOwnFileLimit) + 1;
  size_t room = std::min(std::max(buf.size(), static_cast<size_t>(st.st_size) + 1), kMost);
  if (buf.size() < room) buf.resize(room);
  size_t len = 0;
  for (;;) {
    if (len == room) {
      if (room == kMost) break;
      room = std::min(room * 2, kMost);
      buf.resize(std::max(buf.size(), room));
    }
    const ssize_t n = ::read(fd->get(), buf.data() + len, room - len);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::unexpected(QuarvoError::io_at_errno(path(), errno));
    if (n == 0) break;
    len += static_cast<size_t>(n);
    if (len < room) break;
  }
  if (len > static_cast<size_t>(kOwnFileLimit)) {
    st.st_size = static_cast<off_t>(len);
    return std::unexpected(check_own_file(path(), st, role).error());
  }
  return std::string_view(buf.data(), len);
}

std::string user_text(uid_t uid) {
  const long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(suggested > 0 ? static_cast<size_t>(suggested) : 1024);
  struct passwd pw{};
  struct passwd* found = nullptr;
  while (::getpwuid_r(uid, &pw, buf.data(), buf.size(), &found) == ERANGE && buf.size() < (1u << 20)) {
    buf.resize(buf.size() * 2);
  }
  const std::string number = "uid " + std::to_string(uid);
  if (found == nullptr || pw.pw_name == nullptr) return number;
  return escape_unprintable(cut_for_message(pw.pw_name)) + " (" + number + ")";
}

}  // namespace quarvo
