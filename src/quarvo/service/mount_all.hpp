// quarvo/service/mount_all.hpp: several mounts at once, each result told as
// it comes (`mount --all`).
//
// After a reboot, every record that names a mountpoint where its volume is
// no longer served is mounted again (Quarvo::mount_all, in mount_all.cpp).
// The mounts run on a pool of at most kMountAllWorkers threads, each one a
// whole call of its own: it starts its deadline when it starts, so a volume
// that waits its turn, or one whose engine does not answer, takes nothing
// from the others. Each outcome is handed to the caller as it comes, on the
// caller's own thread (a Python callback runs there, with the interpreter
// lock taken), then all of them are returned in the order asked.
//
// The caller's Cancel is asked on the caller's thread alone (it may be tied
// to that thread, as the Python binding's is), at least every
// kCancelPollInterval. The workers hear a stop flag instead, raised when the
// caller's Cancel says yes or a result callback asks to stop: mounts under
// way end what they started, the rest never start, and the whole call is
// Interrupted once every worker has ended.
//
//   auto all = mount_each(targets, kMountAllWorkers, mount_one, on_result, cancel);
#ifndef QUARVO_SERVICE_MOUNT_ALL_HPP_
#define QUARVO_SERVICE_MOUNT_ALL_HPP_

#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "quarvo/core/cancel.hpp"
#include "quarvo/service/service.hpp"

namespace quarvo {

// How many volumes `mount --all` mounts at once: enough to overlap engines
// that are slow to answer, few enough not to crowd a small machine.
inline constexpr std::size_t kMountAllWorkers = 4;

// One volume to mount, at its recorded mountpoint.
struct MountTarget {
  std::string name;
  std::filesystem::path path;
};

// One mount, run on a worker thread; `stop` is the worker's Cancel.
using MountOne = std::function<Result<MountedVolume>(const MountTarget& target, const Cancel& stop)>;

// Mounts each of `targets` with `mount`, at most `workers` (at least one)
// at once, calling `on_result` on this thread as each ends. Interrupted when
// `cancel` said yes, `on_result` returned false or a mount was interrupted;
// else every attempt, in the order of `targets`.
[[nodiscard]] Result<std::vector<MountAttempt>> mount_each(const std::vector<MountTarget>& targets, std::size_t workers,
                                                           const MountOne& mount, const OnMountResult& on_result,
                                                           const Cancel& cancel);

}  // namespace quarvo

#endif  // QUARVO_SERVICE_MOUNT_ALL_HPP_
