// quarvo/service/lifecycle.hpp: the end of a volume's life, and a look inside.
//
// Removing a volume (Quarvo::remove, in service.hpp) deletes more than its
// record: a development volume's metadata and objects under dev/NAME, the
// block cache the backend keeps outside the home, the volume's logs. The
// removal of a development volume is crash-safe in this order:
//
//   1. dev/NAME is renamed to the tombstone dev/.removing~NAME (a name no
//      volume can have: '~' breaks the name rule), and the list of the
//      volume's cache directories is written into it;
//   2. the record is unlinked (the commit point);
//   3. the caches, the logs and the tombstone are deleted.
//
// A removal killed at any point leaves the volume with its record and its
// data (in dev/NAME or in the tombstone), or no record; `finish_removals`,
// run by every removal and by prune, puts a tombstone whose record still
// exists back in place and deletes the others with the caches they list. So
// a record never points at deleted data, and `init --dev NAME` after a
// removal always starts with an empty volume.
//
// `inspect_volume` reads everything known about one volume; it needs no
// backend program, and asks the backend (when there is one) only if told to.
#ifndef QUARVO_SERVICE_LIFECYCLE_HPP_
#define QUARVO_SERVICE_LIFECYCLE_HPP_

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quarvo/core/error.hpp"
#include "quarvo/core/models.hpp"
#include "quarvo/core/paths.hpp"
#include "quarvo/core/registry.hpp"
#include "quarvo/juicefs/juicefs.hpp"
#include "quarvo/service/live_state.hpp"

namespace quarvo {

// A log bigger than this is moved aside when a mount of its volume starts.
inline constexpr std::uintmax_t kLogRotateBytes = 8u << 20;

// logs/NAME.log renamed to logs/NAME.log.1 (replacing an older one) when it
// is bigger than kLogRotateBytes; a missing log is no error. IoAt of the log.
[[nodiscard]] Result<void> rotate_volume_log(const QuarvoHome& home, std::string_view name);

// Where the backend keeps block caches for mounts this process starts (no
// cache directory is passed to it): /var/jfsCache for root on Linux, else
// $HOME/.juicefs/cache; nullopt when HOME is unset. Each volume's cache is
// the subdirectory named after its UUID.
[[nodiscard]] std::optional<std::filesystem::path> default_cache_base();

// Completes removals that were interrupted: a tombstone whose record still
// exists goes back to dev/NAME; every other tombstone is deleted with the
// caches it lists and the volume's logs. Takes the registry lock. Returns the
// names it completed or put back.
[[nodiscard]] Result<std::vector<std::string>> finish_removals(const Registry& registry);

// Everything known about one volume.
struct VolumeDetails {
  std::string name;
  std::filesystem::path record;  // the record file
  Result<Volume> volume;         // the error when the record cannot be read
  MountCheck check;              // the live state of the recorded mountpoint
  std::filesystem::path log;
  std::optional<std::uintmax_t> log_bytes;  // nullopt: no log yet
  std::filesystem::path old_log;
  std::optional<DevPaths> dev;                    // development volumes only
  std::vector<std::filesystem::path> cache_dirs;  // known once the UUID is
  std::optional<BackendStatus> backend;           // what the backend reported
  std::optional<QuarvoError> backend_error;       // why it did not, when it was asked
};

// The record, its live state, the paths and, when `ask_backend`, the
// backend's status (with no backend program installed, backend_error says
// so). InvalidVolumeName or VolumeNotFound for the name; an unreadable record
// is details with its error.
[[nodiscard]] Result<VolumeDetails> inspect_volume(const QuarvoHome& home, std::string_view name, bool ask_backend);

// For tests only: when set, a removal calls it with the name of each step it
// has just completed ("checked": nothing changed yet; "moved": the tombstone
// is in place; "unlinked": the record is gone; "cleaned": caches and logs are
// gone), so a test can kill the process at that point.
inline void (*removal_step_hook)(std::string_view step) = nullptr;

}  // namespace quarvo

#endif  // QUARVO_SERVICE_LIFECYCLE_HPP_
