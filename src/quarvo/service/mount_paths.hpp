// quarvo/service/mount_paths.hpp: mountpoints that cannot work, refused
// before anything runs.
//
// A mount hides what lies under it and, when it lies inside a directory the
// backend itself works in, feeds the daemon its own file system: a mount
// inside a volume's object directory left a daemon in state D that not even
// SIGKILL ended. So a mountpoint may be neither inside nor above (hiding) any
// place of `places_to_avoid`: the Quarvo home (records, logs, development
// volumes' data), every volume's data on this machine (a file:// store's
// directory) and the block cache directories. Nor may it be other than
// UTF-8: the backend takes its mountpoint as text and mounts at a lossily
// decoded path, where nobody looks for it.
//
//   QUARVO_TRY(check_mount_path(registry, request.path));  // before anything is made
#ifndef QUARVO_SERVICE_MOUNT_PATHS_HPP_
#define QUARVO_SERVICE_MOUNT_PATHS_HPP_

#include <filesystem>
#include <string>
#include <vector>

#include "quarvo/core/error.hpp"
#include "quarvo/core/models.hpp"
#include "quarvo/core/paths.hpp"
#include "quarvo/core/registry.hpp"

namespace quarvo {

// A directory a mount must leave alone, and what it is, for the message
// ("the Quarvo home", "the data of volume \"team\"").
struct AvoidedPlace {
  std::filesystem::path path;  // absolute, symbolic links resolved where it exists
  std::string what;
};

// The home (with its block caches), each file:// store and each block cache
// directory a record lists among `volumes`, and the backend's default block
// cache directory (volumes' caches live in subdirectories of it).
[[nodiscard]] std::vector<AvoidedPlace> places_to_avoid(const QuarvoHome& home, const std::vector<Volume>& volumes);

// InvalidArgument naming `mountpoint` (absolute) when it, or the path it
// resolves to (symbolic links of its existing part followed), is not UTF-8,
// or when it resolves to a path at, inside or above one of `places`;
// nothing is created or changed.
[[nodiscard]] Result<void> check_mount_path(const std::filesystem::path& mountpoint,
                                            const std::vector<AvoidedPlace>& places);
// The same for a path as the caller gave it (relative to the working
// directory), against this home's places (records that cannot be read are
// passed over). An empty path, or one holding a NUL byte, passes: mount
// refuses those with words of its own.
[[nodiscard]] Result<void> check_mount_path(const Registry& registry, const std::filesystem::path& requested);

}  // namespace quarvo

#endif  // QUARVO_SERVICE_MOUNT_PATHS_HPP_
