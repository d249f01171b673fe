// quarvo/juicefs/juicefs.hpp: the command lines of the storage backend.
//
//   format  : format META NAME --storage S --bucket B --trash-days 0 --no-update
//   mount   : mount META MOUNTPOINT --log LOG [--check-storage]
//   unmount : umount [--flush] [--force] MOUNTPOINT
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
  // Starts the mount command: in the background as a daemon logging to
  // `log_path`, in the foreground with the caller's own streams.
  [[nodiscard]] Result<Child> start_mount(const Volume& volume, const MountVolume& request,
                                          const std::filesystem::path& log_path) const;
  // The CommandFailed of a mount command that ended with `wait_status`, with
  // what it wrote (in the background: to its log); in the foreground its
  // args are "mount" and its output went to the caller's terminal.
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
