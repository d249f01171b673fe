// quarvo/core/paths.hpp: the per-user home directory and every path in it.
//
// `QuarvoHome` is a plain value holding the root directory; the path
// operations are pure joins and touch nothing. `from_env` resolves the root
// from QUARVO_HOME, HOME or the user database; `ensure_layout` creates the
// directories the rest of the system writes into.
//
// Private by default: every directory Quarvo creates in the home is 0700
// (a development volume's metadata and objects, the logs and the records are
// nobody else's business); a directory that already exists keeps its mode,
// but is used only while no other user can write it.
//
//   root/config.toml          optional configuration (config.hpp)
//   root/volumes/NAME.toml    one record per volume (registry.hpp)
//   root/logs/NAME.log        background mount logs (NAME.log.1: the one before)
//   root/bin/quarvo-storage   the managed backend program
//   root/dev/NAME/            development volume data: metadata.db (SQLite), objects/
//   root/lock                 the registry lock file
#ifndef QUARVO_CORE_PATHS_HPP_
#define QUARVO_CORE_PATHS_HPP_

#include <sys/types.h>

#include <filesystem>
#include <string_view>

#include "quarvo/core/error.hpp"

namespace quarvo {

// DevPaths: a development volume's files under the home.
struct DevPaths {
  std::filesystem::path directory;  // dev/NAME
  std::filesystem::path metadata;   // dev/NAME/metadata.db, the SQLite metadata
  std::filesystem::path objects;    // dev/NAME/objects, the object store
};

class QuarvoHome {
 public:
  explicit QuarvoHome(std::filesystem::path root) : root_(std::move(root)) {}

  // QUARVO_HOME when set, which must be an absolute path (an empty or
  // relative one would scatter the home over whatever the working directory
  // is: Io with a message saying so); else HOME (when non-empty) or the user
  // database's home directory, joined with ".quarvo". Neither: Io "could not
  // determine home directory" (classed as not-found).
  [[nodiscard]] static Result<QuarvoHome> from_env();

  [[nodiscard]] const std::filesystem::path& root() const { return root_; }
  [[nodiscard]] std::filesystem::path config_path() const;
  [[nodiscard]] std::filesystem::path managed_storage_backend_bin() const;
  [[nodiscard]] std::filesystem::path legacy_managed_juicefs_bin() const;
  [[nodiscard]] std::filesystem::path dev_dir() const;
  [[nodiscard]] std::filesystem::path volumes_dir() const;
  [[nodiscard]] std::filesystem::path logs_dir() const;
  [[nodiscard]] std::filesystem::path bin_dir() const;
  // Where the volumes' block caches go unless a volume sets its own: the
  // backend keeps each in a subdirectory named after the volume's UUID.
  [[nodiscard]] std::filesystem::path cache_dir() const;
  [[nodiscard]] std::filesystem::path lock_path() const;
  // The name is inserted unchanged; callers validate it first.
  [[nodiscard]] std::filesystem::path volume_path(std::string_view name) const;
  [[nodiscard]] std::filesystem::path volume_log_path(std::string_view name) const;
  // The log rotation kept: logs/NAME.log.1.
  [[nodiscard]] std::filesystem::path old_volume_log_path(std::string_view name) const;
  [[nodiscard]] DevPaths dev_paths(std::string_view name) const;

  // Creates root, volumes, logs, bin and dev (with parents, mode 0700) and
  // makes sure each is the user's (or root's) and writable by nobody else
  // (check_private of trust.hpp), stopping at the first failure: IoAt of
  // that directory, or UnsafePath before anything is made inside it.
  [[nodiscard]] Result<void> ensure_layout() const;
  // The same checks of the directories there are, making none.
  [[nodiscard]] Result<void> check_layout() const;

 private:
  std::filesystem::path root_;
};

// The home directory of the current user in the user database, or empty.
[[nodiscard]] std::string user_database_home();

// The mode of the directories Quarvo keeps its own files in.
inline constexpr mode_t kPrivateDirectoryMode = 0700;

// Creates `dir` and its missing parents with `mode` less the umask; an
// existing directory is success and keeps its mode. On failure returns the
// errno.
[[nodiscard]] int create_directories(const std::filesystem::path& dir, mode_t mode = 0777);

}  // namespace quarvo

#endif  // QUARVO_CORE_PATHS_HPP_
