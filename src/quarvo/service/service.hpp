// quarvo/service/service.hpp: the volume service, one object for every
// volume operation.
//
// `Quarvo` holds the home, its registry and the backend driver, all fixed at
// construction; it holds no file, lock or process between calls. Operations
// that read, decide and write a record (init, ensure_volume, mount, unmount)
// hold the registry lock for the whole sequence, backend command included.
//
//   auto q = Quarvo::from_env();                       // StorageBackendMissing?
//   auto v = q->init({.name = "data", .dev = true});   // format + record
//   auto m = q->mount({.name = "data", .path = "/mnt/data"});
//   q->flush("data");
//   q->unmount("data", /*force=*/false);
//
// Files the service creates inside a mountpoint (the probe, the flush marker)
// are opened with O_NOFOLLOW, so a symbolic link planted under their names
// fails the operation instead of redirecting the write. Every descriptor is
// close-on-exec and owned for exactly the call that opens it.
#ifndef QUARVO_SERVICE_SERVICE_HPP_
#define QUARVO_SERVICE_SERVICE_HPP_

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quarvo/core/error.hpp"
#include "quarvo/core/models.hpp"
#include "quarvo/core/paths.hpp"
#include "quarvo/core/registry.hpp"
#include "quarvo/juicefs/doctor.hpp"
#include "quarvo/juicefs/juicefs.hpp"

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
};

// MountedVolume: the outcome of a mount.
struct MountedVolume {
  std::string name;
  std::filesystem::path mountpoint;  // absolute
};

// Writes "quarvo" to MOUNTPOINT/.quarvo-probe-PID (never through a symbolic
// link), reads it back and deletes it. IoAt at the probe path on a failed
// write, read or delete; Io "mount probe returned unexpected data" when the
// content differs (the file is then left in place).
[[nodiscard]] Result<void> probe_mount(const std::filesystem::path& mountpoint);

class Quarvo {
 public:
  // QuarvoHome::from_env, then create().
  [[nodiscard]] static Result<Quarvo> from_env();
  // Ensures the layout, loads the configuration and resolves the backend
  // program; without one, StorageBackendMissing.
  [[nodiscard]] static Result<Quarvo> create(QuarvoHome home);

  [[nodiscard]] const QuarvoHome& home() const { return home_; }
  [[nodiscard]] const JuiceFs& juicefs() const { return juicefs_; }
  // The bound on backend commands (config.toml or QUARVO_COMMAND_TIMEOUT);
  // absent: none.
  [[nodiscard]] const std::optional<std::chrono::milliseconds>& command_timeout() const { return command_timeout_; }

  [[nodiscard]] Result<DoctorReport> doctor() const;
  // Creates a volume: VolumeExists when the name has a record. A development
  // volume named "." or ".." (its data would land outside the home's "dev"
  // directory) is InvalidVolumeName before the lock is taken.
  [[nodiscard]] Result<VolumeInfo> init(const InitVolume& request) const;
  // The stored record when the name has one, whatever the request says;
  // else exactly what init does (a "." or ".." development volume is then
  // InvalidVolumeName, before any directory of it is created).
  [[nodiscard]] Result<VolumeInfo> ensure_volume(const InitVolume& request) const;
  // The record a request describes; creates the development directories of
  // a development volume (0700), touches nothing else. A home whose path
  // holds "?" or "#" cannot hold development volumes (Io saying so): the
  // metadata URL would mean another file.
  [[nodiscard]] Result<Volume> build_volume(const InitVolume& request) const;
  // Creates the mountpoint directory, then under the lock creates the log
  // (0600) unless it exists, runs the backend's mount, probes it and records
  // the absolute mountpoint. A foreground mount
  // returns once the attached backend has exited, i.e. after the file system
  // was unmounted again: on a clean exit nothing is probed and the record is
  // written with no mountpoint.
  [[nodiscard]] Result<MountedVolume> mount(const MountVolume& request) const;
  // Probes the recorded mountpoint, creates, fsyncs and deletes
  // MOUNTPOINT/.quarvo-flush, then runs "sync" (its absence or failure is
  // ignored). Takes no lock.
  [[nodiscard]] Result<void> flush(std::string_view name) const;
  // Runs the backend's umount for the recorded mountpoint under the lock and
  // clears it from the record; VolumeNotMounted when none is recorded.
  [[nodiscard]] Result<void> unmount(std::string_view name, bool force) const;
  // All records (no name) or exactly the one named.
  [[nodiscard]] Result<std::vector<VolumeInfo>> status(const std::optional<std::string>& name) const;

  // Removes a volume (lifecycle.cpp; see lifecycle.hpp for the crash-safe
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
  [[nodiscard]] Result<void> remove(std::string_view name, bool force, bool destroy) const;

 private:
  Quarvo(QuarvoHome home, std::filesystem::path program, std::optional<std::chrono::milliseconds> command_timeout)
      : home_(home), registry_(std::move(home)), juicefs_(std::move(program)), command_timeout_(command_timeout) {}

  // init and ensure_volume share everything after the existence check.
  [[nodiscard]] Result<VolumeInfo> provision(const InitVolume& request, bool existing_ok) const;

  QuarvoHome home_;
  Registry registry_;
  JuiceFs juicefs_;
  std::optional<std::chrono::milliseconds> command_timeout_;
};

}  // namespace quarvo

#endif  // QUARVO_SERVICE_SERVICE_HPP_
