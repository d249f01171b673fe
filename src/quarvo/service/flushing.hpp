// quarvo/service/flushing.hpp: what `flush` waits for after its marker.
//
// The marker's fsync reaches the marker alone: a file another program keeps
// open has its writes in the client's write buffer until the client uploads
// them (it does so for a slice not written to for a second, or five seconds
// old) and commits them to the metadata engine, so a daemon killed meanwhile
// loses them. The mount's counters (MountCounters, from its .stats) cover
// the whole mount, so the wait reads them until the client has been seen
// idle: nothing written, uploaded, staged or committed between readings, no
// upload under way, no block staged,
//   - for kCommitSettle, when the write buffer reads empty: whatever was
//     written before has been uploaded, and the commit that follows the
//     upload (the client frees a block's buffer first and commits it a
//     moment later: measured up to 10 ms on a loaded machine, and a kill in
//     that moment lost the write) has had time to land;
//   - for kIdleSettle, when it does not: what it holds may be data of a
//     file kept open, which the client uploads a second after its last
//     write (its flusher looks every 100 ms), or the block juicefs 1.4.2
//     keeps counted there once a large file has been written, which never
//     goes (measured: 4 MiB after writing 3 s, still there minutes later).
//
// Writes that never pause leave no such time: when the bound runs out the
// wait fails with FlushIncomplete, naming the bytes the client held at the
// last reading that showed any, rather than claim the data is safe.
//
//   QUARVO_TRY(write_flush_marker(at, limits));
//   QUARVO_TRY(wait_until_written_out(name, at, [&](const WaitLimits& l) { return read_mount_counters(at, l); },
//                                     limits));
#ifndef QUARVO_SERVICE_FLUSHING_HPP_
#define QUARVO_SERVICE_FLUSHING_HPP_

#include <chrono>
#include <filesystem>
#include <functional>
#include <string_view>

#include "quarvo/core/deadline.hpp"
#include "quarvo/core/error.hpp"
#include "quarvo/service/in_mount.hpp"

namespace quarvo {

// How long the client must be seen idle with an empty write buffer, and
// with one that is not.
inline constexpr std::chrono::milliseconds kCommitSettle{200};
inline constexpr std::chrono::milliseconds kIdleSettle{1500};
// How long the wait may take when the call has no bound of its own.
inline constexpr std::chrono::milliseconds kWrittenOutBound{60'000};

// Reads the mount's counters within the limits it is given.
using CounterReader = std::function<Result<MountCounters>(const WaitLimits&)>;

// Reads the counters of volume `name`'s mount at `at` until they show the
// client idle long enough (see above), within `limits` (or
// kWrittenOutBound when they have no deadline). FlushIncomplete when the
// bound runs out first (also when a reading outlasts it after others had
// answered); Interrupted on a cancel request; a first reading's own error
// as it is.
[[nodiscard]] Result<void> wait_until_written_out(std::string_view name, const std::filesystem::path& at,
                                                  const CounterReader& read, const WaitLimits& limits);

}  // namespace quarvo

#endif  // QUARVO_SERVICE_FLUSHING_HPP_
