// quarvo/juicefs/doctor.hpp: what this machine offers.
//
// Where the storage backend program is (`detect_storage_backend_bin`), whether
// the host can mount user-space file systems (`detect_mount_support`), and a
// report of both with the home and configuration paths (`doctor`). Only
// `require_mount_support` turns a negative finding into an error.
#ifndef QUARVO_JUICEFS_DOCTOR_HPP_
#define QUARVO_JUICEFS_DOCTOR_HPP_

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "quarvo/core/deadline.hpp"
#include "quarvo/core/error.hpp"
#include "quarvo/core/paths.hpp"

namespace quarvo {

struct StorageBackendReport {
  bool found = false;
  std::optional<std::filesystem::path> path;
  // Absent when not found or when the program told no version: then it is
  // not a usable backend (/bin/true, a text file), whatever `found` says.
  std::optional<std::string> version;
  bool managed = false;
};

struct MountSupport {
  bool found = false;
  std::string detail;
  std::optional<std::string> fix;
};

struct DoctorReport {
  std::filesystem::path home;
  std::filesystem::path config;
  StorageBackendReport storage_backend;
  MountSupport mount_support;
};

// The first existing regular file (symbolic links followed) of:
// $QUARVO_STORAGE_BACKEND_BIN, $QUARVO_JUICEFS_BIN, the configured path,
// root/bin/quarvo-storage, root/bin/juicefs, then "juicefs" on PATH.
[[nodiscard]] std::optional<std::filesystem::path> detect_storage_backend_bin(
    const QuarvoHome& home, const std::optional<std::filesystem::path>& configured);

// The backend program to run: detect_storage_backend_bin's, as long as no
// other user could have changed it (check_program of quarvo/core/trust.hpp;
// one in the home as strict as the home, whose directories must pass too:
// QuarvoHome::check_layout). Without one, StorageBackendMissing; one another
// user could change is UnsafePath.
[[nodiscard]] Result<std::filesystem::path> trusted_storage_backend_bin(
    const QuarvoHome& home, const std::optional<std::filesystem::path>& configured);

// The first PATH entry holding a regular file `name`; an empty entry means
// the bare name, relative to the working directory.
[[nodiscard]] std::optional<std::filesystem::path> which_on_path(std::string_view name);

// The version in the output of "juicefs version": the first piece, split at
// characters other than ASCII digits and '.', holding a '.' and a digit;
// else the whole output stripped of Unicode white space.
[[nodiscard]] std::string extract_version(std::string_view output);

// How long `program version` may take: a program that does not answer by
// then tells no version.
inline constexpr std::chrono::milliseconds kVersionBound{30'000};

// What `program version` tells (extract_version of its standard output);
// nullopt when it cannot be run, fails, outlasts `limits` or tells nothing.
[[nodiscard]] std::optional<std::string> storage_backend_version(const std::filesystem::path& program,
                                                                 const WaitLimits& limits);

// A file system question the mount-support checks ask, injectable for tests.
using PathExists = std::function<bool(const std::filesystem::path&)>;

// The macOS checks: the macFUSE bundle or its helper, or mount_macfuse or
// mount_fusefs on PATH. Compiled everywhere so it is tested everywhere.
[[nodiscard]] MountSupport detect_mount_support_macos(const PathExists& exists,
                                                      const std::function<bool(std::string_view)>& on_path);
// The Linux checks: /dev/fuse is a character device, and the process is root
// or fusermount3 or fusermount is on PATH.
[[nodiscard]] MountSupport detect_mount_support_linux(bool fuse_is_char_device, bool is_root,
                                                      const std::function<bool(std::string_view)>& on_path);

// The checks of the platform this was built for.
[[nodiscard]] MountSupport detect_mount_support();
// MountSupportUnavailable(detail, fix) when not found; an empty fix becomes
// "Install local mount support for this platform.".
[[nodiscard]] Result<void> require_mount_support();

// Ensures the layout, loads the configuration (their errors are the only
// failures, an UnsafePath home among them), then reports the backend
// program, its version (asked within kVersionBound, and `cancel`) and mount
// support. A program another user could have changed is reported found, and
// not run: it tells no version.
[[nodiscard]] Result<DoctorReport> doctor(const QuarvoHome& home, const Cancel& cancel);

// The doctor's report also for a home whose config.toml cannot be read: the
// error is a finding of its own, and the backend program is then looked for
// without the configured path; so is a program that is not safe to run.
// Fails only when the layout cannot be created or is not safe to use.
struct Diagnosis {
  DoctorReport report;
  std::optional<QuarvoError> config_error;
  std::optional<QuarvoError> unsafe_backend;  // UnsafePath of the program found
};
[[nodiscard]] Result<Diagnosis> diagnose(const QuarvoHome& home, const Cancel& cancel);

}  // namespace quarvo

#endif  // QUARVO_JUICEFS_DOCTOR_HPP_
