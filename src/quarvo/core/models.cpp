#include "quarvo/core/models.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <optional>
#include <utility>
#include <variant>
#include <vector>

#include "quarvo/core/text.hpp"
#include "quarvo/core/toml_reader.hpp"
#include "quarvo/core/written_form.hpp"

namespace quarvo {
namespace {

// A single-line TOML basic string. Control characters have no raw form in
// one, so they are escaped; everything else, non-ASCII included, is kept.
void append_toml_string(std::string& out, std::string_view text) {
  out += '"';
  for (const char c : text) {
    const auto* escape =
        std::find_if(std::begin(kWrittenEscapes), std::end(kWrittenEscapes), [c](auto e) { return e.first == c; });
    if (escape != std::end(kWrittenEscapes)) {
      out += '\\';
      out += escape->second;
    } else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04X", static_cast<unsigned>(static_cast<unsigned char>(c)));
      out += buf;
    } else {
      out += c;
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

void append_number(std::string& out, std::string_view key, std::int64_t value) {
  out += key;
  out += " = ";
  out += std::to_string(value);
  out += '\n';
}

enum Field {
  kName,
  kBackend,
  kMetadataUrl,
  kStorage,
  kBucket,
  kDev,
  kMountpoint,
  kCreatedAt,
  kUpdatedAt,
  kDaemonPid,
  kSupervisorPid,
  kCacheDirs,
  kIntent,
  kSettings
};

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
    {"daemon_pid", {}, TomlType::Integer, false},
    {"supervisor_pid", {}, TomlType::Integer, false},
    {"cache_dirs", {}, TomlType::Array, false},
    {"intent", {}, TomlType::Table, false},
    {"settings", {}, TomlType::Table, false},
};

enum IntentField { kStep, kIntentMountpoint, kOwner, kSince };

constexpr TomlField kIntentFields[] = {
    {"step", {}, TomlType::String, true},
    {"mountpoint", {}, TomlType::String, false},
    {"owner", {}, TomlType::String, false},
    {"since", {}, TomlType::String, false},
};

// TOML is UTF-8 only. Texts reach us as UTF-8 from the caller; a path is
// whatever bytes the file system had, so paths are the ones checked by name.
Result<void> check_writable(const Volume& volume) {
  const auto fail = [](const char* text) { return std::unexpected(QuarvoError::toml_write(TomlWriteError{text})); };
  for (const auto* path : {&volume.mountpoint, volume.intent ? &volume.intent->mountpoint : nullptr}) {
    if (path != nullptr && *path && !is_valid_utf8((*path)->native()))
      return fail("path contains invalid UTF-8 characters");
  }
  for (const auto& dir : volume.cache_dirs) {
    if (!is_valid_utf8(dir.native())) return fail("path contains invalid UTF-8 characters");
  }
  std::vector<const std::string*> texts = {&volume.name,   &volume.backend,    &volume.metadata_url, &volume.storage,
                                           &volume.bucket, &volume.created_at, &volume.updated_at};
  if (volume.intent) texts.insert(texts.end(), {&volume.intent->step, &volume.intent->owner, &volume.intent->since});
  for (const auto& [key, value] : volume.settings) {
    if (!is_setting_key(key)) return fail("invalid setting key");
    if (const auto* text = std::get_if<std::string>(&value)) texts.push_back(text);
  }
  for (const std::string* text : texts) {
    if (!is_valid_utf8(*text)) return fail("string contains invalid UTF-8 characters");
  }
  for (const auto pid : {volume.daemon_pid, volume.supervisor_pid}) {
    if (pid && (*pid < 1 || *pid > kMaxRecordPid)) return fail("invalid process id");
  }
  return {};
}

}  // namespace

bool is_setting_key(std::string_view key) {
  return !key.empty() && std::all_of(key.begin(), key.end(), is_bare_key_char);
}

std::optional<Volume> volume_from_written_form(std::string_view text) {
  Volume volume;
  if (!is_valid_utf8(text) || !read_written_form(text, volume)) return std::nullopt;
  return volume;
}

VolumeInfo VolumeInfo::from(const Volume& volume) {
  return VolumeInfo{volume.name, volume.metadata_url, volume.storage, volume.bucket, volume.mountpoint, volume.dev};
}

VolumeInfo VolumeInfo::from(Volume&& volume) {
  return VolumeInfo{std::move(volume.name),   std::move(volume.metadata_url), std::move(volume.storage),
                    std::move(volume.bucket), std::move(volume.mountpoint),   volume.dev};
}

Result<std::string> volume_to_toml(const Volume& volume) {
  QUARVO_TRY(check_writable(volume));
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
  if (volume.daemon_pid) append_number(out, "daemon_pid", *volume.daemon_pid);
  if (volume.supervisor_pid) append_number(out, "supervisor_pid", *volume.supervisor_pid);
  if (!volume.cache_dirs.empty()) {
    out += "cache_dirs = [";
    for (size_t i = 0; i < volume.cache_dirs.size(); ++i) {
      if (i > 0) out += ", ";
      append_toml_string(out, volume.cache_dirs[i].native());
    }
    out += "]\n";
  }
  if (const auto& intent = volume.intent) {
    out += "\n[intent]\n";
    append_line(out, "step", intent->step);
    if (intent->mountpoint) append_line(out, "mountpoint", intent->mountpoint->native());
    if (!intent->owner.empty()) append_line(out, "owner", intent->owner);
    if (!intent->since.empty()) append_line(out, "since", intent->since);
  }
  if (!volume.settings.empty()) {
    out += "\n[settings]\n";
    for (const auto& [key, value] : volume.settings) {
      if (const bool* flag = std::get_if<bool>(&value)) {
        out += key;
        out += *flag ? " = true\n" : " = false\n";
      } else {
        append_line(out, key, std::get<std::string>(value));
      }
    }
  }
  return out;
}

Result<Volume> volume_from_toml(std::string_view text) {
  // Text that is not UTF-8 is no TOML: the full reader says where.
  if (!is_valid_utf8(text)) return volume_from_toml_document(text);
  Volume volume;
  QUARVO_TRY(read_utf8_volume(text, volume));
  return volume;
}

Result<void> read_utf8_volume(std::string_view text, Volume& out) {
  // Records are nearly always exactly as this program wrote them; reading
  // that form directly costs a fraction of a full TOML parse and gives the
  // same record. Anything else, hand-edited files included, is parsed.
  if (read_written_form(text, out)) return {};
  auto volume = volume_from_toml_document(text);
  if (!volume) return std::unexpected(std::move(volume).error());
  out = std::move(*volume);
  return {};
}

namespace {

Result<VolumeIntent> read_intent(const TomlDocument& doc, const TomlEntry& table) {
  auto found = doc.fields_of(table, kIntentFields);
  if (!found) return std::unexpected(std::move(found).error());
  const auto& f = *found;
  VolumeIntent intent;
  intent.step = f[kStep]->string;
  if (f[kIntentMountpoint] != nullptr) intent.mountpoint = std::filesystem::path(f[kIntentMountpoint]->string);
  if (f[kOwner] != nullptr) intent.owner = f[kOwner]->string;
  if (f[kSince] != nullptr) intent.since = f[kSince]->string;
  return intent;
}

Result<void> read_cache_dirs(const TomlDocument& doc, const TomlEntry& array, std::vector<std::filesystem::path>& out) {
  for (const TomlEntry& element : array.children) {
    if (element.type != TomlType::String) return std::unexpected(doc.type_error(element, "a string"));
    out.emplace_back(element.string);
  }
  return {};
}

Result<void> read_settings(const TomlDocument& doc, const TomlEntry& table, VolumeSettings& out) {
  for (const TomlEntry& entry : table.children) {
    if (!is_setting_key(entry.key)) {
      return std::unexpected(doc.error_at(entry.key_at, "invalid setting key " + quote(entry.key)));
    }
    if (entry.type == TomlType::Boolean) {
      out.emplace(entry.key, entry.boolean);
    } else if (entry.type == TomlType::String) {
      out.emplace(entry.key, entry.string);
    } else {
      return std::unexpected(doc.type_error(entry, "a string or a boolean"));
    }
  }
  return {};
}

}  // namespace

Result<Volume> volume_from_toml_document(std::string_view text) {
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
  for (auto [field, pid] :
       {std::pair{kDaemonPid, &volume.daemon_pid}, std::pair{kSupervisorPid, &volume.supervisor_pid}}) {
    const TomlEntry* entry = f[field];
    if (entry == nullptr) continue;
    if (entry->number < 1 || entry->number > static_cast<double>(kMaxRecordPid)) {
      return std::unexpected(
          doc->error_at(entry->value_at, "invalid value: " + entry->shown + ", expected a process id"));
    }
    *pid = static_cast<std::int64_t>(entry->number);
  }
  if (f[kCacheDirs] != nullptr) QUARVO_TRY(read_cache_dirs(*doc, *f[kCacheDirs], volume.cache_dirs));
  if (f[kIntent] != nullptr) {
    auto intent = read_intent(*doc, *f[kIntent]);
    if (!intent) return std::unexpected(std::move(intent).error());
    volume.intent = std::move(*intent);
  }
  if (f[kSettings] != nullptr) QUARVO_TRY(read_settings(*doc, *f[kSettings], volume.settings));
  return volume;
}

}  // namespace quarvo
