// quarvo/juicefs/mount_options.hpp: a volume's mount settings, as the
// backend's own mount options.
//
// A setting is named by the backend's mount option and holds a text or a
// flag (VolumeSettings, models.hpp). Only the options below are taken; each
// value is checked before anything runs, since the backend reads many bad
// values without a word ("--attr-cache=abc" is no cache at all,
// "--subdir=../x" mounts "x", "--free-space-ratio=1.5" is taken as given):
//
//   read-only, writeback, allow-other, usage-report   flags: true or false
//   cache-size, buffer-size                           a whole number of MiB
//   upload-limit, download-limit                      a whole number of Mbps
//   free-space-ratio                                  a decimal number in [0, 1)
//   attr-cache, entry-cache, dir-entry-cache          a duration: seconds ("2",
//                                                     "0.5") or with units ("1m30s")
//   cache-dir                                         one absolute directory
//   subdir                                            a directory inside the volume
//
// On the command line (after "--log PATH"): a text as "--KEY=VALUE", a true
// flag as "--KEY" (a false one is left out), allow-other as "-o
// allow_other", and usage-report the other way round: "--no-usage-report"
// unless it is true.
//
//   auto value = parse_setting("cache-size", "1024");  // SettingValue{"1024"}
//   auto args = mount_option_args(settings);           // {"--cache-size=1024", "--no-usage-report"}
#ifndef QUARVO_JUICEFS_MOUNT_OPTIONS_HPP_
#define QUARVO_JUICEFS_MOUNT_OPTIONS_HPP_

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quarvo/core/error.hpp"
#include "quarvo/core/models.hpp"

namespace quarvo {

// The settings a mount must have for Quarvo's own checks, by key.
inline constexpr std::string_view kReadOnlySetting = "read-only";
inline constexpr std::string_view kSubdirSetting = "subdir";
inline constexpr std::string_view kCacheDirSetting = "cache-dir";
inline constexpr std::string_view kAllowOtherSetting = "allow-other";

// The keys taken, in the order messages name them; and comma-separated.
[[nodiscard]] std::vector<std::string_view> setting_keys();
[[nodiscard]] std::string known_setting_keys();

// The value to store for `key` given as text: a flag from "true" or
// "false", anything else checked and kept in its plain form (a sub-directory
// as "a/b"). InvalidArgument saying what the key takes; an unknown key
// InvalidArgument naming the known ones.
[[nodiscard]] Result<SettingValue> parse_setting(std::string_view key, std::string_view text);
// The same for a value given typed (from Python): a flag takes a bool or
// its text, the others only a text.
[[nodiscard]] Result<SettingValue> check_setting(std::string_view key, const SettingValue& value);
// Every setting checked as check_setting does, in its plain form (a record
// edited by hand may hold "0100" or a flag as text); the first bad one's
// error.
[[nodiscard]] Result<VolumeSettings> check_settings(const VolumeSettings& settings);

// Changes to a volume's settings: a key to its new value, or to nullopt to
// unset it.
using SettingChanges = std::map<std::string, std::optional<SettingValue>, std::less<>>;

// `settings` with `changes` applied, each new value checked as
// check_setting does. Unsetting a key that is not set changes nothing, but
// an unknown one is refused as parse_setting refuses it (a key a record
// holds but the allow-list does not may always be unset).
[[nodiscard]] Result<VolumeSettings> apply_setting_changes(VolumeSettings settings, const SettingChanges& changes);

// The flag `key` of `settings`: false when it is not set.
[[nodiscard]] bool setting_flag(const VolumeSettings& settings, std::string_view key);

// The backend's mount options for checked settings, in key order.
[[nodiscard]] std::vector<std::string> mount_option_args(const VolumeSettings& settings);

}  // namespace quarvo

#endif  // QUARVO_JUICEFS_MOUNT_OPTIONS_HPP_
