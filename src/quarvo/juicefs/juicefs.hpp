// quarvo/juicefs/juicefs.hpp: the command lines of the storage backend.
//
//   format  : format META NAME --storage S --bucket B --trash-days 0 --no-update
//   mount   : mount META MOUNTPOINT --log LOG [-d] [--check-storage]
//   unmount : umount --flush [--force] MOUNTPOINT
//   status  : status META
//
// "-d" is given for a background mount, which `run`s to completion while the
// backend's daemon keeps serving; a foreground mount is `spawn`ed with the
// caller's streams and waited for until the file system is unmounted. Paths
// go on the command line as lossy UTF-8 text.
//
// No command line carries the metadata engine's password: META is the URL
// without it, and the password goes in the child's META_PASSWORD (with
// REDIS_PASSWORD, which the backend would read first, removed).
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

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "quarvo/core/error.hpp"
#include "quarvo/core/models.hpp"
#include "quarvo/juicefs/command.hpp"

namespace quarvo {

// MountVolume: what the caller asks of a mount.
struct MountVolume {
  std::string name;
  std::filesystem::path path;  // absolute once the service has resolved it
  bool foreground = false;
  bool check_storage = false;
};

// A volume as the metadata engine holds it (the "Setting" of `status`).
struct StoredVolume {
  std::string name;
  std::string storage;
  std::string bucket;

  bool operator==(const StoredVolume&) const = default;
};

// The volume in the JSON that `juicefs status` prints; nullopt when the text
// is not such JSON or lacks one of the three settings.
[[nodiscard]] std::optional<StoredVolume> parse_stored_volume(std::string_view status_json);

// A request's bucket as the backend stores it: a "file" bucket absolute
// (against the working directory, which the backend shares), lexically
// normal and ending in "/"; credentials in a bucket URL dropped.
[[nodiscard]] std::string stored_bucket(std::string_view storage, std::string_view bucket);

class JuiceFs {
 public:
  explicit JuiceFs(std::filesystem::path program) : program_(std::move(program)) {}

  [[nodiscard]] const std::filesystem::path& program() const { return program_; }

  [[nodiscard]] CommandSpec format_spec(const Volume& volume) const;
  [[nodiscard]] CommandSpec mount_spec(const Volume& volume, const MountVolume& request,
                                       const std::filesystem::path& log_path) const;
  [[nodiscard]] CommandSpec unmount_spec(const std::filesystem::path& mountpoint, bool force) const;
  [[nodiscard]] CommandSpec status_spec(const std::string& metadata_url) const;

  // Formats the volume, or finds it already there; VolumeMismatch when the
  // engine holds another volume.
  [[nodiscard]] Result<CommandOutput> format(const Volume& volume) const;
  // The volume the engine at `metadata_url` holds.
  [[nodiscard]] Result<StoredVolume> status(const std::string& metadata_url) const;
  // Background: run to completion. Foreground: spawn, wait; a non-zero status
  // is CommandFailed with args "mount" and no captured output.
  [[nodiscard]] Result<void> mount(const Volume& volume, const MountVolume& request,
                                   const std::filesystem::path& log_path) const;
  [[nodiscard]] Result<CommandOutput> unmount(const std::filesystem::path& mountpoint, bool force) const;

 private:
  // PROGRAM SUBCOMMAND META with the password of `metadata_url` in the
  // environment instead of the command line.
  [[nodiscard]] CommandSpec meta_command(std::string_view subcommand, const std::string& metadata_url) const;

  std::filesystem::path program_;
};

}  // namespace quarvo

#endif  // QUARVO_JUICEFS_JUICEFS_HPP_
