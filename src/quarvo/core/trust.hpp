// quarvo/core/trust.hpp: what Quarvo runs, writes into and reads records
// from only when no other user could have changed it.
//
// Quarvo runs the storage backend program as the user (often as root) and
// keeps passwords in its home. A home, or a program, that another user can
// change would have it run their code or hand them those passwords, so
// before a program from the home runs or anything is written into it:
//
//   - the home and the directories of its layout (volumes, logs, bin, dev),
//     and a program in the home, are owned by the user or root and writable
//     by nobody else (no group or other write bit): `check_private`;
//   - a program from elsewhere ($QUARVO_STORAGE_BACKEND_BIN, config.toml,
//     PATH) is owned by the user or root and not writable by others; a group
//     may write it, as it may write /usr/local: `check_program`.
//
// Symbolic links are followed there: what is checked is the file used.
// Parents are not checked (a home under /tmp is fine). A record or
// config.toml is read only when it is a regular file of the user's own, not
// a link, and small: `check_own_file`.
//
// A refusal is UnsafePath: the path, what it is, its owner and mode, and how
// to fix it; a file too large to be a record is IoAt (EFBIG).
//
//   QUARVO_TRY(check_private(home.root(), "the Quarvo home"));
//   QUARVO_TRY(check_program(program, /*in_home=*/false));
#ifndef QUARVO_CORE_TRUST_HPP_
#define QUARVO_CORE_TRUST_HPP_

#include <sys/stat.h>
#include <sys/types.h>

#include <filesystem>
#include <string>
#include <string_view>

#include "quarvo/core/error.hpp"

namespace quarvo {

// The most a record or config.toml may hold: a record is a few hundred bytes.
inline constexpr off_t kOwnFileLimit = 64 * 1024;

// `path` (named `role` in the message: "the Quarvo home") is owned by this
// process's effective user or root and neither group nor others may write
// it. A path that cannot be stat'ed is IoAt.
[[nodiscard]] Result<void> check_private(const std::filesystem::path& path, std::string_view role);

// The storage backend program at `program`: as check_private when it lives
// in the home (`in_home`), else owned by the user or root and not writable
// by others.
[[nodiscard]] Result<void> check_program(const std::filesystem::path& program, bool in_home);

// A file opened without following a link (O_NOFOLLOW), whose fstat is `st`,
// as one of the user's own files (`role`: "record"): owned by this process's
// effective user (UnsafePath otherwise), regular (IoAt EISDIR for a
// directory, EINVAL for anything else) and at most kOwnFileLimit bytes
// (IoAt EFBIG).
[[nodiscard]] Result<void> check_own_file(const std::filesystem::path& path, const struct stat& st,
                                          std::string_view role);

// The UnsafePath of a record or config.toml that is a symbolic link (its
// open with O_NOFOLLOW failed with ELOOP).
[[nodiscard]] QuarvoError linked_own_file(const std::filesystem::path& path, std::string_view role);

// The bytes of one of the user's own files, read into `buf` (which only
// grows, so one buffer serves many files): `name` opened relative to
// `dir_fd` (AT_FDCWD: the working directory) without following a link and
// without blocking, checked by check_own_file, read to its end. Errors name
// it as `dir` / `name` (`name` alone for an empty `dir`): UnsafePath for a
// link (linked_own_file) or another owner, IoAt for the rest, with ENOENT or
// ENOTDIR when nothing is there.
[[nodiscard]] Result<std::string_view> read_own_file(int dir_fd, const std::filesystem::path& dir, const char* name,
                                                     std::string_view role, std::string& buf);

// The user `uid` as messages name it: "nobody (uid 65534)", or "uid 4242"
// when the user database has no entry for it.
[[nodiscard]] std::string user_text(uid_t uid);

}  // namespace quarvo

#endif  // QUARVO_CORE_TRUST_HPP_
