#include "quarvo/core/text.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>

namespace quarvo {
namespace {

#include "quarvo/core/unicode_printable.inc"

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

void append_hex(std::string& out, char32_t cp);

}  // namespace

int decode_utf8(std::string_view s, char32_t& cp) {
  const auto b0 = static_cast<unsigned char>(s[0]);
  if (b0 < 0x80) {
    cp = b0;
    return 1;
  }
  int need = 0;
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
    cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    cp = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;  // no overlong forms
    if (b0 == 0xED) hi = 0x9F;  // no surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    cp = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;  // no overlong forms
    if (b0 == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
  } else {
    return -1;  // a continuation byte or a byte that never starts a sequence
  }
  for (int i = 1; i <= need; ++i) {
    if (static_cast<size_t>(i) >= s.size()) return -i;
    const auto b = static_cast<unsigned char>(s[i]);
    const unsigned char min = i == 1 ? lo : 0x80;
    const unsigned char max = i == 1 ? hi : 0xBF;
    if (b < min || b > max) return -i;
    cp = (cp << 6) | (b & 0x3F);
  }
  return need + 1;
}

namespace {

void append_hex(std::string& out, char32_t cp) {
  char buf[16];
  const int n = std::snprintf(buf, sizeof buf, "%x", static_cast<unsigned>(cp));
  out.append(buf, static_cast<size_t>(n));
}

}  // namespace

std::string_view unicode_version() { return QUARVO_UNICODE_VERSION; }

bool is_printable(char32_t cp) {
  const auto* end = std::end(kPrintableRanges);
  const auto* it = std::upper_bound(std::begin(kPrintableRanges), end, cp,
                                    [](char32_t c, const auto& range) { return c < range.first; });
  if (it == std::begin(kPrintableRanges)) return false;
  return cp <= std::prev(it)->last;
}

namespace {

// The byte length of the first `chars` characters of UTF-8 text.
std::size_t prefix_bytes(std::string_view utf8, std::size_t chars) {
  std::size_t i = 0;
  for (std::size_t seen = 0; i < utf8.size(); ++i) {
    if ((static_cast<unsigned char>(utf8[i]) & 0xC0) != 0x80 && seen++ == chars) break;
  }
  return i;
}

// " (N characters)": what a cut text adds after its "...".
std::string full_length(std::size_t chars) { return " (" + std::to_string(chars) + " characters)"; }

std::string quote_whole(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  size_t i = 0;
  while (i < text.size()) {
    char32_t cp = 0;
    const int n = decode_utf8(text.substr(i), cp);
    if (n < 0) {
      out += kReplacement;  // U+FFFD is printable and stays as it is
      i += static_cast<size_t>(-n);
      continue;
    }
    i += static_cast<size_t>(n);
    switch (cp) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\n':
        out += "\\n";
        break;
      default:
        if (is_printable(cp)) {
          append_utf8(out, cp);
        } else {
          out += "\\u{";
          append_hex(out, cp);
          out += '}';
        }
    }
  }
  out += '"';
  return out;
}

}  // namespace

std::string cut_for_message(std::string_view text) {
  std::string lossy = lossy_utf8(text);
  const std::size_t chars = char_count(lossy);
  if (chars <= kMessageTextChars) return lossy;
  lossy.resize(prefix_bytes(lossy, kMessageTextChars));
  return lossy + "..." + full_length(chars);
}

std::string quote(std::string_view text) {
  // Counted on the bytes first: a text that cannot have more characters than
  // the limit is quoted as it is, without a copy.
  if (text.size() <= kMessageTextChars) return quote_whole(text);
  const std::string lossy = lossy_utf8(text);
  const std::size_t chars = char_count(lossy);
  if (chars <= kMessageTextChars) return quote_whole(lossy);
  std::string out = quote_whole(std::string_view(lossy).substr(0, prefix_bytes(lossy, kMessageTextChars)));
  out.insert(out.size() - 1, "...");
  return out + full_length(chars);
}

std::string escape_unprintable(std::string_view text) {
  std::string out;
  append_escaped(out, text);
  return out;
}

void append_escaped(std::string& out, std::string_view text) {
  // Nearly every cell is printable ASCII: appended as it is.
  if (std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c < 0x7F; })) {
    out += text;
    return;
  }
  size_t i = 0;
  while (i < text.size()) {
    char32_t cp = 0;
    const int n = decode_utf8(text.substr(i), cp);
    if (n < 0) {
      out += kReplacement;
      i += static_cast<size_t>(-n);
      continue;
    }
    if (is_printable(cp)) {
      out.append(text.data() + i, static_cast<size_t>(n));
    } else if (cp == '\n') {
      out += "\\n";
    } else if (cp == '\r') {
      out += "\\r";
    } else if (cp == '\t') {
      out += "\\t";
    } else {
      const int digits = cp < 0x100 ? 2 : cp < 0x10000 ? 4 : 8;
      out += '\\';
      out += digits == 2 ? 'x' : digits == 4 ? 'u' : 'U';
      for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) out += "0123456789abcdef"[(cp >> shift) & 0xF];
    }
    i += static_cast<size_t>(n);
  }
}

std::size_t char_count(std::string_view utf8) {
  return static_cast<std::size_t>(
      std::count_if(utf8.begin(), utf8.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

std::string lossy_utf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  size_t i = 0;
  while (i < bytes.size()) {
    // Copy the longest ASCII run in one step; most text is plain ASCII.
    size_t j = i;
    while (j < bytes.size() && static_cast<unsigned char>(bytes[j]) < 0x80) ++j;
    out.append(bytes.data() + i, j - i);
    i = j;
    if (i == bytes.size()) break;
    char32_t cp = 0;
    const int n = decode_utf8(bytes.substr(i), cp);
    if (n > 0) {
      out.append(bytes.data() + i, static_cast<size_t>(n));
      i += static_cast<size_t>(n);
    } else {
      out += kReplacement;
      i += static_cast<size_t>(-n);
    }
  }
  return out;
}

std::string lossy_utf8(std::string&& bytes) {
  constexpr uint64_t kHighBits = 0x8080808080808080u;
  size_t i = 0;
  for (uint64_t word = 0; i + 8 <= bytes.size(); i += 8) {
    std::memcpy(&word, bytes.data() + i, 8);
    if ((word & kHighBits) != 0) break;
  }
  while (i < bytes.size() && static_cast<unsigned char>(bytes[i]) < 0x80) ++i;
  if (i == bytes.size() || is_valid_utf8(std::string_view(bytes).substr(i))) return std::move(bytes);
  return lossy_utf8(std::string_view(bytes));
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

bool is_valid_utf8(std::string_view bytes) {
  size_t i = 0;
  while (i < bytes.size()) {
    // Records and messages are nearly all ASCII: 32, then eight bytes at a
    // time while no byte has its high bit set.
    constexpr std::uint64_t kHighBits = 0x8080808080808080u;
    const auto word = [&](size_t at) {
      std::uint64_t w = 0;
      std::memcpy(&w, bytes.data() + at, sizeof w);
      return w;
    };
    if (bytes.size() - i >= 32 && ((word(i) | word(i + 8) | word(i + 16) | word(i + 24)) & kHighBits) == 0) {
      i += 32;
      continue;
    }
    if (bytes.size() - i >= 8 && (word(i) & kHighBits) == 0) {
      i += 8;
      continue;
    }
    if (static_cast<unsigned char>(bytes[i]) < 0x80) {
      ++i;
      continue;
    }
    char32_t cp = 0;
    const int n = decode_utf8(bytes.substr(i), cp);
    if (n < 0) return false;
    i += static_cast<size_t>(n);
  }
  return true;
}

std::string path_text(const std::filesystem::path& path) { return lossy_utf8(path.native()); }

}  // namespace quarvo
