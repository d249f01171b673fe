#include "quarvo/service/inspection.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <utility>

#include "quarvo/core/config.hpp"
#include "quarvo/core/deadline.hpp"
#include "quarvo/core/registry.hpp"
#include "quarvo/juicefs/doctor.hpp"
#include "quarvo/service/mount_settings.hpp"
#include "quarvo/service/volume_files.hpp"

namespace quarvo {
namespace fs = std::filesystem;
namespace {

// The backend's status of a volume, for a caller without a service object:
// the program and the bound are the configuration's.
Result<BackendStatus> backend_status(const QuarvoHome& home, const Result<Config>& config, const Volume& volume,
                                     const WaitLimits& limits) {
  if (!config) return std::unexpected(config.error());
  auto program = trusted_storage_backend_bin(home, config->storage_backend_bin);
  if (!program) return std::unexpected(std::move(program).error());
  const fs::path metadata = home.dev_paths(volume.name).metadata;
  // The backend would create the missing SQLite file, and then report it
  // unformatted.
  struct stat st{};
  if (volume.dev && ::lstat(metadata.c_str(), &st) != 0) {
    return std::unexpected(QuarvoError::io_at_errno(metadata, ENOENT));
  }
  return JuiceFs(std::move(*program)).status(volume.metadata_url, limits);
}

// The details that need no question to a mount or the backend.
VolumeDetails paths_of(const QuarvoHome& home, std::string_view name, Result<Volume> volume) {
  VolumeDetails details{
      .name = volume ? volume->name : std::string(name),
      .record = home.volume_path(name),
      .volume = std::move(volume),
      .check = {},
      .access = std::nullopt,
      .log = home.volume_log_path(name),
      .log_bytes = std::nullopt,
      .old_log = home.old_volume_log_path(name),
      .dev = std::nullopt,
      .cache_dirs = {},
      .cache_dir = std::nullopt,
      .cache_bytes = 0,
      .mount = std::nullopt,
      .backend = std::nullopt,
      .backend_error = std::nullopt,
  };
  struct stat st{};
  if (::stat(details.log.c_str(), &st) == 0) details.log_bytes = static_cast<std::uintmax_t>(st.st_size);
  if (details.volume && details.volume->dev) details.dev = home.dev_paths(name);
  return details;
}

// The cache: the directories that exist, what they take, and where the
// volume's mounts keep it (the first the live mount names; else, with the
// UUID, under the cache-dir setting or the home's cache directory).
void place_cache(const QuarvoHome& home, const Volume& volume, const std::string& uuid,
                 const std::optional<MountConfig>& mount, VolumeDetails& details) {
  for (const fs::path& dir : volume_cache_dirs(home, volume, uuid, mount)) {
    struct stat st{};
    if (::lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) details.cache_dirs.push_back(dir);
  }
  details.cache_bytes = disk_usage(details.cache_dirs);
  if (mount && !mount->cache_dirs.empty()) {
    details.cache_dir = mount->cache_dirs.front();
  } else if (!uuid.empty()) {
    // The record's own setting, as a mount would read it.
    auto settings = running_settings(home, volume, {});
    if (settings)
      details.cache_dir = fs::path(std::get<std::string>(settings->at(std::string(kCacheDirSetting)))) / uuid;
  }
}

}  // namespace

Result<VolumeDetails> inspect_volume(const QuarvoHome& home, std::string_view name, bool ask_backend,
                                     std::optional<std::chrono::milliseconds> timeout, const Cancel& cancel) {
  Result<Volume> volume = Registry(home).read(name);
  if (!volume &&
      (volume.error().kind() == ErrorKind::InvalidVolumeName || volume.error().kind() == ErrorKind::VolumeNotFound)) {
    return std::unexpected(std::move(volume).error());
  }
  const Result<Config> config = Config::load(home);
  // One deadline for the whole call, from the caller's bound or the configured one.
  const WaitLimits limits(Deadline::after(timeout ? timeout : config ? config->command_timeout : std::nullopt), cancel);
  VolumeDetails details = paths_of(home, name, std::move(volume));
  if (!details.volume) return details;
  const Volume& v = *details.volume;

  if (v.mountpoint) {
    details.check = check_mounts({{v.name, *v.mountpoint}}, limits.deadline().left_at_most(kLiveStateBound)).front();
  }
  std::optional<MountConfig> mount_config;
  if (details.check.state == LiveState::Mounted) {
    mount_config = read_mount_config(*v.mountpoint);
    details.access = mount_access(*v.mountpoint);
  }
  if (ask_backend) {
    auto status = backend_status(home, config, v, limits);
    if (status) {
      details.backend = std::move(*status);
    } else if (status.error().kind() == ErrorKind::Interrupted || status.error().kind() == ErrorKind::UnsafePath) {
      // A program another user could have changed is refused, not run.
      return std::unexpected(std::move(status).error());
    } else {
      details.backend_error = std::move(status).error();
    }
  }
  const std::string uuid = details.backend ? details.backend->uuid : mount_config ? mount_config->uuid : "";
  place_cache(home, v, uuid, mount_config, details);
  details.mount = std::move(mount_config);
  return details;
}

}  // namespace quarvo
