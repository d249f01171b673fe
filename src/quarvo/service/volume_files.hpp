// quarvo/service/volume_files.hpp: a volume's files outside its record.
//
// Besides its record (registry.hpp) and, for a development volume, its data
// under dev/NAME (QuarvoHome::dev_paths), a volume has mount logs in the
// home (logs/NAME.log, and NAME.log.1 once rotated) and a block cache that
// the backend keeps outside it, in a directory named after the volume's
// UUID, under the home by default. Removal deletes them, inspection shows
// them, a mount rotates the log.
//
//   auto config = read_mount_config("/mnt/data");                // a live mount's own word
//   auto caches = volume_cache_dirs(home, volume, uuid, config);  // only directories named UUID
#ifndef QUARVO_SERVICE_VOLUME_FILES_HPP_
#define QUARVO_SERVICE_VOLUME_FILES_HPP_

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quarvo/core/error.hpp"
#include "quarvo/core/models.hpp"
#include "quarvo/core/paths.hpp"

namespace quarvo {

// A log bigger than this is moved aside when a mount of its volume starts.
inline constexpr std::uintmax_t kLogRotateBytes = 8u << 20;

// logs/NAME.log renamed to logs/NAME.log.1 (replacing an older one) when it
// is bigger than kLogRotateBytes; a missing log is no error. IoAt of the log.
[[nodiscard]] Result<void> rotate_volume_log(const QuarvoHome& home, std::string_view name);
// Both logs of the volume deleted; what is not there is no error.
void delete_volume_logs(const QuarvoHome& home, std::string_view name);

// Where the backend keeps block caches for mounts this process starts (no
// cache directory is passed to it): /var/jfsCache for root on Linux, else
// $HOME/.juicefs/cache; nullopt when HOME is unset. Each volume's cache is
// the subdirectory named after its UUID.
[[nodiscard]] std::optional<std::filesystem::path> default_cache_base();

// What a live mount says of itself in MOUNTPOINT/.config: the volume
// ("Format"), the cache directories its daemon uses ("Chunk"), how it was
// mounted ("Meta"), the processes serving it ("Pid", and "PPid", the
// supervisor, which starts a new serving process when that one dies) and
// where it serves metrics ("Port").
struct MountConfig {
  std::string uuid;
  std::string name;
  std::vector<std::filesystem::path> cache_dirs;
  bool read_only = false;
  std::string subdir;
  std::int64_t pid = 0;             // 0: not named
  std::int64_t supervisor_pid = 0;  // 0: not named
  std::string metrics;              // "127.0.0.1:9567"; empty when not named
};
// nullopt when it cannot be read or names no UUID. Read on the calling
// thread: only for a mount that has just answered.
[[nodiscard]] std::optional<MountConfig> read_mount_config(const std::filesystem::path& mountpoint);

// Every cache directory the volume with this UUID may have on this
// machine: those its record lists, the live mount's own (when given, of
// this UUID), where its settings put it (cache-dir, else the home's cache
// directory) and where the backend puts one by default (mounts made before
// the home kept the caches). Only directories whose last component is the
// UUID, so a removal can never delete anything else; for a `uuid` that is
// no UUID (not known), only the record's directories named after some UUID.
[[nodiscard]] std::vector<std::filesystem::path> volume_cache_dirs(const QuarvoHome& home, const Volume& volume,
                                                                   std::string_view uuid,
                                                                   const std::optional<MountConfig>& mount);
// The bytes the files under `dirs` take on disk (their blocks), symbolic
// links not followed; what cannot be read counts nothing.
[[nodiscard]] std::uintmax_t disk_usage(const std::vector<std::filesystem::path>& dirs);
// Each directory whose name is a UUID deleted with its contents, without
// following symbolic links; failures are left as they are.
void delete_caches(const std::vector<std::filesystem::path>& dirs);

}  // namespace quarvo

#endif  // QUARVO_SERVICE_VOLUME_FILES_HPP_
