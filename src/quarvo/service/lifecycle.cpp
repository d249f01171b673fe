#include "quarvo/service/lifecycle.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <system_error>
#include <utility>

#include "quarvo/core/config.hpp"
#include "quarvo/core/file_io.hpp"
#include "quarvo/core/json.hpp"
#include "quarvo/core/mount_table.hpp"
#include "quarvo/core/text.hpp"
#include "quarvo/core/validation.hpp"
#include "quarvo/juicefs/command.hpp"
#include "quarvo/juicefs/doctor.hpp"
#include "quarvo/service/service.hpp"

namespace quarvo {
namespace fs = std::filesystem;
namespace {

// '~' breaks the volume name rule, so no volume's directory is ever called so.
constexpr std::string_view kTombstonePrefix = ".removing~";
// Inside a tombstone: the cache directories to delete with it, NUL-separated.
constexpr std::string_view kCacheList = ".quarvo-cache-dirs";
// Far more than any mount's .config; a planted endless file stops here.
constexpr size_t kMountConfigLimit = 1u << 20;

void reached(std::string_view step) {
  if (removal_step_hook != nullptr) removal_step_hook(step);
}

bool entry_exists(const fs::path& path) {
  struct stat st{};
  return ::lstat(path.c_str(), &st) == 0;
}

// 8-4-4-4-12 hexadecimal digits.
bool is_uuid(std::string_view text) {
  if (text.size() != 36) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (dash ? c != '-' : !hex) return false;
  }
  return true;
}

fs::path tombstone_path(const QuarvoHome& home, std::string_view name) {
  return home.dev_dir() / (std::string(kTombstonePrefix) + std::string(name));
}

// Deletes a tree without following symbolic links. Failures are left for the
// next finish_removals: this runs after the removal has been committed.
void delete_tree(const fs::path& path) {
  std::error_code ignored;
  fs::remove_all(path, ignored);
}

void delete_caches(const std::vector<fs::path>& dirs) {
  for (const fs::path& dir : dirs) {
    if (is_uuid(dir.filename().native())) delete_tree(dir);
  }
}

void delete_logs(const QuarvoHome& home, std::string_view name) {
  (void)::unlink(home.volume_log_path(name).c_str());
  (void)::unlink(home.old_volume_log_path(name).c_str());
}

// Best effort: only a removal that is killed needs the list, and without it
// the cache is merely left behind.
void write_cache_list(const fs::path& tombstone, const std::vector<fs::path>& dirs) {
  std::string text;
  for (const fs::path& dir : dirs) {
    text += dir.native();
    text += '\0';
  }
  auto fd = open_fd(tombstone / kCacheList, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0600);
  if (fd && write_all(fd->get(), text) == 0) (void)::fsync(fd->get());
}

std::vector<fs::path> read_cache_list(const fs::path& tombstone) {
  std::vector<fs::path> dirs;
  auto text = read_file(tombstone / kCacheList);
  if (!text) return dirs;
  std::string_view rest = *text;
  for (size_t end; (end = rest.find('\0')) != std::string_view::npos; rest.remove_prefix(end + 1)) {
    dirs.emplace_back(std::string(rest.substr(0, end)));
  }
  return dirs;
}

// The interrupted removal of `name`, whose tombstone is `tombstone`. True
// when it was completed or undone.
bool finish_one(const Registry& registry, std::string_view name, const fs::path& tombstone) {
  const QuarvoHome& home = registry.home();
  const fs::path directory = home.dev_paths(name).directory;
  if (entry_exists(home.volume_path(name))) {
    // Killed before the record went: the volume is still wanted, so its data
    // goes back. (With dev/NAME there again, by some other hand, neither is
    // touched.)
    if (entry_exists(directory) || ::rename(tombstone.c_str(), directory.c_str()) != 0) return false;
    (void)::unlink((directory / kCacheList).c_str());
    (void)sync_directory(home.dev_dir());
    return true;
  }
  delete_caches(read_cache_list(tombstone));
  delete_logs(home, name);
  delete_tree(tombstone);
  return true;
}

LiveState live_state_of(const Volume& volume) {
  if (!volume.mountpoint) return LiveState::NotRecorded;
  return check_mounts({{volume.name, *volume.mountpoint}}, kLiveStateBound).front().state;
}

std::string host_name() {
  char buf[256] = {};
  if (::gethostname(buf, sizeof buf - 1) != 0) return {};
  return buf;
}

// Where a client still serves the volume: a session that has not expired
// and, on this host, whose process lives and whose mountpoint shows the
// volume in the mount table (a session of a mount just unmounted may linger
// a moment). "HOST:MOUNTPOINT" for another host; nullopt when there is none.
// `this_host_only`: only sessions of this host, which share its cache.
std::optional<std::string> live_session(const BackendStatus& status, bool this_host_only = false) {
  const auto now = std::chrono::system_clock::now();
  const std::string here = host_name();
  const auto table = read_mount_table();
  for (const BackendSession& session : status.sessions) {
    if (session.expires && *session.expires < now) continue;
    if (here.empty() || session.host != here) {
      if (this_host_only) continue;
      return session.host + ":" + session.mountpoint;
    }
    if (session.pid > 0 && ::kill(static_cast<pid_t>(session.pid), 0) != 0 && errno == ESRCH) continue;
    if (table) {
      auto where = canonical_mountpoint(session.mountpoint);
      auto top = where ? mount_at(*table, *where) : std::nullopt;
      if (!top || top->source != volume_mount_source(status.name)) continue;
    }
    return session.mountpoint;
  }
  return std::nullopt;
}

// Detaches a mount whose daemon is gone. There is nothing left to flush, and
// the backend's own unmount fails without its daemon, so the kernel's mount
// is detached lazily with the system's FUSE tool.
Result<void> detach_stale(const fs::path& mountpoint) {
  std::optional<fs::path> tool = which_on_path("fusermount3");
  if (!tool) tool = which_on_path("fusermount");
  CommandSpec spec = tool ? CommandSpec(*tool).arg("-u").arg("-z") : CommandSpec("umount").arg("-l");
  auto out = spec.arg(path_text(mountpoint)).run();
  if (!out) return std::unexpected(std::move(out).error());
  return {};
}

// The record of a volume to remove. One that cannot be read is removed only
// when forced, as a record with no mountpoint and no engine to ask: a
// development volume's directory, if there is one, goes with it.
Result<Volume> readable_or_forced(const Registry& registry, std::string_view name, bool force) {
  auto volume = registry.read(name);
  if (volume || !force || volume.error().kind() == ErrorKind::InvalidVolumeName ||
      volume.error().kind() == ErrorKind::VolumeNotFound) {
    return volume;
  }
  Volume unreadable;
  unreadable.name = std::string(name);
  unreadable.dev = entry_exists(registry.home().dev_paths(name).directory);
  return unreadable;
}

// The backend's status of a volume, for a caller without a service object.
Result<BackendStatus> backend_status(const QuarvoHome& home, const Volume& volume) {
  auto config = Config::load(home);
  if (!config) return std::unexpected(std::move(config).error());
  auto program = detect_storage_backend_bin(home, config->storage_backend_bin);
  if (!program) return std::unexpected(QuarvoError::storage_backend_missing());
  const fs::path metadata = home.dev_paths(volume.name).metadata;
  // The backend would create the missing SQLite file, and then report it
  // unformatted.
  if (volume.dev && !entry_exists(metadata)) return std::unexpected(QuarvoError::io_at_errno(metadata, ENOENT));
  // Unbounded until the runner has deadlines: inspect wants 2 s here, so an
  // engine that does not answer cannot hold it.
  return JuiceFs(std::move(*program)).status(volume.metadata_url);
}

}  // namespace

Result<void> rotate_volume_log(const QuarvoHome& home, std::string_view name) {
  const fs::path log = home.volume_log_path(name);
  struct stat st{};
  if (::stat(log.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
  if (static_cast<std::uintmax_t>(st.st_size) <= kLogRotateBytes) return {};
  // A daemon still writing the old file keeps writing it, now as NAME.log.1.
  if (::rename(log.c_str(), home.old_volume_log_path(name).c_str()) != 0) {
    return std::unexpected(QuarvoError::io_at_errno(log, errno));
  }
  return {};
}

std::optional<fs::path> default_cache_base() {
#if defined(__linux__)
  if (::geteuid() == 0) return fs::path("/var/jfsCache");
#endif
  const char* home = std::getenv("HOME");
  if (home == nullptr || *home == '\0') return std::nullopt;
  return fs::path(home) / ".juicefs" / "cache";
}

namespace {

// What a live mount says of itself in MOUNTPOINT/.config: the volume's UUID
// and the cache directories the daemon uses.
struct MountConfig {
  std::string uuid;
  std::vector<fs::path> cache_dirs;
};

// nullopt when it cannot be read.
std::optional<MountConfig> read_mount_config(const fs::path& mountpoint) {
  auto fd = open_fd(mountpoint / ".config", O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
  if (!fd) return std::nullopt;
  std::string text;
  char buf[4096];
  while (text.size() < kMountConfigLimit) {
    const ssize_t n = ::read(fd->get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    text.append(buf, static_cast<size_t>(n));
  }
  auto doc = parse_json(text);
  if (!doc) return std::nullopt;
  MountConfig config;
  if (const JsonValue* uuid = doc->at("Format", "UUID")) config.uuid = uuid->string().value_or("");
  if (const JsonValue* dirs = doc->at("Chunk", "CacheDir")) {
    // Several cache directories are joined by ':'.
    const std::string joined = dirs->string().value_or("");
    std::string_view rest = joined;
    while (!rest.empty()) {
      const size_t end = rest.find(':');
      if (end != 0) config.cache_dirs.emplace_back(std::string(rest.substr(0, end)));
      if (end == std::string_view::npos) break;
      rest.remove_prefix(end + 1);
    }
  }
  if (!is_uuid(config.uuid)) return std::nullopt;
  return config;
}

// The cache directories of the volume with this UUID: the live mount's own
// when given, else default_cache_base()/UUID. Only directories whose last
// component is the UUID, so a removal can never delete anything else; empty
// for a text that is not a UUID.
std::vector<fs::path> volume_cache_dirs(std::string_view uuid, const std::optional<MountConfig>& mount) {
  std::vector<fs::path> dirs;
  if (!is_uuid(uuid)) return dirs;
  if (mount && mount->uuid == uuid) {
    for (const fs::path& dir : mount->cache_dirs) {
      if (dir.filename() == uuid) dirs.push_back(dir);
    }
    if (!dirs.empty()) return dirs;
  }
  if (auto base = default_cache_base()) dirs.push_back(*base / std::string(uuid));
  return dirs;
}

// finish_removals, for a caller that holds the lock already.
std::vector<std::string> finish_removals_locked(const Registry& registry) {
  std::vector<std::string> finished;
  const fs::path dev = registry.home().dev_dir();
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(dev.c_str()), ::closedir);
  if (!dir) return finished;
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(dir.get())) {
    std::string_view file = entry->d_name;
    if (!file.starts_with(kTombstonePrefix)) continue;
    std::string_view name = file.substr(kTombstonePrefix.size());
    if (validate_volume_name(name)) names.emplace_back(name);
  }
  dir.reset();
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    if (finish_one(registry, name, tombstone_path(registry.home(), name))) finished.push_back(name);
  }
  return finished;
}

}  // namespace

Result<std::vector<std::string>> finish_removals(const Registry& registry) {
  auto lock = registry.lock();
  if (!lock) return std::unexpected(std::move(lock).error());
  return finish_removals_locked(registry);
}

Result<void> Quarvo::remove(std::string_view name, bool force, bool destroy) const {
  QUARVO_TRY(validate_volume_name(name));

  // A live mount is unmounted first; unmount takes the lock itself.
  std::optional<MountConfig> mount_config;
  {
    auto volume = readable_or_forced(registry_, name, force);
    if (!volume) return std::unexpected(std::move(volume).error());
    const LiveState state = live_state_of(*volume);
    if (is_live(state)) {
      if (!force) return std::unexpected(QuarvoError::volume_mounted(std::string(name), *volume->mountpoint));
      if (state == LiveState::Stale) {
        QUARVO_TRY(detach_stale(*volume->mountpoint));
      } else {
        // The mount's own word on its cache, while it can still be asked.
        if (state == LiveState::Mounted) mount_config = read_mount_config(*volume->mountpoint);
        QUARVO_TRY(unmount(name, true));
      }
    }
  }

  auto lock = registry_.lock();
  if (!lock) return std::unexpected(std::move(lock).error());
  (void)finish_removals_locked(registry_);
  auto volume = readable_or_forced(registry_, name, force);
  if (!volume) return std::unexpected(std::move(volume).error());
  // Mounted again meanwhile.
  if (is_live(live_state_of(*volume))) {
    return std::unexpected(QuarvoError::volume_mounted(std::string(name), *volume->mountpoint));
  }
  const bool destroying = destroy && !volume->dev;  // a development volume's data always goes

  // The UUID names the cache, so it is read before anything is deleted. A
  // development volume that cannot answer (its metadata gone or broken) and
  // a shared one whose engine is away are removed all the same, only their
  // cache is not found; destroying needs the answer.
  const DevPaths dev = home_.dev_paths(name);
  std::optional<BackendStatus> status;
  if (!volume->metadata_url.empty() && (!volume->dev || entry_exists(dev.metadata))) {
    auto asked = juicefs_.status(volume->metadata_url);
    if (asked) {
      status = std::move(*asked);
    } else if (destroying) {
      return std::unexpected(std::move(asked).error());
    }
  }
  // A mount the record does not know of (a foreground one; another
  // machine's) would lose its files under it.
  if (status && (volume->dev || destroying)) {
    if (auto where = live_session(*status)) {
      return std::unexpected(QuarvoError::volume_mounted(std::string(name), *where));
    }
  }
  // The cache belongs to the volume's UUID on this machine: a shared volume
  // that another home here has mounted keeps it.
  std::vector<fs::path> caches;
  if (status) {
    if (!live_session(*status, /*this_host_only=*/true)) caches = volume_cache_dirs(status->uuid, mount_config);
  } else if (mount_config) {
    caches = volume_cache_dirs(mount_config->uuid, mount_config);
  }
  reached("checked");

  if (destroying) {
    auto destroyed = juicefs_.destroy(volume->metadata_url, status->uuid);
    if (!destroyed) return std::unexpected(std::move(destroyed).error());
  }

  const fs::path tombstone = tombstone_path(home_, name);
  bool moved = false;
  if (volume->dev) {
    if (::rename(dev.directory.c_str(), tombstone.c_str()) == 0) {
      moved = true;
      write_cache_list(tombstone, caches);
      // The move must be on disk before the record's removal is.
      if (const int err = sync_directory(home_.dev_dir())) {
        return std::unexpected(QuarvoError::io_at_errno(home_.dev_dir(), err));
      }
    } else if (errno != ENOENT) {
      return std::unexpected(QuarvoError::io_at_errno(dev.directory, errno));
    }
    reached("moved");
  }

  if (auto removed = registry_.remove(name); !removed) {
    if (moved && ::rename(tombstone.c_str(), dev.directory.c_str()) == 0) {
      (void)::unlink((dev.directory / kCacheList).c_str());
    }
    return removed;
  }
  reached("unlinked");
  delete_caches(caches);
  delete_logs(home_, name);
  reached("cleaned");
  if (moved) delete_tree(tombstone);
  return {};
}

Result<VolumeDetails> inspect_volume(const QuarvoHome& home, std::string_view name, bool ask_backend) {
  Result<Volume> volume = Registry(home).read(name);
  if (!volume &&
      (volume.error().kind() == ErrorKind::InvalidVolumeName || volume.error().kind() == ErrorKind::VolumeNotFound)) {
    return std::unexpected(std::move(volume).error());
  }
  VolumeDetails details{
      .name = volume ? volume->name : std::string(name),
      .record = home.volume_path(name),
      .volume = volume,
      .check = {},
      .log = home.volume_log_path(name),
      .log_bytes = std::nullopt,
      .old_log = home.old_volume_log_path(name),
      .dev = std::nullopt,
      .cache_dirs = {},
      .backend = std::nullopt,
      .backend_error = std::nullopt,
  };
  struct stat st{};
  if (::stat(details.log.c_str(), &st) == 0) details.log_bytes = static_cast<std::uintmax_t>(st.st_size);
  if (!volume) return details;

  if (volume->mountpoint) {
    details.check = check_mounts({{volume->name, *volume->mountpoint}}, kLiveStateBound).front();
  }
  if (volume->dev) details.dev = home.dev_paths(name);
  std::optional<MountConfig> mount_config;
  if (details.check.state == LiveState::Mounted) mount_config = read_mount_config(*volume->mountpoint);
  if (ask_backend) {
    auto status = backend_status(home, *volume);
    if (status) {
      details.backend = std::move(*status);
    } else {
      details.backend_error = std::move(status).error();
    }
  }
  if (details.backend) {
    details.cache_dirs = volume_cache_dirs(details.backend->uuid, mount_config);
  } else if (mount_config) {
    details.cache_dirs = volume_cache_dirs(mount_config->uuid, mount_config);
  }
  return details;
}

}  // namespace quarvo
