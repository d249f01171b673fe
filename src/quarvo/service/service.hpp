// quarvo/service/service.hpp: the volume service, one object for every
// volume operation.
//
// `Quarvo` holds the home, its registry and the backend driver, all fixed at
// construction; it holds no file, lock or process between calls. Operations
// that read, decide and write a record (init, ensure_volume, mount, unmount)
// hold the registry lock for the whole sequence, backend command included;
// a foreground mount holds it only until its mount is recorded.
//
//   auto q = Quarvo::from_env();                               // StorageBackendMissing?
//   auto v = q->init({.name = "data", .dev = true}, cancel);   // format + record
//   auto m = q->mount({.name = "data", .path = "/mnt/data"}, cancel);
//   q->flush("data", cancel);
//   q->unmount("data", /*force=*/false, cancel);
//
// The kernel's mount table is the truth about what is mounted: a volume is
// mounted at P only when the table lists P (canonical: the parent resolved,
// the leaf appended) with the source "JuiceFS:" + its name. The record
// follows the table and nothing acts against it: a mount is verified before
// it is recorded and torn down when it cannot be, an unmount runs the backend
// only on this volume's own mount, and a recorded mount that died is cleared
// with a note for the user instead of an error.
//
// Every call that waits takes the caller's `Cancel` (Cancel::never() for a
// caller nobody interrupts) and asks it throughout. With a configured
// command timeout, a call's deadline is fixed when it starts, and every step
// of it keeps to that one deadline (see deadline.hpp): the registry lock,
// the backend's commands, the file operations inside a mountpoint (which
// then run in a helper process that can be abandoned), the wait for a
// daemon to exit. Without one a call waits as long as they take, except
// for waits of the service's own, which have bounds of their own (a mount
// becoming ready, a mount answering, a daemon exiting after unmount); a
// configured deadline caps those too.
#ifndef QUARVO_SERVICE_SERVICE_HPP_
#define QUARVO_SERVICE_SERVICE_HPP_

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quarvo/core/cancel.hpp"
#include "quarvo/core/deadline.hpp"
#include "quarvo/core/error.hpp"
#include "quarvo/core/models.hpp"
#include "quarvo/core/paths.hpp"
#include "quarvo/core/registry.hpp"
#include "quarvo/juicefs/doctor.hpp"
#include "quarvo/juicefs/juicefs.hpp"
#include "quarvo/service/volume_files.hpp"

namespace quarvo {

// InitVolume: a provisioning request (init and ensure_volume). Every field
// has a default, so a designated initializer may name only what it sets.
struct InitVolume {
  std::string name{};
  bool dev = false;
  std::optional<std::string> metadata{};
  std::optional<std::string> store{};
  std::optional<std::string> storage{};
  std::optional<std::string> bucket{};
  // The metadata engine's password, given apart from the URL (typed at a
  // prompt, read from the standard input); META_PASSWORD when not given.
  std::optional<std::string> metadata_password{};
  SettingChanges settings{};  // stored with the volume (a key set to nullopt: left out)
};

// What an operation found and set right on its way, beyond the plain case
// (a stale mount cleared, a daemon that would not exit), one sentence each,
// for the user to read.
using Notes = std::vector<std::string>;

// MountedVolume: the outcome of a mount.
struct MountedVolume {
  std::string name;
  std::filesystem::path mountpoint;  // absolute and canonical
  Notes notes{};
};

// ConfiguredVolume: a volume's settings after `configure`.
struct ConfiguredVolume {
  std::string name;
  VolumeSettings settings;
  Notes notes{};
};

// SettledVolume: a step a killed call left on a volume, settled by
// `settle_interrupted` (see intents.hpp).
struct SettledVolume {
  std::string name;
  std::string step;       // the intent's step: "mount", "unmount", "init"
  Result<Notes> outcome;  // what was done, or why it could not be
};

// MountAttempt: one volume of `mount_all`.
struct MountAttempt {
  std::string name;
  Result<MountedVolume> result;
};

// Told one volume's outcome of `mount_all` as it comes; false asks to stop
// (the mounts under way are then ended, the rest not started).
using OnMountResult = std::function<bool(const std::string& name, const Result<MountedVolume>& result)>;

class Quarvo {
 public:
  // QuarvoHome::from_env, then create().
  [[nodiscard]] static Result<Quarvo> from_env(std::optional<std::chrono::milliseconds> command_timeout = {});
  // Ensures the layout, loads the configuration and resolves the backend
  // program; without one, StorageBackendMissing. A home or a program
  // another user could have changed is UnsafePath (trust.hpp).
  // `command_timeout` is the caller's bound on every backend command; none:
  // the configuration's (QUARVO_COMMAND_TIMEOUT, else config.toml's), else
  // no bound.
  [[nodiscard]] static Result<Quarvo> create(QuarvoHome home,
                                             std::optional<std::chrono::milliseconds> command_timeout = {});

  [[nodiscard]] const QuarvoHome& home() const { return home_; }

  [[nodiscard]] Result<DoctorReport> doctor(const Cancel& cancel) const;
  // Creates a volume: VolumeExists when the name has a record. A development
  // volume named "." or ".." (its data would land outside the home's "dev"
  // directory) is InvalidVolumeName before the lock is taken.
  [[nodiscard]] Result<VolumeInfo> init(const InitVolume& request, const Cancel& cancel) const;
  // The stored record when the name has one, whatever the request says but
  // its settings, which are stored in it as configure stores them; else
  // exactly what init does (a "." or ".." development volume is then
  // InvalidVolumeName, before any directory of it is created). Either way
  // the settings are checked before anything runs (InvalidArgument).
  [[nodiscard]] Result<VolumeInfo> ensure_volume(const InitVolume& request, const Cancel& cancel) const;
  // Mounts the volume at `request.path` (created with its parents when
  // missing; a symbolic link is followed), verified: the mount table must
  // show this volume there and the probe must pass, else whatever was
  // started is torn down and the error says what was found (MountFailed, the
  // probe's error, the backend's CommandFailed). Already mounted there: that
  // mount is returned at once; mounted and live elsewhere: VolumeMounted. A
  // stale mount at either place is unmounted first, with a note. A daemon
  // of the volume still running for this home (see daemons.hpp) is waited
  // for up to 5 s, then VolumeBusy names it: never two daemons on one
  // volume. The record keeps the pids the mount's .config names. Returns as
  // soon as the mount answers, not when the backend's command returns.
  //
  // A foreground mount serves from a child of this process: the call
  // records the mountpoint, releases the lock and returns when the file
  // system is unmounted elsewhere (the record is then cleared) or when
  // `cancel` asks, in which case it unmounts, clears the record and returns
  // Interrupted.
  [[nodiscard]] Result<MountedVolume> mount(const MountVolume& request, const Cancel& cancel) const;
  // Mounts again every volume whose record names a mountpoint where it is no
  // longer mounted (after a reboot), or whose record holds a step under way
  // (mount settles it), each with its own outcome and its own
  // deadline, up to kMountAllWorkers at once (mount_all.hpp); `on_result`
  // hears each outcome as it comes, on this thread, and all come back in the
  // records' order. Fails as a whole only when the records cannot be listed
  // or on Interrupted. Calls mount() from several threads at once: mount
  // keeps no state in this object, and the registry's lock is a file lock
  // each call takes on a descriptor of its own.
  [[nodiscard]] Result<std::vector<MountAttempt>> mount_all(const OnMountResult& on_result, const Cancel& cancel) const;
  // Probes the recorded mountpoint and creates, fsyncs and deletes a flush
  // marker there, waits until the client has written out and committed
  // everything it held (flushing.hpp: FlushIncomplete under writes that
  // never pause), then runs "sync" (its absence or failure is ignored).
  // VolumeNotMounted unless the table shows the volume there; a mount whose
  // daemon died fails at once (IoAt, ENOTCONN). A read-only mount has
  // nothing to flush: a note says so. Takes no lock, but to settle a step a
  // killed call left in the record first (an interrupted unmount finished
  // leaves nothing to flush: VolumeNotMounted). (flushing.cpp)
  [[nodiscard]] Result<Notes> flush(std::string_view name, const Cancel& cancel) const;
  // Unmounts the recorded mountpoint and clears it from the record, running
  // the backend only on this volume's own live mount; it then waits (up to
  // 30 s, or what is left of the deadline) for the mount's daemon to exit,
  // so its data is on the object store, and says so in a note when it has
  // not.
  // Nothing mounted there, or something else: the record is cleared, nothing
  // touched, with a note. A mount whose daemon died is unmounted lazily.
  // VolumeNotMounted when no mountpoint is recorded; a failed backend unmount
  // keeps the record.
  [[nodiscard]] Result<Notes> unmount(std::string_view name, bool force, const Cancel& cancel) const;
  // Changes the volume's settings (configuring.cpp): each key to its value,
  // a key set to nullopt unset; no change reads them. Every value is checked
  // before the lock is taken (InvalidArgument). A volume that is mounted
  // keeps what it was mounted with until its next mount: a note says so.
  [[nodiscard]] Result<ConfiguredVolume> configure(std::string_view name, const SettingChanges& changes,
                                                   const Cancel& cancel) const;
  // Settles every step a killed call left behind (an intent whose owner is
  // gone; see intents.hpp), each with its outcome; what prune runs first.
  // Fails as a whole only when the lock or the records cannot be had, or on
  // Interrupted.
  [[nodiscard]] Result<std::vector<SettledVolume>> settle_interrupted(const Cancel& cancel) const;
  // All records (no name) or exactly the one named.
  [[nodiscard]] Result<std::vector<VolumeInfo>> status(const std::optional<std::string>& name) const;

  // Removes a volume (removal.cpp; see removal.hpp for the crash-safe
  // order). A volume live at its recorded mountpoint (mounted, unresponsive
  // or stale) is VolumeMounted unless `force`, which unmounts it first as
  // unmount(name, true) does (a stale one, whose daemon is gone, is detached
  // lazily). The volume's UUID is read from the backend
  // before anything is deleted; then the record, its logs and its block
  // cache go, and for a development volume its metadata and objects. A
  // shared volume's data stays on its engine and store, unless `destroy`:
  // then the backend destroys it there first, and is refused (VolumeMounted,
  // nothing changed) while another client has it mounted. A record that
  // cannot be read is removed only with `force` (with dev/NAME, if any).
  // Unmounting, the backend's status and its destroy keep to one deadline.
  // What the forced unmount found and did on its way is in the notes.
  [[nodiscard]] Result<Notes> remove(std::string_view name, bool force, bool destroy, const Cancel& cancel) const;

 private:
  Quarvo(QuarvoHome home, std::filesystem::path program, std::optional<std::chrono::milliseconds> timeout)
      : home_(home), registry_(std::move(home)), juicefs_(std::move(program)), timeout_(timeout) {}

  // The record a request describes; touches nothing (make_volume then
  // makes a development volume's directories). A home whose path
  // holds "?" or "#" cannot hold development volumes (Io saying so): the
  // metadata URL would mean another file. A password given apart from the
  // metadata URL (the request's, else a non-empty META_PASSWORD) is kept in
  // the URL's credentials, as a typed one is; a URL that holds one already,
  // or two, and a password both in the request and in META_PASSWORD, are
  // InvalidArgument: which one was meant cannot be told.
  [[nodiscard]] Result<Volume> build_volume(const InitVolume& request) const;
  // What init makes for a record it has claimed: a development volume's
  // directories (0700), then the backend's format.
  [[nodiscard]] Result<void> make_volume(const Volume& volume, const WaitLimits& limits) const;
  // `changes` applied to the record `volume` and written when they change
  // it; the caller holds the lock (configuring.cpp).
  [[nodiscard]] Result<void> store_settings(Volume& volume, const SettingChanges& changes) const;
  // init and ensure_volume share everything after the existence check.
  [[nodiscard]] Result<VolumeInfo> provision(const InitVolume& request, bool existing_ok, const Cancel& cancel) const;
  // The limits of one call, made when it starts: the user's bound from now
  // (none when none is configured) and the caller's cancel.
  [[nodiscard]] WaitLimits call_limits(const Cancel& cancel) const {
    return WaitLimits(Deadline::after(timeout_), cancel);
  }

  // mount, step by step (mounting.cpp). The volume's recorded mountpoint
  // when it is not `at`: live there, VolumeMounted; dead there, detached.
  [[nodiscard]] Result<void> clear_other_mountpoint(const Volume& volume, const std::filesystem::path& at,
                                                    const WaitLimits& limits, Notes& notes) const;
  // What is at `at` already: true when it is this volume's live mount (the
  // record then names it); a dead mount of it detached; another volume's
  // mount, or one that does not answer, MountFailed.
  [[nodiscard]] Result<bool> settle_mountpoint(Volume& volume, const std::filesystem::path& at,
                                               const WaitLimits& limits, Notes& notes) const;
  // The rest of mount, once its intent is recorded (the lock released):
  // the backend's command, the checks, then, under the lock again, the
  // record's mountpoint and pids with the intent cleared (VolumeBusy when
  // another call changed the intent meanwhile). Whatever it started is
  // taken down when it fails; the caller then drops the intent.
  [[nodiscard]] Result<MountedVolume> mount_ahead(std::string_view name, const VolumeIntent& intent,
                                                  const MountVolume& request, Notes notes,
                                                  const WaitLimits& limits) const;
  // Starts the backend's mount and waits until the table shows it ready;
  // the backend's process, still serving. Whatever it started is taken down
  // when it fails, mounts another volume or ends first.
  [[nodiscard]] Result<Child> start_until_ready(const Volume& volume, const MountVolume& request,
                                                const WaitLimits& limits) const;
  // Serves a foreground mount until it ends, then clears the record.
  [[nodiscard]] Result<MountedVolume> serve_foreground(const Volume& volume, const MountVolume& request, Child child,
                                                       Notes notes, const Cancel& cancel) const;

  // unmount (unmounting.cpp) under limits a caller already has: removal's.
  [[nodiscard]] Result<Notes> unmount_within(std::string_view name, bool force, const WaitLimits& limits) const;
  // What unmount does at `at`, as the table shows it (under the lock, its
  // intent written): the error to report once the record is cleared, or
  // the error that keeps the record as it is.
  [[nodiscard]] Result<std::optional<QuarvoError>> unmount_at(const Volume& volume, const std::filesystem::path& at,
                                                              bool force, const WaitLimits& limits, Notes& notes) const;
  // The backend's unmount of this volume's live mount at `at`, then the wait
  // for its daemon to exit (a note when it has not). The mount staying is an
  // error; an interrupted wait for the daemon is returned as the error to
  // report once the record is cleared.
  [[nodiscard]] Result<std::optional<QuarvoError>> unmount_served(const Volume& volume, const std::filesystem::path& at,
                                                                  bool force, const WaitLimits& limits,
                                                                  Notes& notes) const;
  // The way out when the backend cannot unmount the volume's mount at `at`
  // (`why`, the note's opening): the kernel's lazy detach of that mount,
  // then its daemons (`pids`, else found as daemons.hpp says) ended,
  // supervisor first, its FUSE connection aborted if they would not end; a
  // note says what was done and what may be lost.
  [[nodiscard]] Result<void> detach_by_kernel(const Volume& volume, const std::filesystem::path& at,
                                              std::vector<pid_t> pids, const std::string& why, Notes& notes) const;
  // The processes serving the volume's mount at `at`, supervisor first: as
  // its .config names them, else as their arguments show (see daemons.hpp).
  [[nodiscard]] std::vector<pid_t> daemons_at(const Volume& volume, const std::filesystem::path& at,
                                              const WaitLimits& limits) const;
  // Before a mount starts: no daemon of the volume may still run for this
  // home (one that outlived its unmount, one a killed call started). Waits
  // for them a while within `limits`, then VolumeBusy naming them.
  [[nodiscard]] Result<void> await_old_daemons(const Volume& volume, const WaitLimits& limits) const;
  // Unmounts whatever volume's mount is at `mountpoint` lazily (the backend
  // without --flush, else the kernel's detach); Io or the backend's error
  // when it stays. Without a deadline, the backend gets kTeardownBound.
  [[nodiscard]] Result<void> detach(const std::filesystem::path& mountpoint, const WaitLimits& limits) const;
  // Takes down a mount this call started at `mountpoint`: its daemon ended,
  // the mount detached. Best effort, with bounds of its own and no cancel:
  // it is already on an error path, often past the call's deadline.
  void tear_down(const std::filesystem::path& mountpoint, pid_t daemon_group = -1) const;

  // remove's first step (removal.cpp): a live mount of the volume taken
  // down (VolumeMounted unless `force`); the mount's own word on its cache,
  // read while it could still be asked.
  // Before volume `name`'s mount at `at` goes: every other volume whose
  // record names a mountpoint inside it unmounted, forced, through
  // unmount_within (its record cleared), deepest first, with a note each;
  // one that cannot be is VolumeBusy naming it.
  [[nodiscard]] Result<void> unmount_nested(std::string_view name, const std::filesystem::path& at,
                                            const WaitLimits& limits, Notes& notes) const;
  [[nodiscard]] Result<std::optional<MountConfig>> unmount_for_removal(std::string_view name, bool force,
                                                                       const WaitLimits& limits, Notes& notes) const;

  // Crash recovery (intents.cpp; see intents.hpp), with the lock held, on
  // `volume` as just read: an intent whose owner runs is VolumeBusy naming
  // it; one whose owner is gone is finished or undone and the record
  // rewritten, with a note. False when that removed the record (an
  // interrupted init).
  [[nodiscard]] Result<bool> settle_intent(Volume& volume, const WaitLimits& limits, Notes& notes) const;
  [[nodiscard]] Result<void> settle_mount(Volume& volume, const std::filesystem::path& at, const WaitLimits& limits,
                                          Notes& notes) const;
  [[nodiscard]] Result<void> settle_unmount(Volume& volume, const std::filesystem::path& at, const WaitLimits& limits,
                                            Notes& notes) const;
  // Removes a volume whose init did not finish: a development volume's
  // directory, then the record.
  [[nodiscard]] Result<void> undo_init(const Volume& volume) const;
  // Clears `intent` from the record of `name` if it is still there: a mount
  // that failed after the lock was released. Bounds of its own, no cancel.
  void drop_mount_intent(std::string_view name, const VolumeIntent& intent) const;
  // The volume's daemons mounting at `at`, or starting to (their command
  // line names it), supervisor first.
  [[nodiscard]] std::vector<pid_t> daemons_mounting(const Volume& volume, const std::filesystem::path& at) const;

  QuarvoHome home_;
  Registry registry_;
  JuiceFs juicefs_;
  std::optional<std::chrono::milliseconds> timeout_;  // Config::command_timeout
};

// The limits of a call made without a Quarvo object (inspect,
// finish_removals): the bound QUARVO_COMMAND_TIMEOUT or config.toml sets,
// from now, and `cancel`; no bound when neither sets one or the file cannot
// be read (the call reports that where it matters).
[[nodiscard]] WaitLimits configured_limits(const QuarvoHome& home, const Cancel& cancel);

}  // namespace quarvo

#endif  // QUARVO_SERVICE_SERVICE_HPP_
