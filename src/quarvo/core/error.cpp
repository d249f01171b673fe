#include "quarvo/core/error.hpp"

#include <cstring>

#include "quarvo/core/text.hpp"

namespace quarvo {
namespace {

// A path as a message shows it: read lossily, with what Python would not
// print escaped, so that no path can break the message's line or reach a
// terminal as a control sequence (the error's `path` keeps it as it is).
std::string shown_path(const std::filesystem::path& path) { return escape_unprintable(path.native()); }

}  // namespace

std::string OsError::text() const {
  if (!custom.empty()) return custom;
  // strerror_r comes in two flavours; the GNU one may return a static string.
  char buf[256];
  const char* description = buf;
#if defined(__GLIBC__) && defined(_GNU_SOURCE)
  description = strerror_r(code, buf, sizeof buf);
#else
  if (strerror_r(code, buf, sizeof buf) != 0) std::snprintf(buf, sizeof buf, "Unknown error %d", code);
#endif
  return std::string(description) + " (os error " + std::to_string(code) + ")";
}

QuarvoError QuarvoError::with_text(ErrorKind kind, std::string text) {
  QuarvoError e(kind);
  e.text_ = std::move(text);
  return e;
}

QuarvoError QuarvoError::invalid_volume_name(std::string name) {
  return with_text(ErrorKind::InvalidVolumeName, std::move(name));
}
QuarvoError QuarvoError::volume_exists(std::string name) { return with_text(ErrorKind::VolumeExists, std::move(name)); }
QuarvoError QuarvoError::volume_not_found(std::string name) {
  return with_text(ErrorKind::VolumeNotFound, std::move(name));
}
QuarvoError QuarvoError::storage_backend_missing() { return QuarvoError(ErrorKind::StorageBackendMissing); }
QuarvoError QuarvoError::auto_install_unsupported(std::string platform) {
  return with_text(ErrorKind::AutoInstallUnsupported, std::move(platform));
}
QuarvoError QuarvoError::storage_backend_install_failed(std::string detail) {
  return with_text(ErrorKind::StorageBackendInstallFailed, std::move(detail));
}
QuarvoError QuarvoError::unsupported_store_url(std::string url) {
  return with_text(ErrorKind::UnsupportedStoreUrl, std::move(url));
}
QuarvoError QuarvoError::missing_metadata_url() { return QuarvoError(ErrorKind::MissingMetadataUrl); }
QuarvoError QuarvoError::missing_object_storage() { return QuarvoError(ErrorKind::MissingObjectStorage); }
QuarvoError QuarvoError::mountpoint_not_directory(std::filesystem::path path) {
  QuarvoError e(ErrorKind::MountpointNotDirectory);
  e.path_ = std::move(path);
  return e;
}
QuarvoError QuarvoError::volume_not_mounted(std::string name) {
  return with_text(ErrorKind::VolumeNotMounted, std::move(name));
}
QuarvoError QuarvoError::mount_support_unavailable(std::string detail, std::string fix) {
  QuarvoError e = with_text(ErrorKind::MountSupportUnavailable, std::move(detail));
  e.fix_ = std::move(fix);
  return e;
}
QuarvoError QuarvoError::command_failed(CommandFailure failure) {
  QuarvoError e(ErrorKind::CommandFailed);
  e.command_ = std::move(failure);
  return e;
}
QuarvoError QuarvoError::io_at(std::filesystem::path path, OsError source) {
  QuarvoError e = io(std::move(source));
  e.kind_ = ErrorKind::IoAt;
  e.path_ = std::move(path);
  return e;
}
QuarvoError QuarvoError::io(OsError source) {
  QuarvoError e(ErrorKind::Io);
  e.os_ = std::move(source);
  return e;
}
QuarvoError QuarvoError::toml_parse(TomlParseError error) {
  return with_text(ErrorKind::TomlParse, std::move(error.text));
}
QuarvoError QuarvoError::toml_write(TomlWriteError error) {
  return with_text(ErrorKind::TomlWrite, std::move(error.text));
}

QuarvoError QuarvoError::timed_out(std::string what, std::string seconds) {
  QuarvoError e = with_text(ErrorKind::TimedOut, std::move(what));
  e.detail_ = std::move(seconds);
  return e;
}
QuarvoError QuarvoError::interrupted() { return QuarvoError(ErrorKind::Interrupted); }
QuarvoError QuarvoError::volume_mounted(std::string name, std::filesystem::path mountpoint) {
  QuarvoError e = with_text(ErrorKind::VolumeMounted, std::move(name));
  e.path_ = std::move(mountpoint);
  return e;
}
QuarvoError QuarvoError::mount_failed(std::string name, std::filesystem::path mountpoint, std::string detail) {
  QuarvoError e = with_text(ErrorKind::MountFailed, std::move(name));
  e.path_ = std::move(mountpoint);
  e.detail_ = std::move(detail);
  return e;
}
QuarvoError QuarvoError::volume_mismatch(std::string name, std::string detail) {
  QuarvoError e = with_text(ErrorKind::VolumeMismatch, std::move(name));
  e.detail_ = std::move(detail);
  return e;
}

std::string QuarvoError::message() const {
  switch (kind_) {
    case ErrorKind::InvalidVolumeName:
      return "invalid volume name " + quote(text_) + "; use only letters, numbers, '.', '_' and '-'";
    case ErrorKind::VolumeExists:
      return "volume " + quote(text_) + " already exists";
    case ErrorKind::VolumeNotFound:
      return "volume " + quote(text_) + " does not exist";
    case ErrorKind::StorageBackendMissing:
      return "Quarvo storage backend is not installed; run `quarvo doctor --install` or rerun the Quarvo "
             "installer";
    case ErrorKind::AutoInstallUnsupported:
      return "Quarvo cannot auto-install the storage backend on " + text_;
    case ErrorKind::StorageBackendInstallFailed:
      return "could not install the Quarvo storage backend: " + text_;
    case ErrorKind::UnsupportedStoreUrl:
      return "unsupported store URL " + quote(text_) + "; use file://, s3://, gs://, or pass --storage and --bucket";
    case ErrorKind::MissingMetadataUrl:
      return "missing metadata URL; pass --metadata or use --dev";
    case ErrorKind::MissingObjectStorage:
      return "missing object storage config; pass --store or --storage and --bucket";
    case ErrorKind::MountpointNotDirectory:
      return "mountpoint " + shown_path(path_) + " exists and is not a directory";
    case ErrorKind::VolumeNotMounted:
      return "volume " + quote(text_) + " is not mounted";
    case ErrorKind::MountSupportUnavailable:
      return "local mount support is unavailable: " + text_ + "\nFix: " + fix_;
    case ErrorKind::CommandFailed:
      return "Quarvo storage backend command failed (" + command_.status + ")";
    case ErrorKind::IoAt:
      return "I/O error at " + shown_path(path_) + ": " + os_.text();
    case ErrorKind::Io:
      return os_.text();
    case ErrorKind::TomlParse:
    case ErrorKind::TomlWrite:
      return text_;
    case ErrorKind::TimedOut:
      return text_ + " timed out after " + detail_ + " s";
    case ErrorKind::Interrupted:
      return "interrupted";
    case ErrorKind::VolumeMounted:
      return "volume " + quote(text_) + " is mounted at " + shown_path(path_);
    case ErrorKind::MountFailed:
      return "could not mount volume " + quote(text_) + " at " + shown_path(path_) + ": " + detail_;
    case ErrorKind::VolumeMismatch:
      return "the metadata engine does not hold volume " + quote(text_) + ": " + detail_;
  }
  return "unknown error";  // unreachable: the switch covers every kind
}

}  // namespace quarvo
