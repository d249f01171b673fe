#include "quarvo/core/written_form.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

namespace quarvo {
namespace {

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
// opening quote to its closing quote, into `out`, moving `in` past the
// closing quote; false when the value has any other form.
bool read_written_quoted(std::string_view& in, std::string& out) {
  // Most values hold no escape: such a value is taken in one piece.
  size_t i = plain_prefix(in);
  out.assign(in.substr(0, i));
  for (; i < in.size(); ++i) {
    const char c = in[i];
    if (c == '"') {
      in.remove_prefix(i + 1);
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
    const auto* escape = std::find_if(std::begin(kWrittenEscapes), std::end(kWrittenEscapes),
                                      [letter](auto e) { return e.second == letter; });
    if (escape != std::end(kWrittenEscapes)) {
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

// A string value that ends its line, read as read_written_quoted does and
// moving `in` past the line.
bool read_written_value(std::string_view& in, std::string& out) {
  if (!read_written_quoted(in, out) || !in.starts_with('\n')) return false;
  in.remove_prefix(1);
  return true;
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
  while (i < in.size() && in[i] >= '0' && in[i] <= '9' && value <= kMaxRecordPid) value = value * 10 + (in[i++] - '0');
  if (i == kSize || in[kSize] == '0' || value > kMaxRecordPid || i >= in.size() || in[i] != '\n') return false;
  out = value;
  in.remove_prefix(i + 1);
  return true;
}

// `cache_dirs = ["...", "..."]` as the writer writes it, when it is there.
bool read_written_cache_dirs(std::string_view& in, std::vector<std::filesystem::path>& out) {
  out.clear();
  constexpr std::string_view kStart = "cache_dirs = [\"";
  if (!in.starts_with(kStart)) return true;
  in.remove_prefix(kStart.size());
  for (;;) {
    std::string dir;
    if (!read_written_quoted(in, dir)) return false;
    out.emplace_back(std::move(dir));
    if (in.starts_with("]\n")) {
      in.remove_prefix(2);
      return true;
    }
    if (!in.starts_with(", \"")) return false;
    in.remove_prefix(3);
  }
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
         read_written_pid(in, "supervisor_pid = ", volume.supervisor_pid) &&
         read_written_cache_dirs(in, volume.cache_dirs) && read_written_intent(in, volume.intent) &&
         read_written_settings(in, volume.settings);
}

}  // namespace

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

}  // namespace quarvo
