// quarvo/service/mount_settings.hpp: what a volume's settings ask of its
// mounts.
//
// A mount runs with the volume's own settings (its record's [settings]),
// the caller's changes for that one mount over them, and Quarvo's defaults:
// the block cache under the home (HOME/cache; the backend keeps each
// volume's in a subdirectory named after its UUID) unless cache-dir says
// otherwise, and no usage report unless usage-report is true. All of it is
// checked before anything runs.
//
// Once the mount answers it is checked as its settings allow: a read-only
// mount cannot take the probe file, so its own word (.config: the volume's
// name, Meta.ReadOnly) is asked instead. A sub-directory the backend made
// for root's mount (it makes missing ones 0777) becomes 0700, as private as
// the root of root's development volume. The cache directories the mount
// uses are added to the record, so that removal finds them whatever the
// settings are by then.
//
//   auto settings = running_settings(home, volume, request.settings);  // before anything runs
//   ... the backend mounts with them ...
//   QUARVO_TRY(check_new_mount(volume.name, *settings, at, limits));
//   remember_cache_dirs(volume, at);
#ifndef QUARVO_SERVICE_MOUNT_SETTINGS_HPP_
#define QUARVO_SERVICE_MOUNT_SETTINGS_HPP_

#include <chrono>
#include <filesystem>
#include <string_view>

#include "quarvo/core/deadline.hpp"
#include "quarvo/core/error.hpp"
#include "quarvo/core/models.hpp"
#include "quarvo/core/paths.hpp"
#include "quarvo/juicefs/mount_options.hpp"

namespace quarvo {

// The settings a mount of `volume` runs with, cache-dir always among them.
// InvalidArgument for a bad setting (the record's or the caller's), for
// allow-other where it cannot be had (check_allow_other), and for a home
// whose cache directory the backend would read as several (':' or '*' in
// its path) when no cache-dir is set.
[[nodiscard]] Result<VolumeSettings> running_settings(const QuarvoHome& home, const Volume& volume,
                                                      const SettingChanges& changes);

// allow-other for a user other than root needs "user_allow_other" in
// /etc/fuse.conf (FUSE refuses the mount otherwise): InvalidArgument saying
// so. Root's mounts always let other users in.
[[nodiscard]] Result<void> check_allow_other(const VolumeSettings& settings);

// The home's cache directory (0700) when `settings` keep the cache there;
// IoAt when it cannot be made.
[[nodiscard]] Result<void> prepare_cache_dir(const QuarvoHome& home, const VolumeSettings& settings);

// A mount of volume `name` that has just answered at `at`, checked: with
// read-only, its .config must name the volume and say it is read-only
// (MountFailed otherwise); without, the probe file must be written and read
// back (probe_mount).
[[nodiscard]] Result<void> check_new_mount(std::string_view name, const VolumeSettings& settings,
                                           const std::filesystem::path& at, const WaitLimits& limits);

// For root's mount with a sub-directory: its root directory, when it has the
// mode the backend makes a missing one with (0777) and changed since
// `started` (the backend made it for this mount), becomes 0700. IoAt when
// it cannot be changed.
[[nodiscard]] Result<void> make_subdir_private(const VolumeSettings& settings, const std::filesystem::path& at,
                                               std::chrono::system_clock::time_point started);

// The cache directories the live mount at `at` names in its .config added
// to `volume.cache_dirs` (each once).
void remember_cache_dirs(Volume& volume, const std::filesystem::path& at);

// Whether the live mount at `at` says in its .config that it is read-only.
[[nodiscard]] bool mounted_read_only(const std::filesystem::path& at);

}  // namespace quarvo

#endif  // QUARVO_SERVICE_MOUNT_SETTINGS_HPP_
