// quarvo/service/interim_mounts.hpp: the mount table and the live state of a
// recorded mountpoint, as far as mounting and unmounting need them.
//
// A stand-in with the declarations of quarvo/core/mount_table.hpp and
// quarvo/service/live_state.hpp, which replace it: once those are in, this
// unit goes and `interim::` is dropped where it is used.
#ifndef QUARVO_SERVICE_INTERIM_MOUNTS_HPP_
#define QUARVO_SERVICE_INTERIM_MOUNTS_HPP_

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quarvo/core/error.hpp"

namespace quarvo::interim {

struct MountEntry {
  std::filesystem::path mountpoint;
  std::string source;
  std::string fstype;
};

// One read of /proc/self/mountinfo (octal escapes undone), in its order: a
// later line for a mountpoint is stacked on an earlier one.
[[nodiscard]] Result<std::vector<MountEntry>> read_mount_table();
// The entry on top at `mountpoint`, if any.
[[nodiscard]] std::optional<MountEntry> mount_at(const std::vector<MountEntry>& table,
                                                 const std::filesystem::path& mountpoint);
// The absolute path with its parent directory resolved and the leaf
// appended; never stats the leaf, which may be a (dead) mount.
[[nodiscard]] Result<std::filesystem::path> canonical_mountpoint(const std::filesystem::path& path);
// "JuiceFS:" + name: the source a volume's mount shows in the table.
[[nodiscard]] std::string volume_mount_source(std::string_view name);

enum class LiveState { NotRecorded, Mounted, Stale, Unresponsive, NotMounted, Foreign };
struct MountCheck {
  LiveState state;
  std::string found_source;  // what is mounted there (Foreign)
};
// The state of each (name, recorded mountpoint): one read of the table, then
// the roots of this volume's mounts asked together, each on a thread that is
// abandoned if it has no answer within `bound`. Never hangs.
[[nodiscard]] std::vector<MountCheck> check_mounts(
    const std::vector<std::pair<std::string, std::filesystem::path>>& mounts, std::chrono::milliseconds bound);

}  // namespace quarvo::interim

#endif  // QUARVO_SERVICE_INTERIM_MOUNTS_HPP_
