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

enum Field { kName, kBackend, kMetadataUrl, kStorage, kBucket, kDev, kMountpoint, kCreatedAt, kUpdatedAt };

constexpr TomlField kFields[] = {
    {"name", {}, TomlType::String, true},         {"backend", {}, TomlType::String, true},
    {"metadata_url", {}, TomlType::String, true}, {"storage", {}, TomlType::String, true},
    {"bucket", {}, TomlType::String, true},       {"dev", {}, TomlType::Boolean, true},
    {"mountpoint", {}, TomlType::String, false},  {"created_at", {}, TomlType::String, true},
    {"updated_at", {}, TomlType::String, true},
};

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
         read_written_string(in, "updated_at = \"", volume.updated_at) && in.empty();
}

}  // namespace

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
  // TOML is UTF-8 only. Texts reach us as UTF-8 from the caller; a path is
  // whatever bytes the file system had, so it is the one checked by name.
  if (volume.mountpoint && !is_valid_utf8(volume.mountpoint->native())) {
    return std::unexpected(QuarvoError::toml_write(TomlWriteError{"path contains invalid UTF-8 characters"}));
  }
  for (const std::string* text : {&volume.name, &volume.backend, &volume.metadata_url, &volume.storage, &volume.bucket,
                                  &volume.created_at, &volume.updated_at}) {
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
  return volume;
}

}  // namespace quarvo
