// The volume service's mounts: mount, in the background or the foreground,
// checked against the kernel's mount table (mount_all: mount_all.cpp).
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <string>
#include <utility>

#include "quarvo/core/file_io.hpp"
#include "quarvo/core/text.hpp"
#include "quarvo/core/time.hpp"
#include "quarvo/core/validation.hpp"
#include "quarvo/service/daemons.hpp"
#include "quarvo/service/in_mount.hpp"
#include "quarvo/service/intents.hpp"
#include "quarvo/service/mount_checks.hpp"
#include "quarvo/service/mount_paths.hpp"
#include "quarvo/service/mount_settings.hpp"
#include "quarvo/service/private_mount.hpp"
#include "quarvo/service/service.hpp"
#include "quarvo/service/step_points.hpp"
#include "quarvo/service/volume_files.hpp"

namespace quarvo {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

// How often a starting mount is looked for in the mount table.
constexpr milliseconds kReadyInterval{5};
// How long a mount may take to become ready when the user set no bound: the
// backend's own "-d" gives up after 10 s, an object store check may take longer.
constexpr milliseconds kReadyBound{60'000};
// How long a mount waits for an old daemon of the volume to end before it
// refuses: one that is unmounting ends within a second or two.
constexpr milliseconds kOldDaemonBound{5'000};

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

// The error of a mount command that ended before its mount was ready, or
// that ended in the foreground (where it serves until it ends), given its
// wait status and what the mount table showed after.
QuarvoError ended_early(const JuiceFs& juicefs, const Volume& volume, const MountVolume& request, int status,
                        const MountCheck& after, const fs::path& log_path, off_t log_start) {
  if (status != 0) {
    CommandOutput said;
    if (!request.foreground) said.stderr_text = log_since(log_path, log_start);
    return juicefs.mount_failure(volume, request, log_path, status, std::move(said));
  }
  if (after.state == LiveState::Mounted) {
    return QuarvoError::mount_failed(volume.name, request.path, "the storage backend ended before it was ready");
  }
  return QuarvoError::mount_failed(volume.name, request.path,
                                   "the storage backend returned, but " + found_there(after));
}

}  // namespace

Result<MountedVolume> Quarvo::mount(const MountVolume& request, const Cancel& cancel) const {
  QUARVO_TRY(validate_volume_name(request.name));
  QUARVO_TRY(require_mount_support());
  const WaitLimits limits = call_limits(cancel);
  // A volume that does not exist, or whose settings are refused, gets no
  // directory made for it (the record is read again under the lock).
  auto recorded = registry_.read(request.name);
  if (!recorded) return std::unexpected(std::move(recorded).error());
  QUARVO_TRY(running_settings(home_, *recorded, request.settings));
  QUARVO_TRY(check_mount_path(registry_, request.path));  // before any directory is made
  auto mountpoint = prepare_mountpoint(request.path);
  if (!mountpoint) return std::unexpected(std::move(mountpoint).error());
  const fs::path& at = *mountpoint;

  Notes notes;
  VolumeIntent intent;
  {
    auto lock = registry_.lock(limits);
    if (!lock) return std::unexpected(std::move(lock).error());
    auto volume = registry_.read(request.name);
    if (!volume) return std::unexpected(std::move(volume).error());
    auto kept = settle_intent(*volume, limits, notes);
    if (!kept) return std::unexpected(std::move(kept).error());
    if (!*kept) return std::unexpected(QuarvoError::volume_not_found(request.name));
    QUARVO_TRY(clear_other_mountpoint(*volume, at, limits, notes));
    auto served = settle_mountpoint(*volume, at, limits, notes);
    if (!served) return std::unexpected(std::move(served).error());
    if (*served) return MountedVolume{volume->name, at, std::move(notes)};
    QUARVO_TRY(await_old_daemons(*volume, limits));
    // Where it is going, before anything starts: a call killed from here on
    // leaves the next one something to finish or undo. The lock is then
    // released while the backend mounts: other volumes' calls go on.
    intent = begin_intent(kMountStep, at);
    volume->intent = intent;  // updated_at stays: a mount that fails leaves the record as it was
    QUARVO_TRY(registry_.write(*volume));
    reach("mount:intent");
  }
  MountVolume resolved = request;
  resolved.path = at;
  auto mounted = mount_ahead(request.name, intent, resolved, std::move(notes), limits);
  if (!mounted) drop_mount_intent(request.name, intent);
  return mounted;
}

Result<void> Quarvo::clear_other_mountpoint(const Volume& volume, const fs::path& at, const WaitLimits& limits,
                                            Notes& notes) const {
  if (!volume.mountpoint || *volume.mountpoint == at) return {};
  // Mounted elsewhere: live, it stays the one mount; dead, it is cleared.
  const fs::path& recorded = *volume.mountpoint;
  const MountCheck there = state_at(volume.name, recorded, limits);
  if (is_served(there.state)) return std::unexpected(QuarvoError::volume_mounted(volume.name, recorded));
  if (there.state == LiveState::Stale) {
    QUARVO_TRY(detach(recorded, limits));
    notes.push_back("its mount at " + path_text(recorded) + " had lost its daemon; unmounted it");
  }
  return {};
}

Result<void> Quarvo::await_old_daemons(const Volume& volume, const WaitLimits& limits) const {
  auto running = await_no_daemons(volume, volume_logs(home_, volume.name), limits.capped(kOldDaemonBound));
  if (!running) return std::unexpected(std::move(running).error());
  if (running->empty()) return {};
  return std::unexpected(QuarvoError::volume_busy(volume.name, "a daemon of it still runs: " + daemons_text(*running)));
}

Result<bool> Quarvo::settle_mountpoint(Volume& volume, const fs::path& at, const WaitLimits& limits,
                                       Notes& notes) const {
  const MountCheck here = state_at(volume.name, at, limits);
  switch (here.state) {
    case LiveState::Mounted:
      // Already served here: that mount, at once, foreground or not.
      if (volume.mountpoint != at) {
        // Mounted by a call that was killed before it recorded it, say.
        if (auto pids = read_daemon_pids(at, limits.capped(kAnswerBound))) {
          volume.daemon_pid = pids->serving > 0 ? std::optional<std::int64_t>(pids->serving) : std::nullopt;
          volume.supervisor_pid = pids->supervisor > 0 ? std::optional<std::int64_t>(pids->supervisor) : std::nullopt;
        }
        volume.mountpoint = at;
        volume.updated_at = now_rfc3339();
        QUARVO_TRY(registry_.write(volume));
      }
      notes.push_back("it was already mounted at " + path_text(at));
      return true;
    case LiveState::Unresponsive:
      return std::unexpected(QuarvoError::mount_failed(volume.name, at, found_there(here)));
    case LiveState::Stale:
      QUARVO_TRY(detach(at, limits));
      notes.push_back("its mount at " + path_text(at) + " had lost its daemon; unmounted it and mounted it again");
      return false;
    case LiveState::Foreign:
      // Another volume's mount: stacking on it would leave two volumes
      // claiming one path. Any other file system may be mounted over.
      if (is_volume_mount_source(here.found_source)) {
        return std::unexpected(QuarvoError::mount_failed(volume.name, at, found_there(here)));
      }
      return false;
    default:
      if (volume.mountpoint == at) {
        notes.push_back("it was recorded at " + path_text(at) +
                        ", where nothing was mounted any more; mounted it again");
      }
      return false;
  }
}

Result<Child> Quarvo::start_until_ready(const Volume& volume, const MountVolume& request,
                                        const WaitLimits& limits) const {
  const fs::path& at = request.path;
  QUARVO_TRY(rotate_volume_log(home_, volume.name));
  const fs::path log_path = home_.volume_log_path(volume.name);
  const off_t log_start = log_size(log_path);
  auto child = juicefs_.start_mount(volume, request, log_path);
  if (!child) return std::unexpected(std::move(child).error());
  reach("mount:started");
  // The command is the backend's supervisor: its socket is made ours alone
  // as soon as it is there (private_mount.hpp).
  const pid_t supervisor = child->pid();
  bool guarded = false;

  // Ready: the table shows this volume at the mountpoint and its root
  // answers. Another volume's mount appearing there decides too: the
  // backend mounted what its metadata engine holds, not this volume.
  MountCheck seen{LiveState::NotMounted, {}};
  const auto decided = [&] {
    guarded = guarded || guard_fd_socket(supervisor);
    seen = state_at(volume.name, at, limits);
    return seen.state == LiveState::Mounted ||
           (seen.state == LiveState::Foreign && is_volume_mount_source(seen.found_source));
  };
  auto waited = child->wait_until(decided, kReadyInterval, limits.or_within(kReadyBound));
  if (!waited) {
    // Ended at the deadline or on request: its daemon may have mounted.
    tear_down(at);
    return std::unexpected(std::move(waited).error());
  }
  if (!*waited) {
    if (seen.state == LiveState::Mounted) return std::move(*child);
    child->terminate();
    tear_down(at);
    return std::unexpected(
        QuarvoError::mount_failed(volume.name, at, "the storage backend mounted " + seen.found_source + " there"));
  }
  // It ended: in the background that may be success, if its mount serves.
  const int status = **waited;
  const MountCheck after = state_at(volume.name, at, limits);
  if (status == 0 && after.state == LiveState::Mounted && !request.foreground) return std::move(*child);
  tear_down(at);
  return std::unexpected(ended_early(juicefs_, volume, request, status, after, log_path, log_start));
}

Result<MountedVolume> Quarvo::mount_ahead(std::string_view name, const VolumeIntent& intent, const MountVolume& request,
                                          Notes notes, const WaitLimits& limits) const {
  const fs::path& at = request.path;
  auto read = registry_.read(name);
  if (!read) return std::unexpected(std::move(read).error());
  const Volume& volume = *read;
  // The backend mounts with the settings this mount runs with; the record
  // keeps the volume's own.
  auto settings = running_settings(home_, volume, request.settings);
  if (!settings) return std::unexpected(std::move(settings).error());
  QUARVO_TRY(prepare_cache_dir(home_, *settings));
  Volume running = volume;
  running.settings = *settings;
  const auto started = std::chrono::system_clock::now();
  auto child = start_until_ready(running, request, limits);
  if (!child) return std::unexpected(std::move(child).error());
  reach("mount:ready");
  // The daemon's process group: it leads a session of its own, and its
  // worker stays in the group. A mount given up below ends the whole group
  // even when the mount is too busy to say which processes serve it.
  const pid_t supervisor = child->pid();
  const pid_t daemon_group = request.foreground ? -1 : supervisor;
  // In the background it serves from now on; a thread of ours reaps it when it ends.
  if (!request.foreground) std::move(*child).hand_to_reaper();

  const auto give_up = [&](QuarvoError error) -> Result<MountedVolume> {
    if (request.foreground) child->terminate();  // a foreground backend unmounts on SIGTERM
    tear_down(at, daemon_group);
    return std::unexpected(std::move(error));
  };
  // Others kept out before anything is written there (a read-only mount's
  // root cannot change: a writable mount of the volume has made it private).
  (void)guard_fd_socket(supervisor);
  if (!setting_flag(*settings, kReadOnlySetting)) {
    if (auto made = make_root_private(volume, at); !made) return give_up(std::move(made).error());
  }
  if (auto made = make_subdir_private(*settings, at, started); !made) return give_up(std::move(made).error());
  if (auto checked = check_new_mount(volume.name, *settings, at, limits); !checked) {
    return give_up(std::move(checked).error());
  }
  // Who serves it, for the unmount that cannot ask the mount any more.
  auto pids = read_daemon_pids(at, limits.capped(kAnswerBound));
  reach("mount:checked");

  // What it found, with the intent cleared, in one write of the record as
  // it is now (its settings may have changed meanwhile): the lock again.
  auto lock = registry_.lock(limits);
  if (!lock) return give_up(std::move(lock).error());
  auto now = registry_.read(name);
  if (!now) return give_up(std::move(now).error());
  if (now->intent != intent) {
    return give_up(QuarvoError::volume_busy(std::string(name), "its record changed while it was being mounted"));
  }
  remember_cache_dirs(*now, at);
  now->daemon_pid = pids && pids->serving > 0 ? std::optional<std::int64_t>(pids->serving) : std::nullopt;
  now->supervisor_pid = pids && pids->supervisor > 0 ? std::optional<std::int64_t>(pids->supervisor) : std::nullopt;
  now->mountpoint = at;
  now->intent.reset();
  now->updated_at = now_rfc3339();
  if (auto written = registry_.write(*now); !written) return give_up(std::move(written).error());
  if (!request.foreground) return MountedVolume{now->name, at, std::move(notes)};

  // Others may act on the volume while it serves: the record shows it.
  {
    RegistryLock released = std::move(*lock);
  }
  return serve_foreground(*now, request, std::move(*child), std::move(notes), limits.cancel());
}

Result<MountedVolume> Quarvo::serve_foreground(const Volume& volume, const MountVolume& request, Child child,
                                               Notes notes, const Cancel& cancel) const {
  const fs::path& at = request.path;
  // Served until unmounted from elsewhere (the backend then exits) or until
  // the caller asks to stop. The cancel is asked here, not by the runner, so
  // that stopping is an orderly unmount rather than a signal to the backend.
  auto served =
      child.wait_until([&] { return cancel.requested(); }, kCancelPollInterval, WaitLimits::unbounded(Cancel::never()));
  const bool stopped = !served || !*served;
  // Stopping, and clearing the record after, have bounds of their own: the
  // call has none while it serves.
  const WaitLimits after = WaitLimits::within(timeout_.value_or(kDaemonExitBound), Cancel::never());
  int status = 0;
  if (stopped) {
    if (auto out = juicefs_.unmount(at, false, true, after); !out) (void)detach(at, after);
    auto ended = child.wait(WaitLimits::within(kDaemonExitBound, Cancel::never()));
    status = ended ? *ended : 0;
  } else {
    status = **served;
  }

  // The mount is gone: so is the mountpoint from the record, unless another
  // call has mounted the volume since.
  auto lock = registry_.lock(WaitLimits::within(kTeardownBound, Cancel::never()));
  if (!lock) return std::unexpected(std::move(lock).error());
  auto now = registry_.read(volume.name);
  if (now && now->mountpoint == at && state_at(volume.name, at, after).state != LiveState::Mounted) {
    now->mountpoint.reset();
    now->daemon_pid.reset();
    now->supervisor_pid.reset();
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

}  // namespace quarvo
