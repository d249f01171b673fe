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
  if (!request.foreground) spec.arg("-d");
  if (request.check_storage) spec.arg("--check-storage");
  return spec;
}

CommandSpec JuiceFs::unmount_spec(const std::filesystem::path& mountpoint, bool force) const {
  CommandSpec spec = CommandSpec(program_).arg("umount").arg("--flush");
  if (force) spec.arg("--force");
  spec.arg(path_text(mountpoint));
  return spec;
}

Result<CommandOutput> JuiceFs::format(const Volume& volume) const { return format_spec(volume).run(); }

Result<void> JuiceFs::mount(const Volume& volume, const MountVolume& request,
                            const std::filesystem::path& log_path) const {
  const CommandSpec spec = mount_spec(volume, request, log_path);
  if (!request.foreground) {
    // "-d": the backend detaches its daemon and exits once the mount is up.
    auto output = spec.run();
    if (!output) return std::unexpected(std::move(output).error());
    return {};
  }
  // Attached to the caller's terminal; returns when the file system is unmounted.
  auto child = spec.spawn();
  if (!child) return std::unexpected(std::move(child).error());
  auto status = child->wait();
  if (!status) return std::unexpected(std::move(status).error());
  if (*status == 0) return {};
  return std::unexpected(QuarvoError::command_failed(CommandFailure{
      path_text(program_),
      "mount",
      wait_status_text(*status),
      {},
      {},
  }));
}

Result<CommandOutput> JuiceFs::unmount(const std::filesystem::path& mountpoint, bool force) const {
  return unmount_spec(mountpoint, force).run();
}

}  // namespace quarvo
