// quarvo/juicefs/juicefs.hpp: the command lines of the storage backend.
//
//   format  : format META NAME --storage S --bucket B --trash-days 0 --no-update
//   mount   : mount META MOUNTPOINT --log LOG [-d] [--check-storage]
//   unmount : umount [--flush] [--force] MOUNTPOINT
//
// "-d" is given for a background mount, whose command detaches the backend's
// daemon; a foreground mount runs with the caller's streams and serves until
// the file system is unmounted. The caller starts either and decides when it
// is ready (the mount table), so the backend's own fixed wait before it
// returns is not waited out. "--flush" has the backend reach the mount's
// daemon through the mount's .config first, so it is left out for a mount
// whose daemon is gone. Paths go on the command line as lossy UTF-8 text.
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
  [[nodiscard]] CommandSpec unmount_spec(const std::filesystem::path& mountpoint, bool force, bool flush = true) const;

  [[nodiscard]] Result<CommandOutput> format(const Volume& volume, const WaitLimits& limits = {}) const;
  // Starts the mount command: output captured in the background, the
  // caller's own streams in the foreground.
  [[nodiscard]] Result<Child> start_mount(const Volume& volume, const MountVolume& request,
                                          const std::filesystem::path& log_path) const;
  // The CommandFailed of a mount command that ended with `wait_status`; in
  // the foreground its args are "mount" and no output was captured.
  [[nodiscard]] QuarvoError mount_failure(const Volume& volume, const MountVolume& request,
                                          const std::filesystem::path& log_path, int wait_status,
                                          CommandOutput output) const;
  [[nodiscard]] Result<CommandOutput> unmount(const std::filesystem::path& mountpoint, bool force, bool flush,
                                              const WaitLimits& limits = {}) const;

 private:
  std::filesystem::path program_;
};

}  // namespace quarvo

#endif  // QUARVO_JUICEFS_JUICEFS_HPP_
