// quarvo/juicefs/juicefs.hpp: the command lines of the storage backend.
//
//   format  : format META NAME --storage S --bucket B --trash-days 0 --no-update --no-agent
//   mount   : mount META MOUNTPOINT --log LOG OPTIONS... [--check-storage] --no-agent
//             (OPTIONS: the volume's settings, mount_options.hpp)
//   unmount : umount [--flush] [--force] MOUNTPOINT
//   status  : status META --no-agent          (prints the volume's settings as JSON)
//   destroy : destroy META UUID --yes --no-agent (deletes every object and all metadata)
//
// "--no-agent" keeps the backend from serving its debug agent (a profile of
// the process) on 127.0.0.1 to every local user. The metrics listener a
// mount opens on 127.0.0.1 (9567, else a free port; .config names it) cannot
// be turned off: the backend refuses an empty address and takes no Unix
// socket, so it stays, serving counters (the volume's name, the mountpoint,
// operation counts and sizes, cache use) and no file names or data.
//
// The mount command serves until the file system is unmounted. In the
// foreground it runs with the caller's streams; in the background it is
// started as a daemon of its own (a new session, its output appended to the
// log), which is what the backend's "-d" would make of it after starting
// itself twice more and then sleeping a fixed half second before it returns.
// Either way the caller decides when the mount is ready (the mount table),
// in about half the time "-d" takes. "--flush" has the backend reach the
// mount's daemon through the mount's .config first, so it is left out for a
// mount whose daemon is gone. Paths go on the command line as lossy UTF-8.
//
// No command line carries the metadata engine's password: META is the URL
// without it (its credentials' password or its "password=" parameter), and
// the password goes in the child's META_PASSWORD (with REDIS_PASSWORD,
// which the backend would read first, removed); no other child gets a
// META_PASSWORD. A failed command's fields and reason are masked: URL
// passwords and that password as "****".
//
// A failed command carries the backend's own reason (its last FATAL or ERROR
// record; for a background mount what it appended to the log, which the
// error then names). `format` also makes sure that the engine holds the
// volume asked for: the backend, given --no-update, silently leaves an
// engine that already holds a volume as it is, so an existing volume is
// compared with the request (name, storage, bucket) and a different one is
// VolumeMismatch.
#ifndef QUARVO_JUICEFS_JUICEFS_HPP_
#define QUARVO_JUICEFS_JUICEFS_HPP_

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quarvo/core/error.hpp"
#include "quarvo/core/models.hpp"
#include "quarvo/juicefs/command.hpp"
#include "quarvo/juicefs/mount_options.hpp"

namespace quarvo {

// MountVolume: what the caller asks of a mount.
struct MountVolume {
  std::string name;
  std::filesystem::path path;  // absolute once the service has resolved it
  bool foreground = false;
  bool check_storage = false;
  SettingChanges settings{};  // for this mount only, over the volume's own
};

// A client connected to a volume's metadata engine: a mount, on some host.
struct BackendSession {
  std::string host;
  std::string mountpoint;
  std::int64_t pid = 0;
  // When the engine gives up on it unless it reports again; a session past
  // this is dead, and the backend's destroy clears it itself.
  std::optional<std::chrono::system_clock::time_point> expires;
};

// What `status` reports about a volume.
struct BackendStatus {
  std::string name;
  std::string uuid;
  std::string storage;
  std::string bucket;
  std::optional<std::uint64_t> used_bytes;
  std::optional<std::uint64_t> used_inodes;
  std::vector<BackendSession> sessions;
};

// The status JSON ("Setting" with Name, UUID, Storage, Bucket; "Stat" with
// UsedSpace, UsedInodes; "Sessions"); nullopt unless it is such JSON with a
// UUID.
[[nodiscard]] std::optional<BackendStatus> parse_backend_status(std::string_view json);

class JuiceFs {
 public:
  explicit JuiceFs(std::filesystem::path program) : program_(std::move(program)) {}

  // Formats the volume, or finds it already there; VolumeMismatch when the
  // engine holds another volume.
  [[nodiscard]] Result<CommandOutput> format(const Volume& volume, const WaitLimits& limits) const;
  // Starts the mount command with the options of `volume.settings` (the
  // settings the mount runs with, checked): in the background as a daemon
  // logging to `log_path`, in the foreground with the caller's own streams.
  [[nodiscard]] Result<Child> start_mount(const Volume& volume, const MountVolume& request,
                                          const std::filesystem::path& log_path) const;
  // The CommandFailed of a mount command that ended with `wait_status`, with
  // what it wrote (in the background: to its log) and its reason; in the
  // foreground its args are "mount" and its output went to the caller's
  // terminal.
  [[nodiscard]] QuarvoError mount_failure(const Volume& volume, const MountVolume& request,
                                          const std::filesystem::path& log_path, int wait_status,
                                          CommandOutput output) const;
  [[nodiscard]] Result<CommandOutput> unmount(const std::filesystem::path& mountpoint, bool force, bool flush,
                                              const WaitLimits& limits) const;

  // The engine's view of the volume. Io "unreadable status output" when the
  // backend succeeds but prints no status JSON. Note that for an SQLite URL
  // the backend creates the database file when it is missing.
  [[nodiscard]] Result<BackendStatus> status(const std::string& metadata_url, const WaitLimits& limits) const;
  // Deletes the volume's objects and metadata. The backend refuses while
  // sessions are connected.
  [[nodiscard]] Result<CommandOutput> destroy(const std::string& metadata_url, const std::string& uuid,
                                              const WaitLimits& limits) const;

 private:
  // The command lines above.
  [[nodiscard]] CommandSpec format_spec(const Volume& volume) const;
  [[nodiscard]] CommandSpec mount_spec(const Volume& volume, const MountVolume& request,
                                       const std::filesystem::path& log_path) const;
  [[nodiscard]] CommandSpec unmount_spec(const std::filesystem::path& mountpoint, bool force, bool flush) const;
  [[nodiscard]] CommandSpec status_spec(const std::string& metadata_url) const;
  [[nodiscard]] CommandSpec destroy_spec(const std::string& metadata_url, const std::string& uuid) const;

  // PROGRAM SUBCOMMAND META with the password of `metadata_url` in the
  // environment instead of the command line.
  [[nodiscard]] CommandSpec meta_command(std::string_view subcommand, const std::string& metadata_url) const;

  std::filesystem::path program_;
};

}  // namespace quarvo

#endif  // QUARVO_JUICEFS_JUICEFS_HPP_
