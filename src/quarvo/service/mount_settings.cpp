#include "quarvo/service/mount_settings.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <utility>

#include "quarvo/core/file_io.hpp"
#include "quarvo/core/text.hpp"
#include "quarvo/service/in_mount.hpp"
#include "quarvo/service/volume_files.hpp"

namespace quarvo {
namespace {

namespace fs = std::filesystem;

constexpr const char* kFuseConf = "/etc/fuse.conf";
// The mode the backend gives a sub-directory it makes for a mount.
constexpr mode_t kMadeSubdirMode = 0777;

// Whether /etc/fuse.conf has the line "user_allow_other" (comments after '#').
bool fuse_allows_other() {
  auto text = read_file(kFuseConf);
  if (!text) return false;
  std::string_view rest = *text;
  while (!rest.empty()) {
    const size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    line = line.substr(0, line.find('#'));
    const size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) continue;
    line = line.substr(first, line.find_last_not_of(" \t\r") - first + 1);
    if (line == "user_allow_other") return true;
  }
  return false;
}

}  // namespace

Result<VolumeSettings> running_settings(const QuarvoHome& home, const Volume& volume, const SettingChanges& changes) {
  auto changed = apply_setting_changes(volume.settings, changes);
  if (!changed) return std::unexpected(std::move(changed).error());
  auto settings = check_settings(*changed);
  if (!settings) return std::unexpected(std::move(settings).error());
  QUARVO_TRY(check_allow_other(*settings));
  if (!settings->contains(kCacheDirSetting)) {
    const std::string cache = path_text(home.cache_dir());
    if (cache.find_first_of(":*") != std::string::npos) {
      return std::unexpected(QuarvoError::invalid_argument(
          "the block cache cannot go under the Quarvo home " + escape_unprintable(path_text(home.root())) +
              ": the storage backend reads ':' and '*' in a cache directory as several; set one with `quarvo config " +
              volume.name + " cache-dir=PATH`",
          home.cache_dir()));
    }
    settings->emplace(std::string(kCacheDirSetting), cache);
  }
  return settings;
}

Result<void> check_allow_other(const VolumeSettings& settings) {
  if (!setting_flag(settings, kAllowOtherSetting) || ::geteuid() == 0 || fuse_allows_other()) return {};
  return std::unexpected(QuarvoError::invalid_argument(
      "allow-other needs the line user_allow_other in /etc/fuse.conf (only root may add it); without it FUSE "
      "refuses to let other users into a mount of yours"));
}

Result<void> prepare_cache_dir(const QuarvoHome& home, const VolumeSettings& settings) {
  const auto dir = settings.find(kCacheDirSetting);
  if (dir == settings.end() || std::get<std::string>(dir->second) != path_text(home.cache_dir())) return {};
  if (const int err = create_directories(home.cache_dir(), kPrivateDirectoryMode)) {
    return std::unexpected(QuarvoError::io_at_errno(home.cache_dir(), err));
  }
  return {};
}

Result<void> check_new_mount(std::string_view name, const VolumeSettings& settings, const fs::path& at,
                             const WaitLimits& limits) {
  if (!setting_flag(settings, kReadOnlySetting)) return probe_mount(at, limits);
  // Nothing can be written there; the mount's own word, read as it has just
  // answered, says what it serves.
  const auto config = read_mount_config(at);
  const auto failed = [&](std::string detail) {
    return std::unexpected(QuarvoError::mount_failed(std::string(name), at, std::move(detail)));
  };
  if (!config) return failed("its .config cannot be read to check the read-only mount");
  if (config->name != name) return failed("its .config names volume " + quote(config->name));
  if (!config->read_only) return failed("its .config says it is not read-only");
  return {};
}

Result<void> make_subdir_private(const VolumeSettings& settings, const fs::path& at,
                                 std::chrono::system_clock::time_point started) {
  if (!settings.contains(kSubdirSetting) || ::geteuid() != 0) return {};
  struct stat st{};
  if (::stat(at.c_str(), &st) != 0) return std::unexpected(QuarvoError::io_at_errno(at, errno));
  // The backend stamps a directory it makes with this machine's clock; a
  // second of slack for a clock that counts whole seconds.
  // (Compared as durations since the epoch: a clock's own unit may be coarser than nanoseconds.)
  const auto changed = std::chrono::seconds(st.st_ctim.tv_sec) + std::chrono::nanoseconds(st.st_ctim.tv_nsec);
  const auto since = started.time_since_epoch() - std::chrono::seconds(1);
  if ((st.st_mode & 07777) != kMadeSubdirMode || changed < since) return {};
  if (::chmod(at.c_str(), kPrivateDirectoryMode) != 0) return std::unexpected(QuarvoError::io_at_errno(at, errno));
  return {};
}

void remember_cache_dirs(Volume& volume, const fs::path& at) {
  const auto config = read_mount_config(at);
  if (!config) return;
  for (const fs::path& dir : config->cache_dirs) {
    if (std::find(volume.cache_dirs.begin(), volume.cache_dirs.end(), dir) == volume.cache_dirs.end()) {
      volume.cache_dirs.push_back(dir);
    }
  }
}

bool mounted_read_only(const fs::path& at) {
  const auto config = read_mount_config(at);
  return config && config->read_only;
}

}  // namespace quarvo
