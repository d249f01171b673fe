// The volume service's unmounts: unmount (run on this volume's own mount
// only), and the detaching and tearing down that mount and removal share.
#include <signal.h>
#include <sys/mount.h>

#include <cerrno>
#include <string>
#include <utility>

#include "quarvo/core/mount_table.hpp"
#include "quarvo/core/text.hpp"
#include "quarvo/core/time.hpp"
#include "quarvo/core/validation.hpp"
#include "quarvo/service/daemons.hpp"
#include "quarvo/service/in_mount.hpp"
#include "quarvo/service/intents.hpp"
#include "quarvo/service/mount_checks.hpp"
#include "quarvo/service/service.hpp"
#include "quarvo/service/step_points.hpp"

namespace quarvo {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

// How long a daemon we signalled while taking a mount down has to go.
constexpr milliseconds kTeardownExitBound{2'000};
// How long a forced unmount leaves the backend before the kernel detaches
// the mount.
constexpr milliseconds kForcedBackendBound{10'000};

}  // namespace

Result<void> Quarvo::detach(const fs::path& mountpoint, const WaitLimits& limits) const {
  auto out = juicefs_.unmount(mountpoint, /*force=*/true, /*flush=*/false, limits.or_within(kTeardownBound));
  auto table = read_mount_table();
  const auto entry = table ? mount_at(*table, mountpoint) : std::nullopt;
  if (!entry || !is_volume_mount_source(entry->source)) return {};
  // The backend could not: the kernel's lazy detach, where we may.
  if (::umount2(mountpoint.c_str(), MNT_DETACH) == 0) return {};
  if (!out) return std::unexpected(std::move(out).error());
  return std::unexpected(QuarvoError::io_at_errno(mountpoint, errno));
}

void Quarvo::tear_down(const fs::path& mountpoint, pid_t daemon_group) const {
  auto table = read_mount_table();
  const auto entry = table ? mount_at(*table, mountpoint) : std::nullopt;
  if (!entry || !is_volume_mount_source(entry->source)) return;
  // Bounds of its own, and no cancel: it runs on an error path, often after
  // the call's deadline, and must not leave a mount behind.
  // The daemon's ids before the mount goes, bounded: it may be stuck.
  auto read = read_daemon_pids(mountpoint, WaitLimits::within(kAnswerBound, Cancel::never()));
  (void)detach(mountpoint, WaitLimits::within(timeout_.value_or(kTeardownBound), Cancel::never()));
  // The supervisor first (the process this call started leads the group):
  // ended after its serving process, it would start another.
  std::vector<pid_t> pids;
  if (daemon_group > 0) pids.push_back(daemon_group);
  for (const pid_t pid : read ? read->supervisor_first() : std::vector<pid_t>{}) {
    if (pid != daemon_group) pids.push_back(pid);
  }
  if (!end_daemons(pids, kTeardownExitBound) && daemon_group > 0) ::kill(-daemon_group, SIGKILL);
}

Result<Notes> Quarvo::unmount(std::string_view name, bool force, const Cancel& cancel) const {
  return unmount_within(name, force, call_limits(cancel));
}

Result<Notes> Quarvo::unmount_within(std::string_view name, bool force, const WaitLimits& limits) const {
  QUARVO_TRY(validate_volume_name(name));
  auto lock = registry_.lock(limits);
  if (!lock) return std::unexpected(std::move(lock).error());
  auto volume = registry_.read(name);
  if (!volume) return std::unexpected(std::move(volume).error());
  Notes notes;
  auto kept = settle_intent(*volume, limits, notes);
  if (!kept) return std::unexpected(std::move(kept).error());
  if (!*kept) return std::unexpected(QuarvoError::volume_not_found(std::string(name)));
  if (!volume->mountpoint) {
    // An interrupted unmount it has just finished is this call's work done.
    if (!notes.empty()) return notes;
    return std::unexpected(QuarvoError::volume_not_mounted(std::string(name)));
  }
  const fs::path at = *volume->mountpoint;
  // Written ahead, so that a call killed half-way is finished by the next.
  volume->intent = begin_intent(kUnmountStep, at);  // updated_at stays until it is done
  QUARVO_TRY(registry_.write(*volume));
  reach("unmount:intent");

  auto after_clearing = unmount_at(*volume, at, force, limits, notes);
  if (!after_clearing) {
    // Nothing was done that the record must show: it stays as it was.
    volume->intent.reset();
    (void)registry_.write(*volume);
    return std::unexpected(std::move(after_clearing).error());
  }
  reach("unmount:detached");
  volume->mountpoint.reset();
  volume->daemon_pid.reset();
  volume->supervisor_pid.reset();
  volume->intent.reset();
  volume->updated_at = now_rfc3339();
  QUARVO_TRY(registry_.write(*volume));
  if (*after_clearing) return std::unexpected(std::move(**after_clearing));
  return notes;
}

Result<std::optional<QuarvoError>> Quarvo::unmount_at(const Volume& volume, const fs::path& at, bool force,
                                                      const WaitLimits& limits, Notes& notes) const {
  const std::string where = path_text(at);
  const WaitLimits asking = limits.capped(kAnswerBound);
  const MountCheck check = state_at(volume.name, at, asking);
  switch (check.state) {
    case LiveState::Mounted:
      return unmount_served(volume, at, force, limits, notes);
    case LiveState::Stale:
      QUARVO_TRY(detach(at, limits));
      notes.push_back("its mount at " + where + " had lost its daemon; unmounted it");
      break;
    case LiveState::Unresponsive:
      if (!force) return std::unexpected(unanswered(at, asking));
      // The backend's unmount would wait on it too: the kernel at once.
      QUARVO_TRY(detach_by_kernel(volume, at, {}, "its mount at " + where + " did not answer", notes));
      break;
    case LiveState::Foreign:
      notes.push_back(check.found_source + " is mounted at " + where + ", not this volume: left alone");
      break;
    default:
      notes.push_back("it was already unmounted: nothing is mounted at " + where);
      break;
  }
  return std::nullopt;
}

std::vector<pid_t> Quarvo::daemons_at(const Volume& volume, const fs::path& at, const WaitLimits& limits) const {
  auto read = read_daemon_pids(at, limits.capped(kAnswerBound));
  if (read) return read->supervisor_first();
  // The mount cannot say (its engine is down, say): the volume's processes
  // that mount there, as their arguments show.
  std::vector<pid_t> pids;
  for (const VolumeDaemon& d : volume_daemons(volume, volume_logs(home_, volume.name))) {
    // A command line cut short names no mountpoint: one daemon per volume.
    if (d.mountpoint == at || d.mountpoint.empty()) pids.push_back(d.pid);
  }
  return pids;
}

Result<void> Quarvo::detach_by_kernel(const Volume& volume, const fs::path& at, std::vector<pid_t> pids,
                                      const std::string& why, Notes& notes) const {
  auto table = read_mount_table();
  const auto entry = table ? mount_at(*table, at) : std::nullopt;
  const bool ours = entry && entry->source == volume_mount_source(volume.name);
  if (pids.empty()) pids = daemons_at(volume, at, WaitLimits::within(kAnswerBound, Cancel::never()));
  if (ours && ::umount2(at.c_str(), MNT_DETACH) != 0) return std::unexpected(QuarvoError::io_at_errno(at, errno));
  bool ended = end_daemons(pids, kTeardownExitBound);
  // A daemon waiting in the kernel (state D) outlives SIGKILL until its
  // connection is aborted.
  bool aborted = false;
  if (!ended && ours && abort_fuse_connection(entry->device)) {
    aborted = true;
    ended = end_daemons(pids, kTeardownExitBound);
  }
  std::string note = why + "; detached " + path_text(at) + " through the kernel";
  if (aborted) note += ", aborted its FUSE connection";
  if (!pids.empty()) {
    note += ended ? " and ended its daemon (pid " + pid_list(pids) + ")"
                  : "; its daemon (pid " + pid_list(pids) + ") would not end";
  }
  notes.push_back(std::move(note) + "; writes it had not yet sent to the object store may be lost");
  return {};
}

Result<std::optional<QuarvoError>> Quarvo::unmount_served(const Volume& volume, const fs::path& at, bool force,
                                                          const WaitLimits& limits, Notes& notes) const {
  // The daemon's ids, read before the mount goes, to wait for them after.
  const std::vector<pid_t> pids = daemons_at(volume, at, limits);
  if (limits.cancel().requested()) return std::unexpected(QuarvoError::interrupted());
  // Forced, the backend's unmount has a bound of its own: with its engine
  // down it waits on the engine (measured: over 40 s), and the kernel is
  // the way out.
  const WaitLimits backend = force ? limits.capped(kForcedBackendBound) : limits;
  if (auto out = juicefs_.unmount(at, force, /*flush=*/true, backend); !out) {
    const ErrorKind kind = out.error().kind();
    // Asked by the table alone: a mount whose engine is down may not answer.
    if (force && kind != ErrorKind::Interrupted && shows_volume(volume.name, at)) {
      const QuarvoError& e = out.error();
      const std::string why =
          "the storage backend could not unmount it (" + (e.reason().empty() ? e.message() : e.reason()) + ")";
      QUARVO_TRY(detach_by_kernel(volume, at, pids, why, notes));
      return std::nullopt;
    }
    if (kind == ErrorKind::Interrupted || (kind == ErrorKind::TimedOut && !force) ||
        state_at(volume.name, at, limits).state == LiveState::Mounted) {
      return std::unexpected(std::move(out).error());
    }
  }
  if (pids.empty()) return std::nullopt;
  // After a forced unmount the daemon also waits for files still open under
  // the detached mount, which may be never: a shorter wait.
  const WaitLimits exiting = limits.capped(force ? kForcedDaemonExitBound : kDaemonExitBound);
  auto gone = wait_until_gone(pids, exiting);
  if (!gone) return std::optional(std::move(gone).error());
  if (!*gone) {
    notes.push_back("the daemon of " + path_text(at) + " (pid " + pid_list(pids) + ") still runs after " +
                    seconds_text(exiting.deadline().bound()) + " s" +
                    (force ? ", held by files still open under it" : "") +
                    "; its last writes may not be on the object store yet");
  }
  return std::nullopt;
}

}  // namespace quarvo
