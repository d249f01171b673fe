#include "quarvo/service/in_mount.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstring>
#include <string>
#include <string_view>

#include "quarvo/core/file_io.hpp"
#include "quarvo/core/syscalls.hpp"
#include "quarvo/juicefs/child.hpp"

namespace quarvo {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr std::string_view kProbeContent = "quarvo";
// Deleting a probe that was given up on: at least a moment, at most this.
constexpr std::chrono::milliseconds kProbeCleanupGrace{250};
constexpr std::chrono::milliseconds kProbeCleanupBound{5000};
constexpr std::string_view kUnexpectedProbeData = "mount probe returned unexpected data";

// Flags for the files we create inside a mountpoint. O_NOFOLLOW: a planted
// symbolic link fails with ELOOP instead of redirecting the write. O_NONBLOCK:
// a planted FIFO without a reader fails with ENXIO instead of blocking.
constexpr int kCreateInMountpoint = O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;

// What a sequence of file operations came to. Plain data: a helper process
// hands it back through a pipe.
struct Outcome {
  int failed_step = -1;  // -1: every step succeeded
  int error = 0;         // the errno of the failed step
  long numbers[6] = {0, 0, 0, 0, 0, 0};
};

Outcome failed(int step, int error) { return Outcome{step, error, {0, 0, 0, 0, 0, 0}}; }

// The operations below use only system calls that are safe in a process
// forked from a threaded one: no allocation, no locks, no C++ runtime.

int open_retrying(const char* path, int flags, mode_t mode = 0) {
  int fd;
  while ((fd = ::open(path, flags, mode)) < 0 && errno == EINTR) {
  }
  return fd;
}

int write_fully(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return 0;
}

// Reads up to `size` bytes (fewer at the end of the file); -1 with errno.
ssize_t read_up_to(int fd, char* into, size_t size) {
  size_t got = 0;
  while (got < size) {
    const ssize_t n = ::read(fd, into + got, size - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(got);
}

// Steps: 0 write, 1 read back, 2 content, 3 delete.
Outcome probe_steps(const char* path) {
  const int out = open_retrying(path, kCreateInMountpoint, 0666);
  if (out < 0) return failed(0, errno);
  int err = write_fully(out, kProbeContent.data(), kProbeContent.size());
  // A file system may report a deferred write error only on close.
  if (::close(out) != 0 && err == 0) err = errno;
  if (err != 0) {
    ::unlink(path);
    return failed(0, err);
  }
  // A second open reads through the file system anew.
  const int in = open_retrying(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (in < 0) {
    err = errno;
    ::unlink(path);
    return failed(1, err);
  }
  // One byte more than expected: longer content is wrong too, and a planted
  // device such as /dev/zero would never end.
  char content[kProbeContent.size() + 1];
  const ssize_t n = read_up_to(in, content, sizeof content);
  err = n < 0 ? errno : 0;
  ::close(in);
  if (n < 0 || std::string_view(content, static_cast<size_t>(n)) != kProbeContent) {
    ::unlink(path);
    return failed(n < 0 ? 1 : 2, err);
  }
  if (::unlink(path) != 0) return failed(3, errno);
  return Outcome{};
}

// Steps: 0 create, 1 fsync, 2 delete.
Outcome marker_steps(const char* path) {
  const int fd = open_retrying(path, kCreateInMountpoint, 0666);
  if (fd < 0) return failed(0, errno);
  Outcome outcome;
  if (::fsync(fd) != 0) outcome = failed(1, errno);
  ::close(fd);
  if (::unlink(path) != 0 && outcome.failed_step < 0) outcome = failed(2, errno);
  return outcome;
}

// The number after `"KEY":` in `text`, or 0.
long json_number(std::string_view text, std::string_view quoted_key) {
  const size_t at = text.find(quoted_key);
  if (at == std::string_view::npos) return 0;
  size_t i = at + quoted_key.size();
  while (i < text.size() && (text[i] == ' ' || text[i] == ':')) ++i;
  long value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9' && value < (1L << 40); ++i)
    value = value * 10 + (text[i] - '0');
  return value;
}

// Steps: 0 read .config.
Outcome pid_steps(const char* path) {
  const int fd = open_retrying(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return failed(0, errno);
  char text[32 * 1024];
  const ssize_t n = read_up_to(fd, text, sizeof text);
  const int err = errno;
  ::close(fd);
  if (n < 0) return failed(0, err);
  const std::string_view config(text, static_cast<size_t>(n));
  Outcome outcome;
  outcome.numbers[0] = json_number(config, "\"Pid\"");
  outcome.numbers[1] = json_number(config, "\"PPid\"");
  return outcome;
}

// Steps: 0 read .stats, 1 the buffer counters.
Outcome stats_steps(const char* path) {
  const int fd = open_retrying(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return failed(0, errno);
  char text[64 * 1024];
  const ssize_t n = read_up_to(fd, text, sizeof text);
  const int err = errno;
  ::close(fd);
  if (n < 0) return failed(0, err);
  MountCounters counters;
  if (!parse_mount_counters(std::string_view(text, static_cast<size_t>(n)), counters)) return failed(1, EPROTO);
  Outcome outcome;
  outcome.numbers[0] = counters.write_buffer;
  outcome.numbers[1] = counters.staging_blocks;
  outcome.numbers[2] = counters.staging_bytes;
  outcome.numbers[3] = counters.uploading;
  outcome.numbers[4] = counters.commits;
  outcome.numbers[5] = counters.written;
  return outcome;
}

// The value of a .stats line as a whole number ("65536", "1.5e+06"); false
// for anything else.
bool counter_value(std::string_view text, std::int64_t& into) {
  double value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) return false;
  into = value >= 9.0e18 ? INT64_MAX : value <= -9.0e18 ? INT64_MIN : static_cast<std::int64_t>(value);
  return true;
}

// Forks a helper that runs `steps(path)` with every signal blocked and no
// descriptor of ours but its end of `result`, writes the Outcome there and
// exits. The pid; our copy of the helper's end is closed.
Result<pid_t> start_helper(Outcome (*steps)(const char*), const fs::path& path, int fds[2]) {
  UniqueFd result_end(fds[1]);
  // The helper starts with every signal blocked: no handler of this process
  // (the interpreter's) may run in it.
  sigset_t all, old;
  sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &old);
  const pid_t pid = ::fork();
  if (pid == 0) {
    // A helper stuck on a dead mount must hold nothing of ours, above all
    // not the registry lock.
    close_all_but(fds[1]);
    const Outcome outcome = steps(path.c_str());
    (void)!::write(fds[1], &outcome, sizeof outcome);
    ::_exit(0);
  }
  const int fork_error = errno;
  ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (pid < 0) return std::unexpected(QuarvoError::io_errno(fork_error));
  return pid;
}

// The helper's Outcome from `result`, waiting within `limits`; a helper
// given up on is killed and left to a reaper (if the kernel holds it in the
// file system a while longer, the reaper waits for it).
Result<Outcome> await_helper(pid_t pid, const UniqueFd& result, const WaitLimits& limits, const std::string& what) {
  for (;;) {
    if (limits.cancel().requested() || limits.deadline().passed()) {
      ::kill(pid, SIGKILL);
      reap_in_background(pid);
      if (limits.cancel().requested()) return std::unexpected(QuarvoError::interrupted());
      return std::unexpected(limits.timed_out(what));
    }
    auto wait = limits.deadline().left().value_or(kCancelPollInterval);
    if (limits.cancellable()) wait = std::min(wait, kCancelPollInterval);
    struct pollfd p = {result.get(), POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(wait.count())) <= 0) continue;  // EINTR or nothing yet
    Outcome outcome;
    const ssize_t n = read_up_to(result.get(), reinterpret_cast<char*>(&outcome), sizeof outcome);
    reap_in_background(pid);  // it exits right after writing
    if (n != static_cast<ssize_t>(sizeof outcome)) return std::unexpected(QuarvoError::io_errno(EPIPE));
    return outcome;
  }
}

// Runs `steps(path)` here when nothing can end the wait (no deadline, no
// cancel), else in a helper process that `limits` may abandon. `what` names
// the step for TimedOut.
Result<Outcome> perform(Outcome (*steps)(const char*), const fs::path& path, const WaitLimits& limits,
                        const std::string& what) {
  if (!limits.deadline().bounded() && !limits.cancellable()) return steps(path.c_str());
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return std::unexpected(QuarvoError::io_errno(errno));
  UniqueFd result(fds[0]);
  auto pid = start_helper(steps, path, fds);
  if (!pid) return std::unexpected(std::move(pid).error());
  return await_helper(*pid, result, limits, what);
}

// A file name of this call's own: "PREFIX-PID-N".
fs::path own_name(const fs::path& mountpoint, std::string_view prefix) {
  static std::atomic<unsigned long> calls{0};
  return mountpoint / (std::string(prefix) + "-" + std::to_string(::getpid()) + "-" + std::to_string(++calls));
}

// Steps: 0 delete.
Outcome unlink_steps(const char* path) { return ::unlink(path) == 0 || errno == ENOENT ? Outcome{} : failed(0, errno); }

}  // namespace

Result<void> probe_mount(const fs::path& mountpoint, const WaitLimits& limits) {
  const fs::path probe = own_name(mountpoint, ".quarvo-probe");
  auto outcome = perform(probe_steps, probe, limits, "the mount probe");
  if (!outcome) {
    // Given up while it waited (on an object store that is down, say): the
    // file may be there. Deleting it asks only the metadata, which may
    // still answer at once; what is left of the call's bound, but a moment
    // at least and never long, for one that does not. Not after Ctrl-C: the
    // user wants out.
    const bool interrupted = outcome.error().kind() == ErrorKind::Interrupted;
    const auto cleanup = std::clamp(limits.deadline().left().value_or(kProbeCleanupBound), kProbeCleanupGrace,
                                    interrupted ? kProbeCleanupGrace : kProbeCleanupBound);
    (void)perform(unlink_steps, probe, WaitLimits::within(cleanup, Cancel::never()), "deleting the mount probe");
    return std::unexpected(std::move(outcome).error());
  }
  switch (outcome->failed_step) {
    case -1:
      return {};
    case 2:
      return std::unexpected(QuarvoError::io(OsError::with_message(EIO, std::string(kUnexpectedProbeData))));
    default:
      return std::unexpected(QuarvoError::io_at_errno(probe, outcome->error));
  }
}

Result<void> write_flush_marker(const fs::path& mountpoint, const WaitLimits& limits) {
  const fs::path marker = own_name(mountpoint, ".quarvo-flush");
  auto outcome = perform(marker_steps, marker, limits, "the flush marker");
  if (!outcome) return std::unexpected(std::move(outcome).error());
  switch (outcome->failed_step) {
    case -1:
      return {};
    case 1:
      return std::unexpected(QuarvoError::io_errno(outcome->error));
    default:
      return std::unexpected(QuarvoError::io_at_errno(marker, outcome->error));
  }
}

bool parse_mount_counters(std::string_view text, MountCounters& into) {
  std::int64_t buffer = 0, read_buffer = 0;
  MountCounters found;
  // Each counter by its exact name.
  const struct {
    std::string_view name;
    std::int64_t* value;
  } wanted[] = {
      {"juicefs_used_buffer_size_bytes", &buffer},
      {"juicefs_used_read_buffer_size_bytes", &read_buffer},
      {"juicefs_staging_blocks", &found.staging_blocks},
      {"juicefs_staging_block_bytes", &found.staging_bytes},
      {"juicefs_object_request_uploading", &found.uploading},
      {"juicefs_meta_ops_total_Write", &found.commits},
      {"juicefs_fuse_written_size_bytes_sum", &found.written},
  };
  bool seen_buffer = false, valid = true;
  while (!text.empty()) {
    const size_t end = std::min(text.find('\n'), text.size());
    std::string_view line = text.substr(0, end);
    text.remove_prefix(std::min(end + 1, text.size()));
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const size_t space = line.find(' ');
    if (space == std::string_view::npos) continue;
    const std::string_view name = line.substr(0, space);
    for (const auto& counter : wanted) {
      if (name != counter.name) continue;
      valid = valid && counter_value(line.substr(space + 1), *counter.value);
      seen_buffer = seen_buffer || counter.value == &buffer;
    }
  }
  if (!seen_buffer || !valid) return false;
  found.write_buffer = buffer - read_buffer;
  into = found;
  return true;
}

Result<MountCounters> read_mount_counters(const fs::path& mountpoint, const WaitLimits& limits) {
  const fs::path stats = mountpoint / ".stats";
  auto outcome = perform(stats_steps, stats, limits, "reading the mount's .stats");
  if (!outcome) return std::unexpected(std::move(outcome).error());
  if (outcome->failed_step == 1) {
    return std::unexpected(QuarvoError::io_at(
        stats, OsError::with_message(EPROTO, "the storage backend does not show its write buffer there")));
  }
  if (outcome->failed_step >= 0) return std::unexpected(QuarvoError::io_at_errno(stats, outcome->error));
  const long* n = outcome->numbers;
  return MountCounters{n[0], n[1], n[2], n[3], n[4], n[5]};
}

std::vector<pid_t> MountPids::supervisor_first() const {
  std::vector<pid_t> pids;
  if (supervisor > 0) pids.push_back(supervisor);
  if (serving > 0 && serving != supervisor) pids.push_back(serving);
  return pids;
}

Result<MountPids> read_daemon_pids(const fs::path& mountpoint, const WaitLimits& limits) {
  const fs::path config = mountpoint / ".config";
  auto outcome = perform(pid_steps, config, limits, "reading the mount's .config");
  if (!outcome) return std::unexpected(std::move(outcome).error());
  if (outcome->failed_step >= 0) return std::unexpected(QuarvoError::io_at_errno(config, outcome->error));
  // Never this process: it may be what started a foreground mount.
  const auto pid_of = [](long n) { return n > 0 && n < (1L << 30) && n != ::getpid() ? static_cast<pid_t>(n) : 0; };
  return MountPids{pid_of(outcome->numbers[0]), pid_of(outcome->numbers[1])};
}

}  // namespace quarvo
