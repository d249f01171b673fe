// quarvo/juicefs/juicefs.hpp: the command lines of the storage backend.
//
//   format  : format META NAME --storage S --bucket B --trash-days 0 --no-update
//   mount   : mount META MOUNTPOINT --log LOG [-d] [--check-storage]
//   unmount : umount --flush [--force] MOUNTPOINT
//
// "-d" is given for a background mount, which `run`s to completion while the
// backend's daemon keeps serving; a foreground mount is `spawn`ed with the
// caller's streams and waited for until the file system is unmounted. Paths
// go on the command line as lossy UTF-8 text.
#ifndef QUARVO_JUICEFS_JUICEFS_HPP_
#define QUARVO_JUICEFS_JUICEFS_HPP_

#include <filesystem>
#include <string>

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

class JuiceFs {
 public:
  explicit JuiceFs(std::filesystem::path program) : program_(std::move(program)) {}

  [[nodiscard]] const std::filesystem::path& program() const { return program_; }

  [[nodiscard]] CommandSpec format_spec(const Volume& volume) const;
  [[nodiscard]] CommandSpec mount_spec(const Volume& volume, const MountVolume& request,
                                       const std::filesystem::path& log_path) const;
  [[nodiscard]] CommandSpec unmount_spec(const std::filesystem::path& mountpoint, bool force) const;

  [[nodiscard]] Result<CommandOutput> format(const Volume& volume, const WaitLimits& limits = {}) const;
  // Background: run to completion. Foreground: spawn, wait; a non-zero status
  // is CommandFailed with args "mount" and no captured output.
  [[nodiscard]] Result<void> mount(const Volume& volume, const MountVolume& request,
                                   const std::filesystem::path& log_path, const WaitLimits& limits = {}) const;
  [[nodiscard]] Result<CommandOutput> unmount(const std::filesystem::path& mountpoint, bool force,
                                              const WaitLimits& limits = {}) const;

 private:
  std::filesystem::path program_;
};

}  // namespace quarvo

#endif  // QUARVO_JUICEFS_JUICEFS_HPP_
