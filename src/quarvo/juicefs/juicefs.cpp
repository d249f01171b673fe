#include "quarvo/juicefs/juicefs.hpp"
#include "quarvo/core/text.hpp"

#include <utility>

namespace quarvo {

CommandSpec JuiceFs::format_spec(const Volume& volume) const {
  // The metadata URL comes before the volume name; trash is never kept.
  return CommandSpec(program_)
      .arg("format")
      .arg(volume.metadata_url)
      .arg(volume.name)
      .arg("--storage")
      .arg(volume.storage)
      .arg("--bucket")
      .arg(volume.bucket)
      .arg("--trash-days")
      .arg("0")
      .arg("--no-update");
}

CommandSpec JuiceFs::mount_spec(const Volume& volume, const MountVolume& request,
                                const std::filesystem::path& log_path) const {
  CommandSpec spec = CommandSpec(program_)
                         .arg("mount")
                         .arg(volume.metadata_url)
                         .arg(path_text(request.path))
                         .arg("--log")
                         .arg(path_text(log_path));
  if (request.check_storage) spec.arg("--check-storage");
  return spec;
}

CommandSpec JuiceFs::unmount_spec(const std::filesystem::path& mountpoint, bool force, bool flush) const {
  CommandSpec spec = CommandSpec(program_).arg("umount");
  if (flush) spec.arg("--flush");
  if (force) spec.arg("--force");
  spec.arg(path_text(mountpoint));
  return spec;
}

Result<CommandOutput> JuiceFs::format(const Volume& volume, const WaitLimits& limits) const {
  return format_spec(volume).run(limits);
}

Result<Child> JuiceFs::start_mount(const Volume& volume, const MountVolume& request,
                                   const std::filesystem::path& log_path) const {
  const CommandSpec spec = mount_spec(volume, request, log_path);
  return request.foreground ? spec.spawn() : spec.start_detached(log_path);
}

QuarvoError JuiceFs::mount_failure(const Volume& volume, const MountVolume& request,
                                   const std::filesystem::path& log_path, int wait_status,
                                   CommandOutput output) const {
  if (!request.foreground) return mount_spec(volume, request, log_path).failure(wait_status, std::move(output));
  // Its output went to the caller's terminal.
  return QuarvoError::command_failed(CommandFailure{path_text(program_), "mount", wait_status_text(wait_status), {}, {}});
}

Result<CommandOutput> JuiceFs::unmount(const std::filesystem::path& mountpoint, bool force, bool flush,
                                       const WaitLimits& limits) const {
  return unmount_spec(mountpoint, force, flush).run(limits);
}

}  // namespace quarvo
