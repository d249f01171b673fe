// quarvo/service/mount_checks.hpp: what the service asks about a mount
// before it acts on it, and about a daemon after.
//
// Internal to the service: the questions mount, unmount and flush share.
#ifndef QUARVO_SERVICE_MOUNT_CHECKS_HPP_
#define QUARVO_SERVICE_MOUNT_CHECKS_HPP_

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "quarvo/core/deadline.hpp"
#include "quarvo/core/error.hpp"
#include "quarvo/core/mount_table.hpp"
#include "quarvo/service/live_state.hpp"

namespace quarvo {

// How long a mount's root has to answer before it counts as unresponsive.
inline constexpr std::chrono::milliseconds kAnswerBound{5000};
// How long an unmounted daemon has to exit (its last writes go to the
// object store meanwhile); after a forced unmount, where it also waits for
// files still open under the detached mount, a shorter wait.
inline constexpr std::chrono::milliseconds kDaemonExitBound{30'000};
inline constexpr std::chrono::milliseconds kForcedDaemonExitBound{5'000};
// How long taking a mount down may take when the user set no bound.
inline constexpr std::chrono::milliseconds kTeardownBound{30'000};

// The live state of volume `name` at `mountpoint`, asked within `limits`
// capped at kAnswerBound. (The check cannot be abandoned earlier: the
// cancel is heard after it.)
[[nodiscard]] MountCheck state_at(std::string_view name, const std::filesystem::path& mountpoint,
                                  const WaitLimits& limits);
// The TimedOut of a mount at `mountpoint` that did not answer within
// `asking` (the capped limits it was asked under).
[[nodiscard]] QuarvoError unanswered(const std::filesystem::path& mountpoint, const WaitLimits& asking);

// Success when the volume's live mount is at `mountpoint`, asked as
// state_at does. A mount whose daemon died is IoAt (ENOTCONN), one that does
// not answer TimedOut, anything else VolumeNotMounted.
[[nodiscard]] Result<void> require_live_mount(std::string_view name, const std::filesystem::path& mountpoint,
                                              const WaitLimits& limits);

// Waits until every process of `pids` is gone (a zombie counts as gone: its
// work is done). False when some still run at the deadline; Interrupted on
// a cancel request.
[[nodiscard]] Result<bool> wait_until_gone(const std::vector<pid_t>& pids, const WaitLimits& limits);

// Whether the kernel's table shows volume `name` on top at `at` (asked of
// the table alone: a mount whose engine is down may not answer).
[[nodiscard]] bool shows_volume(std::string_view name, const std::filesystem::path& at);

// "123, 456": pids as a message names them.
[[nodiscard]] std::string pid_list(const std::vector<pid_t>& pids);

}  // namespace quarvo

#endif  // QUARVO_SERVICE_MOUNT_CHECKS_HPP_
