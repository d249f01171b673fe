// quarvo/core/models.hpp: the volume record and its public view.
//
// `Volume` is what the registry stores, one TOML file per volume, written one
// `key = value` line per field in declaration order, each optional field only
// when set. `VolumeInfo` is the six-field view handed to callers.
//
//   name = "data"                      the nine fields every record has
//   backend = "juicefs"                (mountpoint only when mounted)
//   metadata_url = "sqlite3:///.../metadata.db"
//   storage = "file"
//   bucket = "/.../objects/"
//   dev = true
//   mountpoint = "/mnt/data"
//   created_at = "2026-12-05T07:08:06Z"
//   updated_at = "2026-12-05T07:08:09Z"
//   daemon_pid = 4321                  the processes serving its mount, as the
//   supervisor_pid = 4310              mount's .config named them ("Pid", "PPid")
//   cache_dirs = ["/q/cache/UUID"]     every block cache directory its mounts
//                                      have used, for removal to delete
//
//   [intent]                           a step under way, written before it
//   step = "mount"                     changes the kernel or the disk and
//   mountpoint = "/mnt/data"           cleared when it is done; a step whose
//   owner = "5150:987654"              owner is gone was interrupted: the
//   since = "2026-12-05T07:08:08Z"     next call finishes or undoes it. The
//                                      service writes "mount", "unmount" (with
//                                      their mountpoint) and "init" (see
//                                      service/intents.hpp)
//
//   [settings]                         mount settings: the backend's own
//   cache-size = "1024"                option names, a text or a boolean each
//   read-only = true
//
// A Quarvo that predates a key reads past it and drops it when it rewrites
// the record (so one that predates [intent] neither sees nor settles a step
// under way; a later Quarvo, finding the step gone, has nothing to settle).
#ifndef QUARVO_CORE_MODELS_HPP_
#define QUARVO_CORE_MODELS_HPP_

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "quarvo/core/error.hpp"

namespace quarvo {

// VolumeIntent: a step under way on a volume, recorded before the step
// changes anything so that a call killed half-way leaves a record the next
// call can finish or undo by.
struct VolumeIntent {
  std::string step;                                 // "mount", "unmount", "init"
  std::optional<std::filesystem::path> mountpoint;  // where a mount or unmount acts
  std::string owner;                                // the process carrying it out, "PID:START"; may be empty
  std::string since;                                // when it began, RFC 3339; may be empty

  bool operator==(const VolumeIntent&) const = default;
};

// Mount settings by option name. A key is a bare TOML key (letters, digits,
// '-' and '_'); which keys and values mean something is the service's affair.
using SettingValue = std::variant<bool, std::string>;
using VolumeSettings = std::map<std::string, SettingValue, std::less<>>;

struct Volume {
  std::string name;
  std::string backend;
  std::string metadata_url;
  std::string storage;
  std::string bucket;
  bool dev = false;
  std::optional<std::filesystem::path> mountpoint;
  std::string created_at;
  std::string updated_at;
  std::optional<std::int64_t> daemon_pid{};         // the mount's serving process
  std::optional<std::int64_t> supervisor_pid{};     // the process that restarts it when it dies
  std::vector<std::filesystem::path> cache_dirs{};  // block caches its mounts have used, oldest first
  std::optional<VolumeIntent> intent{};
  VolumeSettings settings{};

  bool operator==(const Volume&) const = default;
};

struct VolumeInfo {
  std::string name;
  std::string metadata_url;
  std::string storage;
  std::string bucket;
  std::optional<std::filesystem::path> mountpoint;
  bool dev = false;

  static VolumeInfo from(const Volume& volume);
  // Moves the six fields out of `volume`.
  static VolumeInfo from(Volume&& volume);
  bool operator==(const VolumeInfo&) const = default;
};

// Whether `key` can name a setting: a bare TOML key, non-empty.
[[nodiscard]] bool is_setting_key(std::string_view key);

// The record's TOML text. A path that is not valid UTF-8 fails with TomlWrite
// "path contains invalid UTF-8 characters", a text with "string contains
// invalid UTF-8 characters", a setting key that is no bare key with
// "invalid setting key".
[[nodiscard]] Result<std::string> volume_to_toml(const Volume& volume);

// Reads a record: the nine fields required but "mountpoint", the others
// optional, unknown keys ignored, duplicates, wrong types (a cache directory
// that is no string included), a process id that is not positive, an
// [intent] without its step and a setting key that is no bare key rejected;
// errors are TomlParse in the frame.
// A record exactly as volume_to_toml writes it is read without the TOML
// parser; anything else goes through it.
[[nodiscard]] Result<Volume> volume_from_toml(std::string_view text);
// The same for a text its caller has already found to be UTF-8 (the
// registry checks each file as it reads it), read into `out`: its strings'
// storage is reused, so a listing can read every record into one Volume.
// On failure `out` holds whatever part of the text was read.
[[nodiscard]] Result<void> read_utf8_volume(std::string_view utf8_text, Volume& out);

// The two readers behind volume_from_toml, for tests and the fuzzer, which
// hold them to giving the same record: the exact written form (nullopt for
// any other text) and the full TOML reader.
[[nodiscard]] std::optional<Volume> volume_from_written_form(std::string_view text);
[[nodiscard]] Result<Volume> volume_from_toml_document(std::string_view text);

}  // namespace quarvo

#endif  // QUARVO_CORE_MODELS_HPP_
