#include "quarvo/core/error.hpp"

#include <cstring>

#include "quarvo/core/secrets.hpp"
#include "quarvo/core/text.hpp"
#include "quarvo/core/time.hpp"
#include "quarvo/core/validation.hpp"

namespace quarvo {
namespace {

// A path as a message shows it: cut to a line's worth, read lossily, with
// what Python would not print escaped, so that no path can break the
// message's line or reach a terminal as a control sequence (the error's
// `path` keeps it as it is).
std::string shown_path(const std::filesystem::path& path) { return escape_unprintable(cut_for_message(path.native())); }

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

QuarvoError QuarvoError::of(ErrorKind kind, ErrorFields fields) { return QuarvoError(kind, std::move(fields)); }

QuarvoError QuarvoError::invalid_volume_name(std::string name) {
  return of(ErrorKind::InvalidVolumeName, {.name = std::move(name)});
}
QuarvoError QuarvoError::volume_exists(std::string name) {
  return of(ErrorKind::VolumeExists, {.name = std::move(name)});
}
QuarvoError QuarvoError::volume_not_found(std::string name) {
  return of(ErrorKind::VolumeNotFound, {.name = std::move(name)});
}
QuarvoError QuarvoError::storage_backend_missing() { return of(ErrorKind::StorageBackendMissing, {}); }
QuarvoError QuarvoError::auto_install_unsupported(std::string platform) {
  return of(ErrorKind::AutoInstallUnsupported, {.platform = std::move(platform)});
}
QuarvoError QuarvoError::storage_backend_install_failed(std::string detail) {
  return of(ErrorKind::StorageBackendInstallFailed, {.detail = std::move(detail)});
}
QuarvoError QuarvoError::unsupported_store_url(std::string url) {
  return of(ErrorKind::UnsupportedStoreUrl, {.url = std::move(url)});
}
QuarvoError QuarvoError::missing_metadata_url() { return of(ErrorKind::MissingMetadataUrl, {}); }
QuarvoError QuarvoError::missing_object_storage() { return of(ErrorKind::MissingObjectStorage, {}); }
QuarvoError QuarvoError::mountpoint_not_directory(std::filesystem::path path) {
  return of(ErrorKind::MountpointNotDirectory, {.path = std::move(path)});
}
QuarvoError QuarvoError::volume_not_mounted(std::string name) {
  return of(ErrorKind::VolumeNotMounted, {.name = std::move(name)});
}
QuarvoError QuarvoError::mount_support_unavailable(std::string detail, std::string fix) {
  return of(ErrorKind::MountSupportUnavailable, {.detail = std::move(detail), .fix = std::move(fix)});
}
QuarvoError QuarvoError::command_failed(CommandFailure failure) {
  return of(ErrorKind::CommandFailed, {.command = std::move(failure)});
}
QuarvoError QuarvoError::io_at(std::filesystem::path path, OsError source) {
  return of(ErrorKind::IoAt, {.path = std::move(path), .os = std::move(source)});
}
QuarvoError QuarvoError::io(OsError source) { return of(ErrorKind::Io, {.os = std::move(source)}); }
QuarvoError QuarvoError::toml_parse(TomlParseError error) {
  return of(ErrorKind::TomlParse, {.detail = std::move(error.text)});
}
QuarvoError QuarvoError::toml_write(TomlWriteError error) {
  return of(ErrorKind::TomlWrite, {.detail = std::move(error.text)});
}
QuarvoError QuarvoError::timed_out(std::string what, std::chrono::milliseconds bound) {
  return of(ErrorKind::TimedOut, {.what = std::move(what), .bound = bound});
}
QuarvoError QuarvoError::interrupted() { return of(ErrorKind::Interrupted, {}); }
QuarvoError QuarvoError::volume_mounted(std::string name, std::filesystem::path mountpoint) {
  return of(ErrorKind::VolumeMounted, {.name = std::move(name), .path = std::move(mountpoint)});
}
QuarvoError QuarvoError::mount_failed(std::string name, std::filesystem::path mountpoint, std::string detail) {
  return of(ErrorKind::MountFailed,
            {.name = std::move(name), .path = std::move(mountpoint), .detail = std::move(detail)});
}
QuarvoError QuarvoError::volume_mismatch(std::string name, std::string detail) {
  return of(ErrorKind::VolumeMismatch, {.name = std::move(name), .detail = std::move(detail)});
}
QuarvoError QuarvoError::invalid_argument(std::string detail, std::filesystem::path path) {
  return of(ErrorKind::InvalidArgument, {.path = std::move(path), .detail = std::move(detail)});
}
QuarvoError QuarvoError::invalid_backend_volume_name(std::string name) {
  return of(ErrorKind::InvalidBackendVolumeName, {.name = std::move(name)});
}
QuarvoError QuarvoError::unsafe_path(std::filesystem::path path, std::string detail, std::string fix) {
  return of(ErrorKind::UnsafePath, {.path = std::move(path), .detail = std::move(detail), .fix = std::move(fix)});
}
QuarvoError QuarvoError::flush_incomplete(std::string name, std::filesystem::path mountpoint, std::int64_t held_bytes,
                                          std::chrono::milliseconds bound) {
  return of(ErrorKind::FlushIncomplete,
            {.name = std::move(name), .path = std::move(mountpoint), .bound = bound, .held_bytes = held_bytes});
}
QuarvoError QuarvoError::volume_busy(std::string name, std::string detail) {
  return of(ErrorKind::VolumeBusy, {.name = std::move(name), .detail = std::move(detail)});
}

std::string QuarvoError::message() const {
  // The table's messages read the payload as `f`.
  const ErrorFields& f = fields_;
  switch (kind_) {
#define QUARVO_ERROR_KIND(kind, fields, ...) \
  case ErrorKind::kind:                      \
    return __VA_ARGS__;
#include "quarvo/core/error_kinds.inc"
#undef QUARVO_ERROR_KIND
  }
  return "unknown error";  // unreachable: the switch covers every kind
}

}  // namespace quarvo
