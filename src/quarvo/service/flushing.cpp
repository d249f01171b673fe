#include "quarvo/service/flushing.hpp"

#include <algorithm>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "quarvo/core/validation.hpp"
#include "quarvo/juicefs/command.hpp"
#include "quarvo/service/mount_checks.hpp"
#include "quarvo/service/mount_settings.hpp"
#include "quarvo/service/service.hpp"

namespace quarvo {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Between readings: short at first (a flush with nothing held is done at
// once), then at most this.
constexpr milliseconds kFirstPause{5};
constexpr milliseconds kLongestPause{50};

// Since when the client has been seen idle, and the reading it was first
// seen so at.
struct Quiet {
  Clock::time_point since;
  MountCounters first;
};

}  // namespace

Result<void> wait_until_written_out(std::string_view name, const fs::path& at, const CounterReader& read,
                                    const WaitLimits& limits) {
  const WaitLimits bounded = limits.or_within(kWrittenOutBound);
  const auto incomplete = [&](std::int64_t held) {
    return std::unexpected(QuarvoError::flush_incomplete(std::string(name), at, held, bounded.deadline().bound()));
  };
  std::int64_t held = 0;  // at the last reading that showed any
  bool answered = false;
  std::optional<Quiet> quiet;
  milliseconds pause = kFirstPause;
  for (;;) {
    auto counters = read(bounded);
    if (!counters) {
      // Readings that answered before one outlasted the bound: the client was
      // busy, not gone.
      if (answered && counters.error().kind() == ErrorKind::TimedOut) return incomplete(held);
      return std::unexpected(std::move(counters).error());
    }
    answered = true;
    const auto now = Clock::now();
    if (!counters->holds_nothing()) held = counters->write_buffer + counters->staging_bytes;
    if (!quiet || quiet->first.moved_by(*counters)) {
      quiet = Quiet{now, *counters};
    } else if (counters->staging_blocks <= 0 &&
               now - quiet->since >= (counters->write_buffer <= 0 ? kCommitSettle : kIdleSettle)) {
      return {};
    }
    if (bounded.cancel().requested()) return std::unexpected(QuarvoError::interrupted());
    if (bounded.deadline().passed()) return incomplete(held);
    std::this_thread::sleep_for(std::min(pause, bounded.deadline().left().value_or(pause)));
    pause = std::min(pause * 2, kLongestPause);
  }
}

Result<Notes> Quarvo::flush(std::string_view name, const Cancel& cancel) const {
  QUARVO_TRY(validate_volume_name(name));
  const WaitLimits limits = call_limits(cancel);
  auto volume = registry_.read(name);
  if (!volume) return std::unexpected(std::move(volume).error());
  Notes notes;
  // A step a killed call left is settled first, as by every call that acts
  // on the volume (intents.hpp); one under way is VolumeBusy.
  if (volume->intent) {
    auto lock = registry_.lock(limits);
    if (!lock) return std::unexpected(std::move(lock).error());
    volume = registry_.read(name);
    if (!volume) return std::unexpected(std::move(volume).error());
    auto kept = settle_intent(*volume, limits, notes);
    if (!kept) return std::unexpected(std::move(kept).error());
    if (!*kept) return std::unexpected(QuarvoError::volume_not_found(std::string(name)));
  }
  if (!volume->mountpoint) return std::unexpected(QuarvoError::volume_not_mounted(std::string(name)));
  const fs::path& mountpoint = *volume->mountpoint;
  QUARVO_TRY(require_live_mount(name, mountpoint, limits));
  // A read-only mount holds no writes, and takes no probe.
  if (mounted_read_only(mountpoint)) {
    notes.push_back("it is mounted read-only: there was nothing to flush");
    return notes;
  }
  QUARVO_TRY(probe_mount(mountpoint, limits));
  QUARVO_TRY(write_flush_marker(mountpoint, limits));
  const CounterReader read = [&](const WaitLimits& within) { return read_mount_counters(mountpoint, within); };
  QUARVO_TRY(wait_until_written_out(name, mountpoint, read, limits));
  // The system-wide sync is a best effort on top of the marker's fsync: a
  // machine without the program, or a sync that fails, does not fail a
  // flush; one that outlasts the bound or is interrupted does.
  if (auto synced = CommandSpec("sync").run(limits); !synced) {
    const ErrorKind kind = synced.error().kind();
    if (kind == ErrorKind::TimedOut || kind == ErrorKind::Interrupted)
      return std::unexpected(std::move(synced).error());
  }
  return notes;
}

}  // namespace quarvo
