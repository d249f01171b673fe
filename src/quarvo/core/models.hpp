// quarvo/core/models.hpp: the volume record and its public view.
//
// `Volume` is what the registry stores, one TOML file per volume, written one
// `key = value` line per field in declaration order (mountpoint left out when
// absent). `VolumeInfo` is the six-field view handed to callers.
#ifndef QUARVO_CORE_MODELS_HPP_
#define QUARVO_CORE_MODELS_HPP_

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "quarvo/core/error.hpp"

namespace quarvo {

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

// The record's TOML text. A mountpoint that is not valid UTF-8 fails with
// TomlWrite "path contains invalid UTF-8 characters".
[[nodiscard]] Result<std::string> volume_to_toml(const Volume& volume);

// Reads a record: every key but "mountpoint" required, other keys ignored,
// duplicates and wrong types rejected; errors are TomlParse in the frame.
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
