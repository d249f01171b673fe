#include "quarvo/core/models.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <optional>
#include <utility>

#include "quarvo/core/text.hpp"
#include "quarvo/core/toml_reader.hpp"

namespace quarvo {
namespace {

// A single-line TOML basic string. Control characters have no raw form in
// one, so they are escaped; everything else, non-ASCII included, is kept.
// The escapes the writer uses, raw character first; the written-form reader
// accepts exactly these and \u00XX.
constexpr std::pair<char, char> kEscapes[] = {{'"', '"'},  {'\\', '\\'}, {'\b', 'b'}, {'\t', 't'},
                                              {'\n', 'n'}, {'\f', 'f'},  {'\r', 'r'}};

void append_toml_string(std::string& out, std::string_view text) {
  out += '"';
  for (const char c : text) {
    const auto* escape = std::find_if(std::begin(kEscapes), std::end(kEscapes), [c](auto e) { return e.first == c; });
    if (escape != std::end(kEscapes)) {
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

// Process ids are positive and fit a pid_t.
constexpr std::int64_t kMaxPid = 0x7FFFFFFF;

bool is_bare_key_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

// The bytes a written string holds as they are: all but the closing quote,
// the backslash that starts an escape and the control characters (which are
// written escaped, never raw).
constexpr auto kPlainBytes = [] {
  std::array<bool, 256> plain{};
  for (unsigned b = 0x20; b < 0x100; ++b) plain[b] = b != '"' && b != '\\' && b != 0x7F;
  return plain;
}();

// How many bytes at the start of `in` are plain, eight at a time: each
// eight get a mask flagging their special bytes (below 0x20, '"', '\\' or
// 0x7F). The classic tests flag the first special byte exactly (a borrow
// can only flag bytes after it), so on a little-endian machine the lowest
// flag is the answer.
size_t plain_prefix(std::string_view in) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ull;
  constexpr std::uint64_t kHigh = 0x8080808080808080ull;
  const auto zero_bytes = [](std::uint64_t w) { return (w - kOnes) & ~w & kHigh; };
  size_t i = 0;
  for (std::uint64_t w = 0; in.size() - i >= sizeof w; i += sizeof w) {
    std::memcpy(&w, in.data() + i, sizeof w);
    const std::uint64_t special = ((w - 0x20 * kOnes) & ~w & kHigh) | zero_bytes(w ^ ('"' * kOnes)) |
                                  zero_bytes(w ^ ('\\' * kOnes)) | zero_bytes(w ^ (0x7F * kOnes));
    if (special == 0) continue;
    if constexpr (std::endian::native == std::endian::little) return i + std::countr_zero(special) / 8;
    break;
  }
  while (i < in.size() && kPlainBytes[static_cast<unsigned char>(in[i])]) ++i;
  return i;
}

// Reads a string value as volume_to_toml writes it, from just after its
// opening quote to the end of its line, into `out`, moving `in` past the
// line; false when the value has any other form.
bool read_written_value(std::string_view& in, std::string& out) {
  // Most values hold no escape: such a value is taken in one piece.
  size_t i = plain_prefix(in);
  out.assign(in.substr(0, i));
  for (; i < in.size(); ++i) {
    const char c = in[i];
    if (c == '"') {
      if (i + 1 >= in.size() || in[i + 1] != '\n') return false;
      in.remove_prefix(i + 2);
      return true;
    }
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) return false;  // written escaped, never raw
    if (c != '\\') {
      out += c;
      continue;
    }
    if (++i >= in.size()) return false;
    const char letter = in[i];
    const auto* escape =
        std::find_if(std::begin(kEscapes), std::end(kEscapes), [letter](auto e) { return e.second == letter; });
    if (escape != std::end(kEscapes)) {
      out += escape->first;
      continue;
    }
    // Otherwise only the control characters the writer spells \u00XX.
    if (letter != 'u' || in.size() - i < 5 || in.substr(i + 1, 2) != "00") return false;
    unsigned value = 0;
    for (const char h : in.substr(i + 3, 2)) {
      if (h >= '0' && h <= '9') value = value * 16 + static_cast<unsigned>(h - '0');
      else if (h >= 'A' && h <= 'F') value = value * 16 + static_cast<unsigned>(h - 'A' + 10);
      else return false;
    }
    if (value >= 0x20 && value != 0x7F) return false;
    out += static_cast<char>(value);
    i += 4;
  }
  return false;
}

// Reads a `key = "..."` line as volume_to_toml writes it; `start` is the line
// up to its opening quote. Inline, so that the start is compared at a length
// known when compiling.
template <size_t N>
inline bool read_written_string(std::string_view& in, const char (&start)[N], std::string& out) {
  constexpr size_t kSize = N - 1;
  if (in.size() < kSize || std::memcmp(in.data(), start, kSize) != 0) return false;
  in.remove_prefix(kSize);
  return read_written_value(in, out);
}

// Reads `KEY = N\n` as the writer writes a process id: decimal digits, no
// leading zero, within a pid's range. Absent: nullopt, `in` unmoved.
template <size_t N>
bool read_written_pid(std::string_view& in, const char (&start)[N], std::optional<std::int64_t>& out) {
  out.reset();
  constexpr size_t kSize = N - 1;
  if (in.size() < kSize || std::memcmp(in.data(), start, kSize) != 0) return true;
  size_t i = kSize;
  std::int64_t value = 0;
  while (i < in.size() && in[i] >= '0' && in[i] <= '9' && value <= kMaxPid) value = value * 10 + (in[i++] - '0');
  if (i == kSize || in[kSize] == '0' || value > kMaxPid || i >= in.size() || in[i] != '\n') return false;
  out = value;
  in.remove_prefix(i + 1);
  return true;
}

// The [intent] table as the writer writes it, when it is there.
bool read_written_intent(std::string_view& in, std::optional<VolumeIntent>& out) {
  out.reset();
  if (!in.starts_with("\n[intent]\n")) return true;
  in.remove_prefix(10);
  VolumeIntent intent;
  if (!read_written_string(in, "step = \"", intent.step)) return false;
  if (in.starts_with("mountpoint = ")) {
    std::string mountpoint;
    if (!read_written_string(in, "mountpoint = \"", mountpoint)) return false;
    intent.mountpoint = std::filesystem::path(std::move(mountpoint));
  }
  if (in.starts_with("owner = ") && !read_written_string(in, "owner = \"", intent.owner)) return false;
  if (in.starts_with("since = ") && !read_written_string(in, "since = \"", intent.since)) return false;
  out = std::move(intent);
  return true;
}

// The [settings] table as the writer writes it: keys in ascending order.
bool read_written_settings(std::string_view& in, VolumeSettings& out) {
  out.clear();
  if (!in.starts_with("\n[settings]\n")) return true;
  in.remove_prefix(12);
  std::string_view last;
  while (!in.empty()) {
    size_t k = 0;
    while (k < in.size() && is_bare_key_char(in[k])) ++k;
    const std::string_view key = in.substr(0, k);
    if (key.empty() || key <= last || in.substr(k, 3) != " = ") return false;
    in.remove_prefix(k + 3);
    SettingValue value;
    if (in.starts_with("true\n")) {
      value = true;
      in.remove_prefix(5);
    } else if (in.starts_with("false\n")) {
      value = false;
      in.remove_prefix(6);
    } else {
      std::string text;
      if (!in.starts_with('"')) return false;
      in.remove_prefix(1);
      if (!read_written_value(in, text)) return false;
      value = std::move(text);
    }
    last = out.emplace(std::string(key), std::move(value)).first->first;
  }
  return true;
}

// What the writer puts after updated_at, each part only when set.
bool read_written_extras(std::string_view& in, Volume& volume) {
  return read_written_pid(in, "daemon_pid = ", volume.daemon_pid) &&
         read_written_pid(in, "supervisor_pid = ", volume.supervisor_pid) && read_written_intent(in, volume.intent) &&
         read_written_settings(in, volume.settings);
}

// Reads the written form of a text already known to be UTF-8 into `volume`,
// reusing its strings' storage; false for any other text.
bool read_written_form(std::string_view text, Volume& volume) {
  std::string_view in = text;
  if (!read_written_string(in, "name = \"", volume.name) || !read_written_string(in, "backend = \"", volume.backend) ||
      !read_written_string(in, "metadata_url = \"", volume.metadata_url) ||
      !read_written_string(in, "storage = \"", volume.storage) ||
      !read_written_string(in, "bucket = \"", volume.bucket)) {
    return false;
  }
  if (in.starts_with("dev = true\n")) {
    volume.dev = true;
    in.remove_prefix(11);
  } else if (in.starts_with("dev = false\n")) {
    volume.dev = false;
    in.remove_prefix(12);
  } else {
    return false;
  }
  volume.mountpoint.reset();
  if (in.starts_with("mountpoint = ")) {
    std::string mountpoint;
    if (!read_written_string(in, "mountpoint = \"", mountpoint)) return false;
    volume.mountpoint = std::filesystem::path(std::move(mountpoint));
  }
  return read_written_string(in, "created_at = \"", volume.created_at) &&
         read_written_string(in, "updated_at = \"", volume.updated_at) && read_written_extras(in, volume) && in.empty();
}

// TOML is UTF-8 only. Texts reach us as UTF-8 from the caller; a path is
// whatever bytes the file system had, so paths are the ones checked by name.
Result<void> check_writable(const Volume& volume) {
  const auto fail = [](const char* text) { return std::unexpected(QuarvoError::toml_write(TomlWriteError{text})); };
  for (const auto* path : {&volume.mountpoint, volume.intent ? &volume.intent->mountpoint : nullptr}) {
    if (path != nullptr && *path && !is_valid_utf8((*path)->native()))
      return fail("path contains invalid UTF-8 characters");
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
    if (pid && (*pid < 1 || *pid > kMaxPid)) return fail("invalid process id");
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
    if (entry->number < 1 || entry->number > static_cast<double>(kMaxPid)) {
      return std::unexpected(
          doc->error_at(entry->value_at, "invalid value: " + entry->shown + ", expected a process id"));
    }
    *pid = static_cast<std::int64_t>(entry->number);
  }
  if (f[kIntent] != nullptr) {
    auto intent = read_intent(*doc, *f[kIntent]);
    if (!intent) return std::unexpected(std::move(intent).error());
    volume.intent = std::move(*intent);
  }
  if (f[kSettings] != nullptr) QUARVO_TRY(read_settings(*doc, *f[kSettings], volume.settings));
  return volume;
}

}  // namespace quarvo
