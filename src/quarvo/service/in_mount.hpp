// quarvo/service/in_mount.hpp: the file operations the service does inside a
// mountpoint.
//
//   probe_mount          writes "quarvo" to MOUNTPOINT/.quarvo-probe-PID-N,
//                        reads it back and deletes it
//   write_flush_marker   creates MOUNTPOINT/.quarvo-flush-PID-N, fsyncs it
//                        and deletes it
//   read_daemon_pids     the "Pid" and "PPid" the backend shows in
//                        MOUNTPOINT/.config: the processes serving the mount
//   read_mount_counters  what MOUNTPOINT/.stats says the client holds that
//                        is not yet written out (see MountCounters)
//
// Each name carries the process id and a counter of this process, so calls
// of several threads or processes never meet. Files are created with
// O_NOFOLLOW and O_NONBLOCK: a symbolic link planted under the name fails
// the call instead of redirecting the write, a FIFO fails instead of
// blocking. Nothing is left behind on any path that created the file.
//
// On a mount whose daemon is stopped these calls block, and a thread blocked
// there cannot be freed. So under a deadline or a cancel each runs in a
// helper process of its own (plain system calls only, no descriptor of ours
// but its result pipe), which at the deadline or on a cancel request is
// killed and left to a reaper: TimedOut or Interrupted. Given neither
// (WaitLimits::unbounded(Cancel::never())) they run on the calling thread.
// A probe given up on is deleted afterwards within what is left of the
// deadline (at least a quarter second, at most 5 s; after a cancel request
// a quarter second).
#ifndef QUARVO_SERVICE_IN_MOUNT_HPP_
#define QUARVO_SERVICE_IN_MOUNT_HPP_

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string_view>
#include <vector>

#include "quarvo/core/deadline.hpp"
#include "quarvo/core/error.hpp"

namespace quarvo {

// IoAt at the probe path when it cannot be written, read or deleted; Io
// "mount probe returned unexpected data" when the content differs.
[[nodiscard]] Result<void> probe_mount(const std::filesystem::path& mountpoint, const WaitLimits& limits);

// IoAt at the marker path when it cannot be created or deleted; Io when the
// fsync fails.
[[nodiscard]] Result<void> write_flush_marker(const std::filesystem::path& mountpoint, const WaitLimits& limits);

// The processes a mount's .config names: 0 where it names none (or names
// this process, which may have started a foreground mount).
struct MountPids {
  pid_t serving = 0;     // "Pid"
  pid_t supervisor = 0;  // "PPid": restarts a killed serving process
  // Those named, the supervisor first: the order to end them in.
  [[nodiscard]] std::vector<pid_t> supervisor_first() const;
};

// IoAt at .config when it cannot be read.
[[nodiscard]] Result<MountPids> read_daemon_pids(const std::filesystem::path& mountpoint, const WaitLimits& limits);

// MountCounters: the lines of a mount's .stats ("name value", one a line)
// that say whether its client still holds written data, for the whole
// mount:
//   write_buffer    juicefs_used_buffer_size_bytes minus
//                   juicefs_used_read_buffer_size_bytes: memory of the
//                   writes (not all of it unwritten data: once a file of a
//                   block or more has been written, juicefs 1.4.2 keeps one
//                   block, 4 MiB, counted there for as long as it runs);
//   staging_blocks  juicefs_staging_blocks: blocks kept on local disk for a
//                   later upload (a writeback mount), of staging_bytes
//                   (juicefs_staging_block_bytes);
//   uploading       juicefs_object_request_uploading: uploads under way;
//   commits         juicefs_meta_ops_total_Write: slices committed to the
//                   metadata engine so far (the client frees an uploaded
//                   block's buffer first and commits it a moment after);
//   written         juicefs_fuse_written_size_bytes_sum: bytes programs
//                   have written to the mount so far.
struct MountCounters {
  std::int64_t write_buffer = 0;
  std::int64_t staging_blocks = 0;
  std::int64_t staging_bytes = 0;
  std::int64_t uploading = 0;
  std::int64_t commits = 0;
  std::int64_t written = 0;

  [[nodiscard]] bool holds_nothing() const { return write_buffer <= 0 && staging_blocks <= 0; }
  // Whether `later` shows the client at work since this reading: data
  // written, uploaded, staged or committed meanwhile, or an upload under way.
  [[nodiscard]] bool moved_by(const MountCounters& later) const {
    return later.write_buffer != write_buffer || later.staging_blocks != staging_blocks || later.commits != commits ||
           later.written != written || uploading > 0 || later.uploading > 0;
  }
};

// The counters in a .stats text. False when the write buffer's counter is
// missing, or any of them is not a number (a client that does not show its
// buffers cannot be waited for); a missing other counter reads as 0 (the
// client shows some only once they have counted something). Allocates
// nothing: it runs in the helper.
[[nodiscard]] bool parse_mount_counters(std::string_view text, MountCounters& into);

// The counters of the mount at `mountpoint`; IoAt at .stats when it cannot
// be read or does not show the buffer counters.
[[nodiscard]] Result<MountCounters> read_mount_counters(const std::filesystem::path& mountpoint,
                                                        const WaitLimits& limits);

}  // namespace quarvo

#endif  // QUARVO_SERVICE_IN_MOUNT_HPP_
