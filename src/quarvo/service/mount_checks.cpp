#include "quarvo/service/mount_checks.hpp"

#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <thread>

#include "quarvo/core/processes.hpp"
#include "quarvo/core/text.hpp"

namespace quarvo {
namespace fs = std::filesystem;

bool shows_volume(std::string_view name, const fs::path& at) {
  auto table = read_mount_table();
  const auto entry = table ? mount_at(*table, at) : std::nullopt;
  return entry && entry->source == volume_mount_source(name);
}

std::string pid_list(const std::vector<pid_t>& pids) {
  std::string text;
  for (const pid_t pid : pids) text += (text.empty() ? "" : ", ") + std::to_string(pid);
  return text;
}

MountCheck state_at(std::string_view name, const fs::path& mountpoint, const WaitLimits& limits) {
  return check_mounts({{std::string(name), mountpoint}}, limits.deadline().left_at_most(kAnswerBound)).front();
}

QuarvoError unanswered(const fs::path& mountpoint, const WaitLimits& asking) {
  return asking.timed_out("asking the mount at " + path_text(mountpoint));
}

Result<void> require_live_mount(std::string_view name, const fs::path& mountpoint, const WaitLimits& limits) {
  const WaitLimits asking = limits.capped(kAnswerBound);
  switch (state_at(name, mountpoint, asking).state) {
    case LiveState::Mounted:
      return {};
    case LiveState::Stale:
      return std::unexpected(QuarvoError::io_at_errno(mountpoint, ENOTCONN));
    case LiveState::Unresponsive:
      return std::unexpected(unanswered(mountpoint, asking));
    default:
      return std::unexpected(QuarvoError::volume_not_mounted(std::string(name)));
  }
}

Result<bool> wait_until_gone(const std::vector<pid_t>& pids, const WaitLimits& limits) {
  auto pause = std::chrono::milliseconds(5);
  for (;;) {
    if (std::all_of(pids.begin(), pids.end(), process_gone)) return true;
    if (limits.cancel().requested()) return std::unexpected(QuarvoError::interrupted());
    if (limits.deadline().passed()) return false;
    std::this_thread::sleep_for(std::min(pause, limits.deadline().left().value_or(pause)));
    pause = std::min(pause * 2, kCancelPollInterval);
  }
}

}  // namespace quarvo
