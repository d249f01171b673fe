#include "quarvo/service/service.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>
#include <utility>

#include "quarvo/core/config.hpp"
#include "quarvo/core/file_io.hpp"
#include "quarvo/core/store.hpp"
#include "quarvo/core/text.hpp"
#include "quarvo/core/time.hpp"
#include "quarvo/core/validation.hpp"
#include "quarvo/juicefs/command.hpp"
#include "quarvo/service/lifecycle.hpp"

namespace quarvo {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kBackendName = "juicefs";
constexpr std::string_view kProbeContent = "quarvo";
constexpr std::string_view kProbePrefix = ".quarvo-probe-";
constexpr std::string_view kFlushMarker = ".quarvo-flush";
constexpr std::string_view kUnexpectedProbeData = "mount probe returned unexpected data";

// Flags for the files we create inside a mountpoint (open_fd adds
// O_CLOEXEC). O_NOFOLLOW: a symbolic link planted under the name must not
// redirect our truncating write to a file elsewhere; the open fails with
// ELOOP instead. O_NONBLOCK: a FIFO planted there must not block the call
// for ever; opening one without a reader fails with ENXIO (for a regular
// file the flag changes nothing).
constexpr int kCreateInMountpoint = O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK;

// Reads the file to its end, but no further than `limit` bytes: whatever
// holds more than the probe content is wrong anyway, and a planted device
// such as /dev/zero would otherwise never end. Returns the errno on failure.
[[nodiscard]] int read_up_to(int fd, size_t limit, std::string& out) {
  char buf[64];
  while (out.size() < limit) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  return 0;
}

// A development volume lives in dev_dir()/NAME, so "." and ".." would put
// its data in the home's "dev" directory itself or in the home root.
[[nodiscard]] bool escapes_dev_dir(std::string_view name) { return name == "." || name == ".."; }

[[nodiscard]] Result<void> check_dev_name(const InitVolume& request) {
  if (request.dev && escapes_dev_dir(request.name)) {
    return std::unexpected(QuarvoError::invalid_volume_name(request.name));
  }
  return {};
}

// The metadata URL of a development volume is "sqlite3://" + its path, and
// the backend reads a "?" in it as the start of its options ("#" may start
// a fragment): such a home would put the database somewhere else.
[[nodiscard]] Result<void> check_sqlite_path(const fs::path& volume_dir) {
  const std::string text = path_text(volume_dir);
  const size_t at = text.find_first_of("?#");
  if (at == std::string::npos) return {};
  return std::unexpected(QuarvoError::io(OsError::with_message(
      EINVAL, "a development volume cannot live at " + text + ": its metadata URL would read \"" +
                  std::string(1, text[at]) + "\" as the start of options; use a Quarvo home without '?' or '#'")));
}

// The storage kind and bucket of a configured (non-development) volume.
[[nodiscard]] Result<StoreSpec> configured_store(const InitVolume& request) {
  if (request.store) {
    if (request.storage || request.bucket) return std::unexpected(QuarvoError::missing_object_storage());
    return parse_store_url(*request.store);
  }
  if (!request.storage || !request.bucket) return std::unexpected(QuarvoError::missing_object_storage());
  return StoreSpec{*request.storage, *request.bucket};
}

// The requested mountpoint made absolute against the current directory, with
// nothing else resolved: the user sees the path they asked for.
[[nodiscard]] Result<fs::path> absolute_mountpoint(const fs::path& path) {
  if (path.is_absolute()) return path;
  std::error_code ec;
  fs::path cwd = fs::current_path(ec);
  if (ec) return std::unexpected(QuarvoError::io_errno(ec.value()));
  return cwd / path;
}

}  // namespace

Result<void> probe_mount(const fs::path& mountpoint) {
  const fs::path probe = mountpoint / (std::string(kProbePrefix) + std::to_string(::getpid()));
  {
    auto fd = open_fd(probe, kCreateInMountpoint, 0666);
    if (!fd) return std::unexpected(QuarvoError::io_at_errno(probe, fd.error()));
    if (int err = write_all(fd->get(), kProbeContent)) return std::unexpected(QuarvoError::io_at_errno(probe, err));
    // A file system may report a deferred write error only on close.
    if (::close(fd->release()) != 0) return std::unexpected(QuarvoError::io_at_errno(probe, errno));
  }
  // A second open reads through the file system anew instead of trusting
  // anything the first descriptor might have cached.
  std::string content;
  {
    auto fd = open_fd(probe, O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
    if (!fd) return std::unexpected(QuarvoError::io_at_errno(probe, fd.error()));
    if (int err = read_up_to(fd->get(), kProbeContent.size() + 1, content)) {
      return std::unexpected(QuarvoError::io_at_errno(probe, err));
    }
  }
  if (content != kProbeContent) {
    // Left in place: it is the evidence of what the mountpoint serves.
    return std::unexpected(QuarvoError::io(OsError::with_message(EIO, std::string(kUnexpectedProbeData))));
  }
  if (::unlink(probe.c_str()) != 0) return std::unexpected(QuarvoError::io_at_errno(probe, errno));
  return {};
}

Result<Quarvo> Quarvo::from_env() {
  auto home = QuarvoHome::from_env();
  if (!home) return std::unexpected(std::move(home).error());
  return create(std::move(*home));
}

Result<Quarvo> Quarvo::create(QuarvoHome home) {
  QUARVO_TRY(home.ensure_layout());
  auto config = Config::load(home);
  if (!config) return std::unexpected(std::move(config).error());
  auto program = detect_storage_backend_bin(home, config->storage_backend_bin);
  if (!program) return std::unexpected(QuarvoError::storage_backend_missing());
  return Quarvo(std::move(home), std::move(*program), config->command_timeout);
}

Result<DoctorReport> Quarvo::doctor() const { return ::quarvo::doctor(home_); }

Result<VolumeInfo> Quarvo::init(const InitVolume& request) const { return provision(request, false); }

Result<VolumeInfo> Quarvo::ensure_volume(const InitVolume& request) const { return provision(request, true); }

Result<VolumeInfo> Quarvo::provision(const InitVolume& request, bool existing_ok) const {
  QUARVO_TRY(validate_volume_name(request.name));
  // init can only fail for such a name (it exists, or it would be created
  // outside the dev directory), so it fails before taking the lock;
  // ensure_volume still returns an existing record of that name and refuses
  // only to create one (build_volume).
  if (!existing_ok) QUARVO_TRY(check_dev_name(request));

  auto lock = registry_.lock();
  if (!lock) return std::unexpected(std::move(lock).error());

  auto exists = registry_.exists(request.name);
  if (!exists) return std::unexpected(std::move(exists).error());
  if (*exists) {
    if (!existing_ok) return std::unexpected(QuarvoError::volume_exists(request.name));
    auto stored = registry_.read(request.name);
    if (!stored) return std::unexpected(std::move(stored).error());
    return VolumeInfo::from(*stored);
  }

  auto volume = build_volume(request);
  if (!volume) return std::unexpected(std::move(volume).error());
  auto formatted = juicefs_.format(*volume);
  if (!formatted) return std::unexpected(std::move(formatted).error());
  QUARVO_TRY(registry_.write(*volume));
  return VolumeInfo::from(*volume);
}

Result<Volume> Quarvo::build_volume(const InitVolume& request) const {
  Volume volume;
  volume.name = request.name;
  volume.backend = std::string(kBackendName);
  volume.dev = request.dev;
  volume.created_at = now_rfc3339();
  volume.updated_at = volume.created_at;

  if (!request.dev) {
    if (!request.metadata) return std::unexpected(QuarvoError::missing_metadata_url());
    auto store = configured_store(request);
    if (!store) return std::unexpected(std::move(store).error());
    volume.metadata_url = *request.metadata;
    volume.storage = std::move(store->storage);
    volume.bucket = std::move(store->bucket);
    return volume;
  }

  QUARVO_TRY(check_dev_name(request));
  const fs::path volume_dir = home_.dev_dir() / request.name;
  QUARVO_TRY(check_sqlite_path(volume_dir));
  const fs::path objects = volume_dir / "objects";
  if (int err = quarvo::create_directories(objects, kPrivateDirectoryMode)) {
    return std::unexpected(QuarvoError::io_at_errno(objects, err));
  }
  StoreSpec store = dev_store(objects);
  volume.metadata_url = "sqlite3://" + path_text(volume_dir / "metadata.db");
  volume.storage = std::move(store.storage);
  volume.bucket = std::move(store.bucket);
  return volume;
}

Result<MountedVolume> Quarvo::mount(const MountVolume& request) const {
  QUARVO_TRY(validate_volume_name(request.name));
  QUARVO_TRY(require_mount_support());

  // The system takes paths as C strings: a NUL byte would cut the path short
  // and have us create and mount a directory other than the one asked for.
  if (request.path.native().find('\0') != std::string::npos) {
    return std::unexpected(QuarvoError::io_at_errno(request.path, EINVAL));
  }
  struct stat st{};
  if (::stat(request.path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) {
    return std::unexpected(QuarvoError::mountpoint_not_directory(request.path));
  }

  auto lock = registry_.lock();
  if (!lock) return std::unexpected(std::move(lock).error());
  auto volume = registry_.read(request.name);
  if (!volume) return std::unexpected(std::move(volume).error());
  // Only for a volume that exists: a typo in the name creates no directory.
  if (int err = quarvo::create_directories(request.path)) {
    return std::unexpected(QuarvoError::io_at_errno(request.path, err));
  }
  QUARVO_TRY(rotate_volume_log(home_, request.name));

  auto mountpoint = absolute_mountpoint(request.path);
  if (!mountpoint) return std::unexpected(std::move(mountpoint).error());
  const fs::path log_path = home_.volume_log_path(request.name);

  // The daemon appends to the log, which may hold what the volume's paths
  // and errors reveal: it is created private before the backend opens it.
  if (int err = create_private_file(log_path)) return std::unexpected(QuarvoError::io_at_errno(log_path, err));

  MountVolume resolved = request;
  resolved.path = *mountpoint;
  QUARVO_TRY(juicefs_.mount(*volume, resolved, log_path));

  if (request.foreground) {
    // The attached backend has exited, so the file system is no longer
    // mounted: nothing to probe, and the record must not claim a mountpoint.
    volume->mountpoint.reset();
  } else {
    QUARVO_TRY(probe_mount(*mountpoint));
    volume->mountpoint = *mountpoint;
  }
  volume->updated_at = now_rfc3339();
  QUARVO_TRY(registry_.write(*volume));
  return MountedVolume{volume->name, std::move(*mountpoint)};
}

Result<void> Quarvo::flush(std::string_view name) const {
  QUARVO_TRY(validate_volume_name(name));
  auto volume = registry_.read(name);
  if (!volume) return std::unexpected(std::move(volume).error());
  if (!volume->mountpoint) return std::unexpected(QuarvoError::volume_not_mounted(std::string(name)));
  const fs::path& mountpoint = *volume->mountpoint;
  QUARVO_TRY(probe_mount(mountpoint));

  const fs::path marker = mountpoint / kFlushMarker;
  auto fd = open_fd(marker, kCreateInMountpoint, 0666);
  if (!fd) return std::unexpected(QuarvoError::io_at_errno(marker, fd.error()));
  if (::fsync(fd->get()) != 0) return std::unexpected(QuarvoError::io_errno(errno));
  if (::unlink(marker.c_str()) != 0) return std::unexpected(QuarvoError::io_at_errno(marker, errno));
  // The system-wide sync is a best effort on top of the marker's fsync: a
  // machine without the program, or a sync that fails, does not fail a flush.
  if (auto child = CommandSpec("sync").spawn()) (void)child->wait();
  // The marker stays open across the sync so the backend sees an open file
  // being synced, and is closed only now.
  fd->reset();
  return {};
}

Result<void> Quarvo::unmount(std::string_view name, bool force) const {
  QUARVO_TRY(validate_volume_name(name));
  auto lock = registry_.lock();
  if (!lock) return std::unexpected(std::move(lock).error());
  auto volume = registry_.read(name);
  if (!volume) return std::unexpected(std::move(volume).error());
  if (!volume->mountpoint) return std::unexpected(QuarvoError::volume_not_mounted(std::string(name)));
  auto out = juicefs_.unmount(*volume->mountpoint, force);
  if (!out) return std::unexpected(std::move(out).error());
  volume->mountpoint.reset();
  volume->updated_at = now_rfc3339();
  return registry_.write(*volume);
}

Result<std::vector<VolumeInfo>> Quarvo::status(const std::optional<std::string>& name) const {
  if (!name) return registry_.list_info();
  auto volume = registry_.read(*name);
  if (!volume) return std::unexpected(std::move(volume).error());
  std::vector<VolumeInfo> infos;
  infos.push_back(VolumeInfo::from(std::move(*volume)));
  return infos;
}

}  // namespace quarvo
