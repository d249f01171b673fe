// quarvo/service/inspection.hpp: everything known about one volume.
//
// `inspect_volume` needs no backend program and no Quarvo object: it reads
// the record, asks the mount table and the mount, and (when told to) asks
// the backend for the engine's view, within the caller's bound (else the one
// QUARVO_COMMAND_TIMEOUT or config.toml sets) and the caller's cancel.
//
//   auto d = inspect_volume(home, "data", /*ask_backend=*/true, std::nullopt, cancel);
//   if (d && d->backend_error) ... d->backend_error->message() ...
#ifndef QUARVO_SERVICE_INSPECTION_HPP_
#define QUARVO_SERVICE_INSPECTION_HPP_

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quarvo/core/cancel.hpp"
#include "quarvo/core/error.hpp"
#include "quarvo/core/models.hpp"
#include "quarvo/core/paths.hpp"
#include "quarvo/juicefs/juicefs.hpp"
#include "quarvo/service/live_state.hpp"
#include "quarvo/service/private_mount.hpp"
#include "quarvo/service/volume_files.hpp"

namespace quarvo {

// Everything known about one volume.
struct VolumeDetails {
  std::string name;
  std::filesystem::path record;       // the record file
  Result<Volume> volume;              // the error when the record cannot be read
  MountCheck check;                   // the live state of the recorded mountpoint
  std::optional<MountAccess> access;  // who may reach the mount, when it is mounted
  std::filesystem::path log;
  std::optional<std::uintmax_t> log_bytes;  // nullopt: no log yet
  std::filesystem::path old_log;
  std::optional<DevPaths> dev;                     // development volumes only
  std::vector<std::filesystem::path> cache_dirs;   // the volume's cache directories on this machine
  std::optional<std::filesystem::path> cache_dir;  // where its mounts keep their cache; known with the UUID
  std::uintmax_t cache_bytes = 0;                  // what cache_dirs take on disk
  std::optional<MountConfig> mount;                // a mounted volume's own word (.config)
  std::optional<BackendStatus> backend;            // what the backend reported
  std::optional<QuarvoError> backend_error;        // why it did not, when it was asked
};

// The record, its live state, the paths, the cache directories that exist
// (and where the cache goes: the live mount's, else where the volume's
// settings put it), a mounted volume's .config and, when `ask_backend`, the
// backend's status (with no backend program installed, or none within the
// bound, backend_error says so). The bound is `timeout` when given, else the
// configured command timeout; it caps the wait for the mount's answer too.
// InvalidVolumeName or VolumeNotFound for the name; UnsafePath for a backend
// program that is not safe to run; Interrupted on a cancel request; an
// unreadable record is details with its error.
[[nodiscard]] Result<VolumeDetails> inspect_volume(const QuarvoHome& home, std::string_view name, bool ask_backend,
                                                   std::optional<std::chrono::milliseconds> timeout,
                                                   const Cancel& cancel);

}  // namespace quarvo

#endif  // QUARVO_SERVICE_INSPECTION_HPP_
