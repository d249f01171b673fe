// The volume service's mounts: mount (background and foreground), unmount
// and mount_all, all checked against the kernel's mount table.
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <utility>

#include "quarvo/core/file_io.hpp"
#include "quarvo/core/text.hpp"
#include "quarvo/core/time.hpp"
#include "quarvo/core/validation.hpp"
#include "quarvo/service/in_mount.hpp"
#include "quarvo/service/lifecycle.hpp"
#include "quarvo/service/mount_checks.hpp"
#include "quarvo/service/service.hpp"

namespace quarvo {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

// How often a starting mount is looked for in the mount table.
constexpr milliseconds kReadyInterval{5};
// How long a mount may take to become ready when the user set no bound: the
// backend's own "-d" gives up after 10 s, an object store check may take longer.
constexpr milliseconds kReadyBound{60'000};
// How long an unmounted daemon has to exit, and how long taking down a
// mount may take, when the user set no bound of their own.
constexpr milliseconds kDaemonExitBound{30'000};
// After a forced unmount the daemon also waits for files still open under the
// detached mount, which may be never: a shorter wait.
constexpr milliseconds kForcedDaemonExitBound{5'000};
constexpr milliseconds kTeardownBound{30'000};

// The path to mount at: absolute, its parent resolved (and created), a leaf
// that is a symbolic link followed, since the kernel mounts at its target.
// The leaf itself is made unless the table shows a mount there: a dead
// mount would fail every question asked of it.
Result<fs::path> prepare_mountpoint(const fs::path& requested) {
  // The system takes paths as C strings: a NUL byte would cut the path short
  // and have us create and mount a directory other than the one asked for.
  if (requested.empty()) return std::unexpected(QuarvoError::invalid_argument("the mountpoint path is empty"));
  if (requested.native().find('\0') != std::string::npos) {
    return std::unexpected(QuarvoError::invalid_argument(
        "the mountpoint path " + escape_unprintable(requested.native()) + " contains a NUL byte", requested));
  }
  fs::path absolute = requested;
  if (!absolute.is_absolute()) {
    std::error_code ec;
    absolute = fs::current_path(ec) / requested;
    if (ec) return std::unexpected(QuarvoError::io_errno(ec.value()));
  }
  if (int err = quarvo::create_directories(absolute.parent_path())) {
    return std::unexpected(QuarvoError::io_at_errno(requested, err));
  }
  auto mountpoint = canonical_mountpoint(absolute);
  if (!mountpoint) return std::unexpected(std::move(mountpoint).error());
  auto table = read_mount_table();
  if (table && mount_at(*table, *mountpoint)) return mountpoint;

  struct stat st{};
  if (::lstat(mountpoint->c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    char target[PATH_MAX];
    if (::realpath(mountpoint->c_str(), target) == nullptr) {
      return std::unexpected(QuarvoError::io_at_errno(requested, errno));
    }
    mountpoint = fs::path(target);
    if (table && mount_at(*table, *mountpoint)) return mountpoint;
  }
  if (::stat(mountpoint->c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) {
    return std::unexpected(QuarvoError::mountpoint_not_directory(requested));
  }
  if (int err = quarvo::create_directories(*mountpoint)) {
    return std::unexpected(QuarvoError::io_at_errno(requested, err));
  }
  return mountpoint;
}

// What the table shows at a mountpoint where the volume was expected, for
// an error or a note.
std::string found_there(const MountCheck& check) {
  switch (check.state) {
    case LiveState::Foreign:
      return check.found_source + " is mounted there";
    case LiveState::Stale:
      return "its mount there lost its daemon";
    case LiveState::Unresponsive:
      return "its mount there does not answer";
    default:
      return "nothing is mounted there";
  }
}

// The size of the log before the backend starts writing to it.
off_t log_size(const fs::path& log) {
  struct stat st{};
  return ::stat(log.c_str(), &st) == 0 ? st.st_size : 0;
}

// What the backend wrote to its log from `from` on (its last 64 KiB): what
// a daemon that failed had to say.
std::string log_since(const fs::path& log, off_t from) {
  constexpr off_t kKept = 64 * 1024;
  auto fd = open_fd(log, O_RDONLY | O_NONBLOCK);
  if (!fd) return {};
  struct stat st{};
  if (::fstat(fd->get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= from) return {};
  const off_t start = std::max(from, st.st_size - kKept);
  std::string text(static_cast<size_t>(st.st_size - start), '\0');
  const ssize_t n = ::pread(fd->get(), text.data(), text.size(), start);
  text.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return lossy_utf8(std::move(text));
}

std::string pid_list(const std::vector<pid_t>& pids) {
  std::string text;
  for (const pid_t pid : pids) text += (text.empty() ? "" : ", ") + std::to_string(pid);
  return text;
}

}  // namespace

Result<MountedVolume> Quarvo::mount(const MountVolume& request, const Cancel& cancel) const {
  QUARVO_TRY(validate_volume_name(request.name));
  QUARVO_TRY(require_mount_support());
  // A volume that does not exist gets no directory made for it (the record
  // is read again under the lock).
  QUARVO_TRY(registry_.read(request.name));
  auto mountpoint = prepare_mountpoint(request.path);
  if (!mountpoint) return std::unexpected(std::move(mountpoint).error());
  const fs::path& at = *mountpoint;

  auto lock = registry_.lock(cancel);
  if (!lock) return std::unexpected(std::move(lock).error());
  auto volume = registry_.read(request.name);
  if (!volume) return std::unexpected(std::move(volume).error());
  const std::string& name = volume->name;
  Notes notes;

  // Mounted elsewhere: live, it stays the one mount; dead, it is cleared.
  if (volume->mountpoint && *volume->mountpoint != at) {
    const fs::path& recorded = *volume->mountpoint;
    const MountCheck there = state_at(name, recorded);
    if (is_served(there.state)) {
      return std::unexpected(QuarvoError::volume_mounted(name, recorded));
    }
    if (there.state == LiveState::Stale) {
      QUARVO_TRY(detach(recorded));
      notes.push_back("its mount at " + path_text(recorded) + " had lost its daemon; unmounted it");
    }
  }

  const MountCheck here = state_at(name, at);
  switch (here.state) {
    case LiveState::Mounted:
      // Already served here: that mount, at once, foreground or not.
      if (volume->mountpoint != at) {
        volume->mountpoint = at;
        volume->updated_at = now_rfc3339();
        QUARVO_TRY(registry_.write(*volume));
      }
      notes.push_back("it was already mounted at " + path_text(at));
      return MountedVolume{name, at, std::move(notes)};
    case LiveState::Unresponsive:
      return std::unexpected(QuarvoError::mount_failed(name, at, found_there(here)));
    case LiveState::Stale:
      QUARVO_TRY(detach(at));
      notes.push_back("its mount at " + path_text(at) + " had lost its daemon; unmounted it and mounted it again");
      break;
    case LiveState::Foreign:
      // Another volume's mount: stacking on it would leave two volumes
      // claiming one path. Any other file system may be mounted over.
      if (is_volume_mount_source(here.found_source)) {
        return std::unexpected(QuarvoError::mount_failed(name, at, found_there(here)));
      }
      break;
    default:
      if (volume->mountpoint == at) {
        notes.push_back("it was recorded at " + path_text(at) +
                        ", where nothing was mounted any more; mounted it again");
      }
      break;
  }
  MountVolume resolved = request;
  resolved.path = at;
  return mount_locked(std::move(*volume), resolved, std::move(*lock), std::move(notes), cancel);
}

Result<MountedVolume> Quarvo::mount_locked(Volume volume, const MountVolume& request, RegistryLock lock, Notes notes,
                                           const Cancel& cancel) const {
  const fs::path& at = request.path;
  const std::string& name = volume.name;
  QUARVO_TRY(rotate_volume_log(home_, name));
  const fs::path log_path = home_.volume_log_path(name);
  const off_t log_start = log_size(log_path);
  auto child = juicefs_.start_mount(volume, request, log_path);
  if (!child) return std::unexpected(std::move(child).error());

  // Ready: the table shows this volume at the mountpoint and its root
  // answers. Another volume's mount appearing there decides too: the
  // backend mounted what its metadata engine holds, not this volume.
  MountCheck seen{LiveState::NotMounted, {}};
  const auto decided = [&] {
    seen = state_at(name, at);
    return seen.state == LiveState::Mounted ||
           (seen.state == LiveState::Foreign && is_volume_mount_source(seen.found_source));
  };
  WaitLimits bounded = limits(cancel);
  if (!bounded.timeout) bounded.timeout = kReadyBound;
  auto waited = child->wait_until(decided, kReadyInterval, bounded);
  if (waited && !*waited && seen.state == LiveState::Foreign) {
    child->terminate();
    tear_down(at);
    return std::unexpected(
        QuarvoError::mount_failed(name, at, "the storage backend mounted " + seen.found_source + " there"));
  }
  if (!waited) {
    // Ended at the deadline or on request: its daemon may have mounted.
    tear_down(at);
    return std::unexpected(std::move(waited).error());
  }
  if (*waited) {
    const int status = **waited;
    const MountCheck after = state_at(name, at);
    if (status != 0 || after.state != LiveState::Mounted || request.foreground) {
      tear_down(at);
      if (status != 0) {
        CommandOutput said;
        if (!request.foreground) said.stderr_text = log_since(log_path, log_start);
        return std::unexpected(juicefs_.mount_failure(volume, request, log_path, status, std::move(said)));
      }
      if (after.state == LiveState::Mounted) {
        return std::unexpected(QuarvoError::mount_failed(name, at, "the storage backend ended before it was ready"));
      }
      return std::unexpected(
          QuarvoError::mount_failed(name, at, "the storage backend returned, but " + found_there(after)));
    }
  }
  // The daemon's process group: it leads a session of its own, and its
  // worker stays in the group. A mount given up below ends the whole group
  // even when the mount is too busy to say which processes serve it.
  const pid_t daemon_group = request.foreground ? -1 : child->pid();
  if (waited && !*waited && !request.foreground) {
    // It serves from now on; a thread of ours reaps it when it ends.
    std::move(*child).hand_to_reaper();
  }

  const auto give_up = [&](QuarvoError error) -> Result<MountedVolume> {
    if (request.foreground) child->terminate();  // a foreground backend unmounts on SIGTERM
    tear_down(at, daemon_group);
    return std::unexpected(std::move(error));
  };
  if (auto probed = probe_mount(at, limits(cancel)); !probed) return give_up(std::move(probed).error());
  volume.mountpoint = at;
  volume.updated_at = now_rfc3339();
  if (auto written = registry_.write(volume); !written) return give_up(std::move(written).error());
  if (!request.foreground) return MountedVolume{name, at, std::move(notes)};

  // Others may act on the volume while it serves: the record shows it.
  {
    RegistryLock released = std::move(lock);
  }
  return serve_foreground(volume, request, std::move(*child), std::move(notes), cancel);
}

Result<MountedVolume> Quarvo::serve_foreground(const Volume& volume, const MountVolume& request, Child child,
                                               Notes notes, const Cancel& cancel) const {
  const fs::path& at = request.path;
  // Served until unmounted from elsewhere (the backend then exits) or until
  // the caller asks to stop. The cancel is asked here, not by the runner, so
  // that stopping is an orderly unmount rather than a signal to the backend.
  auto served = child.wait_until([&] { return cancel.requested(); }, kCancelPollInterval, {});
  const bool stopped = !served || !*served;
  int status = 0;
  if (stopped) {
    const milliseconds bound = timeout_.value_or(kDaemonExitBound);
    if (auto out = juicefs_.unmount(at, false, true, {.timeout = bound}); !out) (void)detach(at);
    auto ended = child.wait({.timeout = kDaemonExitBound});
    status = ended ? *ended : 0;
  } else {
    status = **served;
  }

  // The mount is gone: so is the mountpoint from the record, unless another
  // call has mounted the volume since.
  auto lock = registry_.lock();
  if (!lock) return std::unexpected(std::move(lock).error());
  auto now = registry_.read(volume.name);
  if (now && now->mountpoint == at && state_at(volume.name, at).state != LiveState::Mounted) {
    now->mountpoint.reset();
    now->updated_at = now_rfc3339();
    QUARVO_TRY(registry_.write(*now));
  }
  if (stopped) return std::unexpected(served ? QuarvoError::interrupted() : std::move(served).error());
  if (status != 0) {
    return std::unexpected(
        juicefs_.mount_failure(volume, request, home_.volume_log_path(volume.name), status, CommandOutput{}));
  }
  return MountedVolume{volume.name, at, std::move(notes)};
}

Result<void> Quarvo::detach(const fs::path& mountpoint) const {
  auto out =
      juicefs_.unmount(mountpoint, /*force=*/true, /*flush=*/false, {.timeout = timeout_.value_or(kTeardownBound)});
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
  // The daemon's ids before the mount goes, bounded: it may be stuck.
  auto read = read_daemon_pids(mountpoint, {.timeout = kAnswerBound});
  (void)detach(mountpoint);
  std::vector<pid_t> pids = read ? std::move(*read) : std::vector<pid_t>{};
  if (daemon_group > 0) pids.push_back(daemon_group);
  if (pids.empty()) return;
  const auto signal_all = [&](int sig) {
    for (const pid_t pid : pids) ::kill(pid, sig);
    if (daemon_group > 0) ::kill(-daemon_group, sig);
  };
  signal_all(SIGTERM);
  if (auto gone = wait_until_gone(pids, milliseconds(2000), Cancel::never()); gone && !*gone) {
    signal_all(SIGKILL);
    (void)wait_until_gone(pids, milliseconds(2000), Cancel::never());
  }
}

Result<Notes> Quarvo::unmount(std::string_view name, bool force, const Cancel& cancel) const {
  QUARVO_TRY(validate_volume_name(name));
  auto lock = registry_.lock(cancel);
  if (!lock) return std::unexpected(std::move(lock).error());
  auto volume = registry_.read(name);
  if (!volume) return std::unexpected(std::move(volume).error());
  if (!volume->mountpoint) return std::unexpected(QuarvoError::volume_not_mounted(std::string(name)));
  const fs::path at = *volume->mountpoint;
  const std::string where = path_text(at);
  Notes notes;
  std::optional<QuarvoError> after_clearing;  // Interrupted while waiting for the daemon

  const MountCheck check = state_at(name, at);
  switch (check.state) {
    case LiveState::Mounted: {
      // The daemon's ids, read before the mount goes, to wait for them after.
      auto pids = read_daemon_pids(at, {.timeout = timeout_.value_or(kAnswerBound), .cancel = &cancel});
      if (!pids && pids.error().kind() == ErrorKind::Interrupted) return std::unexpected(std::move(pids).error());
      if (auto out = juicefs_.unmount(at, force, /*flush=*/true, limits(cancel)); !out) {
        const ErrorKind kind = out.error().kind();
        if (kind == ErrorKind::Interrupted || kind == ErrorKind::TimedOut ||
            state_at(name, at).state == LiveState::Mounted) {
          return std::unexpected(std::move(out).error());
        }
      }
      if (!pids) break;
      const milliseconds bound = force ? kForcedDaemonExitBound : kDaemonExitBound;
      auto gone = wait_until_gone(*pids, bound, cancel);
      if (!gone) {
        after_clearing = std::move(gone).error();
      } else if (!*gone) {
        notes.push_back("the daemon of " + where + " (pid " + pid_list(*pids) + ") still runs after " +
                        seconds_text(bound) + " s" + (force ? ", held by files still open under it" : "") +
                        "; its last writes may not be on the object store yet");
      }
      break;
    }
    case LiveState::Stale:
      QUARVO_TRY(detach(at));
      notes.push_back("its mount at " + where + " had lost its daemon; unmounted it");
      break;
    case LiveState::Unresponsive:
      if (!force) {
        return std::unexpected(QuarvoError::timed_out("asking the mount at " + where, kAnswerBound));
      }
      QUARVO_TRY(detach(at));
      notes.push_back("its mount at " + where + " did not answer; detached it");
      break;
    case LiveState::Foreign:
      notes.push_back(check.found_source + " is mounted at " + where + ", not this volume: left alone");
      break;
    default:
      notes.push_back("it was already unmounted: nothing is mounted at " + where);
      break;
  }
  volume->mountpoint.reset();
  volume->updated_at = now_rfc3339();
  QUARVO_TRY(registry_.write(*volume));
  if (after_clearing) return std::unexpected(std::move(*after_clearing));
  return notes;
}

Result<std::vector<MountAttempt>> Quarvo::mount_all(const Cancel& cancel) const {
  auto volumes = registry_.list();
  if (!volumes) return std::unexpected(std::move(volumes).error());
  std::vector<std::pair<std::string, fs::path>> recorded;
  for (const Volume& v : *volumes) {
    if (v.mountpoint) recorded.emplace_back(v.name, *v.mountpoint);
  }
  const std::vector<MountCheck> checks = check_mounts(recorded, kAnswerBound);
  std::vector<MountAttempt> attempts;
  for (size_t i = 0; i < recorded.size(); ++i) {
    const LiveState state = checks[i].state;
    if (is_served(state)) continue;
    auto mounted = mount({.name = recorded[i].first, .path = recorded[i].second}, cancel);
    if (!mounted && mounted.error().kind() == ErrorKind::Interrupted)
      return std::unexpected(std::move(mounted).error());
    attempts.push_back({recorded[i].first, std::move(mounted)});
  }
  return attempts;
}

}  // namespace quarvo
