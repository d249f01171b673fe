// Quarvo::remove and the tombstones that make it crash-safe.
#include "quarvo/service/removal.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <memory>
#include <optional>
#include <system_error>
#include <utility>

#include "quarvo/core/file_io.hpp"
#include "quarvo/core/mount_table.hpp"
#include "quarvo/core/text.hpp"
#include "quarvo/core/validation.hpp"
#include "quarvo/juicefs/command.hpp"
#include "quarvo/juicefs/doctor.hpp"
#include "quarvo/service/intents.hpp"
#include "quarvo/service/live_state.hpp"
#include "quarvo/service/service.hpp"
#include "quarvo/service/step_points.hpp"
#include "quarvo/service/volume_files.hpp"

namespace quarvo {
namespace fs = std::filesystem;
namespace {

// '~' breaks the volume name rule, so no volume's directory is ever called so.
constexpr std::string_view kTombstonePrefix = ".removing~";
// Inside a tombstone: the cache directories to delete with it, NUL-separated.
constexpr std::string_view kCacheList = ".quarvo-cache-dirs";

bool entry_exists(const fs::path& path) {
  struct stat st{};
  return ::lstat(path.c_str(), &st) == 0;
}

// The token of a record in its tombstone's name: the digits of when it was
// created, so that the tombstone of a removed volume and a volume made again
// under its name never meet.
std::string record_token(const Volume& volume) {
  std::string token;
  for (const char c : volume.created_at) {
    if (c >= '0' && c <= '9') token += c;
  }
  return token.empty() ? "0" : token;
}

fs::path tombstone_path(const QuarvoHome& home, std::string_view name, std::string_view token) {
  return home.dev_dir() / (std::string(kTombstonePrefix) + std::string(name) + "~" + std::string(token));
}

// Deletes a tree without following symbolic links. Failures are left for the
// next finish_removals: this runs after the removal has been committed.
void delete_tree(const fs::path& path) {
  std::error_code ignored;
  fs::remove_all(path, ignored);
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

// The interrupted removal of `name`, whose tombstone is `tombstone`, named
// for the record of `token` (empty: a tombstone named before tokens, which
// belongs to any record of the name). True when it was completed or undone.
bool finish_one(const Registry& registry, std::string_view name, std::string_view token, const fs::path& tombstone) {
  const QuarvoHome& home = registry.home();
  const fs::path directory = home.dev_paths(name).directory;
  if (entry_exists(home.volume_path(name)) && !token.empty()) {
    auto volume = registry.read(name);
    if (!volume) return false;  // broken: nothing to decide by
    if (record_token(*volume) != token) {
      // The name was made again after this removal committed: the
      // tombstone's data and caches go, the new volume's logs stay.
      delete_caches(read_cache_list(tombstone));
      delete_tree(tombstone);
      return true;
    }
  }
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
  delete_volume_logs(home, name);
  delete_tree(tombstone);
  return true;
}

// finish_removals, for a caller that holds the lock already.
std::vector<std::string> finish_removals_locked(const Registry& registry) {
  std::vector<std::string> finished;
  const fs::path dev = registry.home().dev_dir();
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(dev.c_str()), ::closedir);
  if (!dir) return finished;
  std::vector<std::string> files;
  while (const dirent* entry = ::readdir(dir.get())) {
    std::string_view file = entry->d_name;
    if (file.starts_with(kTombstonePrefix)) files.emplace_back(file);
  }
  dir.reset();
  std::sort(files.begin(), files.end());
  for (const std::string& file : files) {
    // ".removing~NAME~TOKEN" ('~' is in no volume name), or ".removing~NAME" of old.
    const std::string_view rest = std::string_view(file).substr(kTombstonePrefix.size());
    const size_t tilde = rest.find('~');
    const std::string_view name = rest.substr(0, tilde);
    const std::string_view token = tilde == std::string_view::npos ? std::string_view() : rest.substr(tilde + 1);
    if (!validate_volume_name(name)) continue;
    if (finish_one(registry, name, token, registry.home().dev_dir() / file)) finished.emplace_back(name);
  }
  return finished;
}

LiveState live_state_of(const Volume& volume, const WaitLimits& limits) {
  if (!volume.mountpoint) return LiveState::NotRecorded;
  return check_mounts({{volume.name, *volume.mountpoint}}, limits.deadline().left_at_most(kLiveStateBound))
      .front()
      .state;
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
Result<void> detach_stale(const fs::path& mountpoint, const WaitLimits& limits) {
  std::optional<fs::path> tool = which_on_path("fusermount3");
  if (!tool) tool = which_on_path("fusermount");
  CommandSpec spec = tool ? CommandSpec(*tool).arg("-u").arg("-z") : CommandSpec("umount").arg("-l");
  auto out = spec.arg(path_text(mountpoint)).run(limits);
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

// What a removal has found out before it changes anything.
struct RemovalPlan {
  std::optional<BackendStatus> status;  // the backend's answer, when it gave one
  std::vector<fs::path> caches;         // the cache directories to delete
};

// Asks the backend for the volume's UUID, which names its cache, before
// anything is deleted. A development volume that cannot answer (its
// metadata gone or broken) and a shared one whose engine is away are
// removed all the same, only their cache is not found; destroying needs the
// answer. A mount the record does not know of (a foreground one; another
// machine's) refuses the removal: it would lose its files under it.
Result<RemovalPlan> plan_removal(const JuiceFs& juicefs, const QuarvoHome& home, const Volume& volume, bool destroying,
                                 const std::optional<MountConfig>& mount_config, const WaitLimits& limits) {
  RemovalPlan plan;
  if (!volume.metadata_url.empty() && (!volume.dev || entry_exists(home.dev_paths(volume.name).metadata))) {
    auto asked = juicefs.status(volume.metadata_url, limits);
    if (asked) {
      plan.status = std::move(*asked);
    } else if (destroying || asked.error().kind() == ErrorKind::Interrupted) {
      return std::unexpected(std::move(asked).error());
    }
  }
  if (plan.status && (volume.dev || destroying)) {
    if (auto where = live_session(*plan.status))
      return std::unexpected(QuarvoError::volume_mounted(volume.name, *where));
  }
  // The cache belongs to the volume's UUID on this machine: a shared volume
  // that another home here has mounted keeps it.
  if (plan.status) {
    if (!live_session(*plan.status, /*this_host_only=*/true))
      plan.caches = volume_cache_dirs(home, volume, plan.status->uuid, mount_config);
  } else {
    plan.caches = volume_cache_dirs(home, volume, mount_config ? mount_config->uuid : "", mount_config);
  }
  return plan;
}

// The commit, in the crash-safe order of removal.hpp: the tombstone, the
// record, then the caches, the logs and the tombstone's contents.
Result<void> delete_volume(const Registry& registry, const Volume& volume, const std::vector<fs::path>& caches) {
  const QuarvoHome& home = registry.home();
  const DevPaths dev = home.dev_paths(volume.name);
  const fs::path tombstone = tombstone_path(home, volume.name, record_token(volume));
  bool moved = false;
  if (volume.dev) {
    if (::rename(dev.directory.c_str(), tombstone.c_str()) == 0) {
      moved = true;
      write_cache_list(tombstone, caches);
      // The move must be on disk before the record's removal is.
      if (const int err = sync_directory(home.dev_dir())) {
        return std::unexpected(QuarvoError::io_at_errno(home.dev_dir(), err));
      }
    } else if (errno != ENOENT) {
      return std::unexpected(QuarvoError::io_at_errno(dev.directory, errno));
    }
    reach("rm:moved");
  }
  if (auto removed = registry.remove(volume.name); !removed) {
    if (moved && ::rename(tombstone.c_str(), dev.directory.c_str()) == 0) {
      (void)::unlink((dev.directory / kCacheList).c_str());
    }
    return removed;
  }
  reach("rm:unlinked");
  delete_caches(caches);
  delete_volume_logs(home, volume.name);
  reach("rm:cleaned");
  if (moved) delete_tree(tombstone);
  return {};
}

}  // namespace

Result<std::vector<std::string>> finish_removals(const Registry& registry, const WaitLimits& limits) {
  auto lock = registry.lock(limits);
  if (!lock) return std::unexpected(std::move(lock).error());
  return finish_removals_locked(registry);
}

Result<std::optional<MountConfig>> Quarvo::unmount_for_removal(std::string_view name, bool force,
                                                               const WaitLimits& limits, Notes& notes) const {
  auto volume = readable_or_forced(registry_, name, force);
  if (!volume) return std::unexpected(std::move(volume).error());
  const LiveState state = live_state_of(*volume, limits);
  if (!is_live(state)) return std::nullopt;
  if (!force) return std::unexpected(QuarvoError::volume_mounted(std::string(name), *volume->mountpoint));
  // A lazy detach would take the volumes mounted inside it along.
  QUARVO_TRY(unmount_nested(name, *volume->mountpoint, limits, notes));
  if (state == LiveState::Stale) {
    QUARVO_TRY(detach_stale(*volume->mountpoint, limits));
    return std::nullopt;
  }
  // The mount's own word on its cache, while it can still be asked.
  std::optional<MountConfig> config;
  if (state == LiveState::Mounted) config = read_mount_config(*volume->mountpoint);
  auto unmounted = unmount_within(name, true, limits);
  if (!unmounted) return std::unexpected(std::move(unmounted).error());
  notes.insert(notes.end(), unmounted->begin(), unmounted->end());
  return config;
}

Result<void> Quarvo::unmount_nested(std::string_view name, const fs::path& at, const WaitLimits& limits,
                                    Notes& notes) const {
  auto volumes = registry_.list_info();
  if (!volumes) return std::unexpected(std::move(volumes).error());
  // The deepest first: a mount inside a nested one goes before it.
  std::vector<std::pair<fs::path, std::string>> inside;
  const std::string prefix = at.native() == "/" ? "/" : at.native() + "/";
  for (const VolumeInfo& v : *volumes) {
    if (v.name != name && v.mountpoint && v.mountpoint->native().starts_with(prefix)) {
      inside.emplace_back(*v.mountpoint, v.name);
    }
  }
  std::sort(inside.begin(), inside.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
  for (const auto& [where, other] : inside) {
    auto unmounted = unmount_within(other, true, limits);
    if (!unmounted) {
      return std::unexpected(QuarvoError::volume_busy(
          std::string(name), "volume " + quote(other) + " is mounted inside it at " + path_text(where) +
                                 " and could not be unmounted: " + unmounted.error().message()));
    }
    notes.push_back("unmounted volume " + quote(other) + ", mounted inside it at " + path_text(where));
  }
  return {};
}

Result<Notes> Quarvo::remove(std::string_view name, bool force, bool destroy, const Cancel& cancel) const {
  QUARVO_TRY(validate_volume_name(name));
  const WaitLimits limits = call_limits(cancel);
  Notes notes;
  {
    // A step a killed call left is settled first; one under way refuses.
    auto lock = registry_.lock(limits);
    if (!lock) return std::unexpected(std::move(lock).error());
    if (auto volume = registry_.read(name)) {
      auto kept = settle_intent(*volume, limits, notes);
      if (!kept) return std::unexpected(std::move(kept).error());
      if (!*kept) return notes;  // an interrupted init: what it made is gone
    }
  }
  // A live mount is unmounted first; unmount takes the lock itself.
  auto mount_config = unmount_for_removal(name, force, limits, notes);
  if (!mount_config) return std::unexpected(std::move(mount_config).error());

  auto lock = registry_.lock(limits);
  if (!lock) return std::unexpected(std::move(lock).error());
  (void)finish_removals_locked(registry_);
  auto volume = readable_or_forced(registry_, name, force);
  if (!volume) return std::unexpected(std::move(volume).error());
  // Mounted again meanwhile, or being mounted.
  if (volume->intent && intent_live(*volume->intent)) return std::unexpected(busy_with(*volume));
  if (is_live(live_state_of(*volume, limits))) {
    return std::unexpected(QuarvoError::volume_mounted(std::string(name), *volume->mountpoint));
  }
  const bool destroying = destroy && !volume->dev;  // a development volume's data always goes
  auto plan = plan_removal(juicefs_, home_, *volume, destroying, *mount_config, limits);
  if (!plan) return std::unexpected(std::move(plan).error());
  reach("rm:checked");

  if (destroying) {
    auto destroyed = juicefs_.destroy(volume->metadata_url, plan->status->uuid, limits);
    if (!destroyed) return std::unexpected(std::move(destroyed).error());
  }
  QUARVO_TRY(delete_volume(registry_, *volume, plan->caches));
  return notes;
}

}  // namespace quarvo
