// Intents written ahead of the steps that change the kernel or the disk,
// and the settling of those a killed call left behind (see intents.hpp).
#include "quarvo/service/intents.hpp"

#include <sys/mount.h>

#include <algorithm>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "quarvo/core/mount_table.hpp"
#include "quarvo/core/processes.hpp"
#include "quarvo/core/text.hpp"
#include "quarvo/core/time.hpp"
#include "quarvo/service/daemons.hpp"
#include "quarvo/service/in_mount.hpp"
#include "quarvo/service/mount_checks.hpp"
#include "quarvo/service/mount_settings.hpp"
#include "quarvo/service/private_mount.hpp"
#include "quarvo/service/service.hpp"

namespace quarvo {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

// How long daemons ended while settling have to go.
constexpr milliseconds kSettleExitBound{2'000};
// How often, and how far apart, an undone mount looks again for a daemon.
constexpr int kStartingLooks = 5;
constexpr milliseconds kStartingLookInterval{100};

void forget_mount(Volume& volume, const fs::path& at) {
  if (volume.mountpoint != at) return;
  volume.mountpoint.reset();
  volume.daemon_pid.reset();
  volume.supervisor_pid.reset();
}

}  // namespace

VolumeIntent begin_intent(std::string_view step, std::optional<fs::path> mountpoint) {
  return VolumeIntent{std::string(step), std::move(mountpoint), own_owner(), now_rfc3339()};
}

bool intent_live(const VolumeIntent& intent) { return owner_alive(intent.owner); }

std::string_view intent_state_word(const VolumeIntent& intent, bool live) {
  if (!live) return "interrupted";
  if (intent.step == kMountStep) return "mounting";
  if (intent.step == kUnmountStep) return "unmounting";
  if (intent.step == kInitStep) return "creating";
  return intent.step;
}

QuarvoError busy_with(const Volume& volume) {
  const VolumeIntent& intent = *volume.intent;
  const auto pid = owner_pid(intent.owner);
  std::string detail = "process " + (pid ? std::to_string(*pid) : intent.owner) + " is at its " + intent.step;
  if (intent.mountpoint) detail += " at " + path_text(*intent.mountpoint);
  if (!intent.since.empty()) detail += " (since " + intent.since + ")";
  return QuarvoError::volume_busy(volume.name, std::move(detail));
}

std::vector<pid_t> Quarvo::daemons_mounting(const Volume& volume, const fs::path& at) const {
  // A daemon holds the volume's log from its first instruction on: it is
  // started with the log as its output (measured: the mount appears
  // 0.14-0.29 s after the start). Supervisors come first.
  std::vector<pid_t> pids;
  for (const VolumeDaemon& d : volume_daemons(volume, volume_logs(home_, volume.name))) {
    if (d.mountpoint == at || d.mountpoint.empty()) pids.push_back(d.pid);
  }
  return pids;
}

Result<bool> Quarvo::settle_intent(Volume& volume, const WaitLimits& limits, Notes& notes) const {
  if (!volume.intent) return true;
  const VolumeIntent intent = *volume.intent;
  if (intent_live(intent)) return std::unexpected(busy_with(volume));
  if (intent.step == kInitStep) {
    QUARVO_TRY(undo_init(volume));
    notes.push_back("its creation was interrupted" + (intent.since.empty() ? "" : " (at " + intent.since + ")") +
                    "; removed what it had made");
    return false;
  }
  if (intent.step == kMountStep && intent.mountpoint) {
    QUARVO_TRY(settle_mount(volume, *intent.mountpoint, limits, notes));
  } else if (intent.step == kUnmountStep && intent.mountpoint) {
    QUARVO_TRY(settle_unmount(volume, *intent.mountpoint, limits, notes));
  } else {
    notes.push_back("cleared the record of an interrupted " + intent.step);
  }
  volume.intent.reset();
  volume.updated_at = now_rfc3339();
  QUARVO_TRY(registry_.write(volume));
  return true;
}

Result<void> Quarvo::settle_mount(Volume& volume, const fs::path& at, const WaitLimits& limits, Notes& notes) const {
  const std::string where = path_text(at);
  // Mounted and answering: what the interrupted call wanted, so it stays,
  // made private as that call would have made it.
  if (state_at(volume.name, at, limits.capped(kAnswerBound)).state == LiveState::Mounted &&
      (mounted_read_only(at) || make_root_private(volume, at))) {
    if (auto pids = read_daemon_pids(at, limits.capped(kAnswerBound))) {
      volume.daemon_pid = pids->serving > 0 ? std::optional<std::int64_t>(pids->serving) : std::nullopt;
      volume.supervisor_pid = pids->supervisor > 0 ? std::optional<std::int64_t>(pids->supervisor) : std::nullopt;
    }
    remember_cache_dirs(volume, at);
    volume.mountpoint = at;
    notes.push_back("an interrupted mount had mounted it at " + where + "; kept that mount");
    return {};
  }
  // Anything else it started goes.
  // A daemon the killed call had just started may not show in /proc for a
  // moment (seen about once in twenty: missed by every look at once, there
  // a moment later): a few more looks before nothing counts as nothing.
  std::vector<pid_t> pids = daemons_mounting(volume, at);
  for (int look = 0; look < kStartingLooks && pids.empty(); ++look) {
    std::this_thread::sleep_for(kStartingLookInterval);
    pids = daemons_mounting(volume, at);
  }
  const std::string why = "an interrupted mount had left it at " + where;
  if (shows_volume(volume.name, at)) {
    QUARVO_TRY(detach_by_kernel(volume, at, pids, why, notes));
  } else {
    const bool ended = end_daemons(pids, kSettleExitBound);
    // A daemon that mounted while it was being ended leaves a dead mount.
    if (shows_volume(volume.name, at) && ::umount2(at.c_str(), MNT_DETACH) != 0) {
      return std::unexpected(QuarvoError::io_at_errno(at, errno));
    }
    if (!ended) {
      return std::unexpected(QuarvoError::volume_busy(
          volume.name, "the daemon an interrupted mount started (pid " + pid_list(pids) + ") would not end"));
    }
    notes.push_back("undid an interrupted mount at " + where +
                    (pids.empty() ? std::string() : " (ended its daemon, pid " + pid_list(pids) + ")"));
  }
  forget_mount(volume, at);
  return {};
}

Result<void> Quarvo::settle_unmount(Volume& volume, const fs::path& at, const WaitLimits& limits, Notes& notes) const {
  const std::string where = path_text(at);
  switch (state_at(volume.name, at, limits.capped(kAnswerBound)).state) {
    case LiveState::Mounted: {
      auto served = unmount_served(volume, at, /*force=*/true, limits, notes);
      if (!served) return std::unexpected(std::move(served).error());
      break;
    }
    case LiveState::Stale:
      QUARVO_TRY(detach(at, limits));
      break;
    case LiveState::Unresponsive:
      QUARVO_TRY(detach_by_kernel(volume, at, {}, "an interrupted unmount had left it at " + where, notes));
      break;
    default:
      break;
  }
  // Its daemons have done their work once the mount is gone: the time they
  // take to send the last writes out, then they are ended.
  const std::vector<pid_t> pids = daemons_mounting(volume, at);
  if (!pids.empty()) {
    auto gone = wait_until_gone(pids, limits.capped(kForcedDaemonExitBound));
    if (!gone) return std::unexpected(std::move(gone).error());
    if (!*gone && !end_daemons(pids, kSettleExitBound)) {
      return std::unexpected(QuarvoError::volume_busy(
          volume.name, "the daemon of its interrupted unmount (pid " + pid_list(pids) + ") would not end"));
    }
  }
  notes.push_back("finished an interrupted unmount of " + where);
  forget_mount(volume, at);
  return {};
}

Result<void> Quarvo::undo_init(const Volume& volume) const {
  // The data first: a record left by a kill in between is settled again.
  if (volume.dev) {
    std::error_code ec;
    fs::remove_all(home_.dev_paths(volume.name).directory, ec);
    if (ec) return std::unexpected(QuarvoError::io_at_errno(home_.dev_paths(volume.name).directory, ec.value()));
  }
  return registry_.remove(volume.name);
}

void Quarvo::drop_mount_intent(std::string_view name, const VolumeIntent& intent) const {
  auto lock = registry_.lock(WaitLimits::within(kTeardownBound, Cancel::never()));
  if (!lock) return;
  auto now = registry_.read(name);
  if (!now || now->intent != intent) return;
  now->intent.reset();  // as it was before the mount began
  (void)registry_.write(*now);
}

Result<std::vector<SettledVolume>> Quarvo::settle_interrupted(const Cancel& cancel) const {
  const WaitLimits limits = call_limits(cancel);
  auto lock = registry_.lock(limits);
  if (!lock) return std::unexpected(std::move(lock).error());
  // A record that cannot be read is passed over: it has nothing to settle by.
  std::vector<Volume> interrupted;
  QUARVO_TRY(registry_.visit_each([&](std::string_view, const Volume* volume, const QuarvoError*) {
    if (volume != nullptr && volume->intent && !intent_live(*volume->intent)) interrupted.push_back(*volume);
  }));
  std::vector<SettledVolume> settled;
  for (Volume& volume : interrupted) {
    SettledVolume done{volume.name, volume.intent->step, Notes{}};
    auto kept = settle_intent(volume, limits, *done.outcome);
    if (!kept) done.outcome = std::unexpected(std::move(kept).error());
    if (!done.outcome && done.outcome.error().kind() == ErrorKind::Interrupted) {
      return std::unexpected(std::move(done.outcome).error());
    }
    settled.push_back(std::move(done));
  }
  return settled;
}

}  // namespace quarvo
