// quarvo/service/mount_checks.hpp: what the service asks about a mount
// before it acts on it, and about a daemon after.
//
// Internal to the service: the questions mount, unmount and flush share.
#ifndef QUARVO_SERVICE_MOUNT_CHECKS_HPP_
#define QUARVO_SERVICE_MOUNT_CHECKS_HPP_

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string_view>
#include <vector>

#include "quarvo/core/cancel.hpp"
#include "quarvo/core/error.hpp"
#include "quarvo/core/mount_table.hpp"
#include "quarvo/service/live_state.hpp"

namespace quarvo {

// How long a mount's root has to answer before it counts as unresponsive.
inline constexpr std::chrono::milliseconds kAnswerBound{5000};

// The live state of volume `name` at `mountpoint`, within kAnswerBound.
[[nodiscard]] MountCheck state_at(std::string_view name, const std::filesystem::path& mountpoint);

// Success when the volume's live mount is at `mountpoint`. A mount whose
// daemon died is IoAt (ENOTCONN), one that does not answer TimedOut,
// anything else VolumeNotMounted.
[[nodiscard]] Result<void> require_live_mount(std::string_view name, const std::filesystem::path& mountpoint);

// Waits until every process of `pids` is gone (a zombie counts as gone: its
// work is done), asking `cancel`. False when some still run after `bound`;
// Interrupted on a cancel request.
[[nodiscard]] Result<bool> wait_until_gone(const std::vector<pid_t>& pids, std::chrono::milliseconds bound,
                                           const Cancel& cancel);

}  // namespace quarvo

#endif  // QUARVO_SERVICE_MOUNT_CHECKS_HPP_
