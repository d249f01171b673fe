#include "quarvo/core/models.hpp"

#include <cstdio>

#include "quarvo/core/toml_reader.hpp"

namespace quarvo {
namespace {

// A single-line TOML basic string. Control characters have no raw form in
// one, so they are escaped; everything else, non-ASCII included, is kept.
void append_toml_string(std::string& out, std::string_view text) {
  out += '"';
  for (const char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04X", static_cast<unsigned>(static_cast<unsigned char>(c)));
          out += buf;
        } else {
          out += c;
        }
    }
  }
  out += '"';
}

void append_line(std::string& out, std::string_view key, std::string_view value) {
  out += key;
  out += " = ";
  append_toml_string(out, value);
  out += '\n';
}

enum Field { kName, kBackend, kMetadataUrl, kStorage, kBucket, kDev, kMountpoint, kCreatedAt, kUpdatedAt };

constexpr TomlField kFields[] = {
    {"name", {}, TomlType::String, true},
    {"backend", {}, TomlType::String, true},
    {"metadata_url", {}, TomlType::String, true},
    {"storage", {}, TomlType::String, true},
    {"bucket", {}, TomlType::String, true},
    {"dev", {}, TomlType::Boolean, true},
    {"mountpoint", {}, TomlType::String, false},
    {"created_at", {}, TomlType::String, true},
    {"updated_at", {}, TomlType::String, true},
};

}  // namespace

VolumeInfo VolumeInfo::from(const Volume& volume) {
  return VolumeInfo{volume.name,   volume.metadata_url, volume.storage,
                    volume.bucket, volume.mountpoint,   volume.dev};
}

Result<std::string> volume_to_toml(const Volume& volume) {
  // TOML is UTF-8 only. Texts reach us as UTF-8 from the caller; a path is
  // whatever bytes the file system had, so it is the one checked by name.
  if (volume.mountpoint && !is_valid_utf8(volume.mountpoint->native())) {
    return std::unexpected(QuarvoError::toml_write(TomlWriteError{"path contains invalid UTF-8 characters"}));
  }
  for (const std::string* text : {&volume.name, &volume.backend, &volume.metadata_url, &volume.storage,
                                  &volume.bucket, &volume.created_at, &volume.updated_at}) {
    if (!is_valid_utf8(*text)) {
      return std::unexpected(QuarvoError::toml_write(TomlWriteError{"string contains invalid UTF-8 characters"}));
    }
  }
  std::string out;
  append_line(out, "name", volume.name);
  append_line(out, "backend", volume.backend);
  append_line(out, "metadata_url", volume.metadata_url);
  append_line(out, "storage", volume.storage);
  append_line(out, "bucket", volume.bucket);
  out += volume.dev ? "dev = true\n" : "dev = false\n";
  if (volume.mountpoint) append_line(out, "mountpoint", volume.mountpoint->native());
  append_line(out, "created_at", volume.created_at);
  append_line(out, "updated_at", volume.updated_at);
  return out;
}

Result<Volume> volume_from_toml(std::string_view text) {
  auto doc = TomlDocument::parse(text);
  if (!doc) return std::unexpected(std::move(doc).error());
  auto found = doc->fields(kFields);
  if (!found) return std::unexpected(std::move(found).error());
  const auto& f = *found;
  Volume volume;
  volume.name = f[kName]->string;
  volume.backend = f[kBackend]->string;
  volume.metadata_url = f[kMetadataUrl]->string;
  volume.storage = f[kStorage]->string;
  volume.bucket = f[kBucket]->string;
  volume.dev = f[kDev]->boolean;
  if (f[kMountpoint] != nullptr) volume.mountpoint = std::filesystem::path(f[kMountpoint]->string);
  volume.created_at = f[kCreatedAt]->string;
  volume.updated_at = f[kUpdatedAt]->string;
  return volume;
}

}  // namespace quarvo
