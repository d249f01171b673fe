#include "quarvo/core/error.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>

namespace quarvo {
namespace {

#include "quarvo/core/unicode_printable.inc"

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

// Length of the well-formed UTF-8 sequence at the start of `s`, or, when the
// sequence is ill-formed, minus the length of its maximal ill-formed subpart
// (at least one byte). Decodes the code point into `cp` when well-formed.
int decode_one(std::string_view s, char32_t& cp) {
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

void append_hex(std::string& out, char32_t cp) {
  char buf[16];
  const int n = std::snprintf(buf, sizeof buf, "%x", static_cast<unsigned>(cp));
  out.append(buf, static_cast<size_t>(n));
}

}  // namespace

std::string OsError::text() const {
  if (!custom.empty()) return custom;
  // strerror_r comes in two flavours; the GNU one may return a static string.
  char buf[256];
  const char* description = buf;
#if defined(__GLIBC__) && defined(_GNU_SOURCE)
  description = strerror_r(code, buf, sizeof buf);
#else
  if (strerror_r(code, buf, sizeof buf) != 0) std::snprintf(buf, sizeof buf, "Unknown error %d", code);
#endif
  return std::string(description) + " (os error " + std::to_string(code) + ")";
}

QuarvoError QuarvoError::with_text(ErrorKind kind, std::string text) {
  QuarvoError e(kind);
  e.text_ = std::move(text);
  return e;
}

QuarvoError QuarvoError::invalid_volume_name(std::string name) {
  return with_text(ErrorKind::InvalidVolumeName, std::move(name));
}
QuarvoError QuarvoError::volume_exists(std::string name) { return with_text(ErrorKind::VolumeExists, std::move(name)); }
QuarvoError QuarvoError::volume_not_found(std::string name) {
  return with_text(ErrorKind::VolumeNotFound, std::move(name));
}
QuarvoError QuarvoError::storage_backend_missing() { return QuarvoError(ErrorKind::StorageBackendMissing); }
QuarvoError QuarvoError::auto_install_unsupported(std::string platform) {
  return with_text(ErrorKind::AutoInstallUnsupported, std::move(platform));
}
QuarvoError QuarvoError::storage_backend_install_failed(std::string detail) {
  return with_text(ErrorKind::StorageBackendInstallFailed, std::move(detail));
}
QuarvoError QuarvoError::unsupported_store_url(std::string url) {
  return with_text(ErrorKind::UnsupportedStoreUrl, std::move(url));
}
QuarvoError QuarvoError::missing_metadata_url() { return QuarvoError(ErrorKind::MissingMetadataUrl); }
QuarvoError QuarvoError::missing_object_storage() { return QuarvoError(ErrorKind::MissingObjectStorage); }
QuarvoError QuarvoError::mountpoint_not_directory(std::filesystem::path path) {
  QuarvoError e(ErrorKind::MountpointNotDirectory);
  e.path_ = std::move(path);
  return e;
}
QuarvoError QuarvoError::volume_not_mounted(std::string name) {
  return with_text(ErrorKind::VolumeNotMounted, std::move(name));
}
QuarvoError QuarvoError::mount_support_unavailable(std::string detail, std::string fix) {
  QuarvoError e = with_text(ErrorKind::MountSupportUnavailable, std::move(detail));
  e.fix_ = std::move(fix);
  return e;
}
QuarvoError QuarvoError::command_failed(CommandFailure failure) {
  QuarvoError e(ErrorKind::CommandFailed);
  e.command_ = std::move(failure);
  return e;
}
QuarvoError QuarvoError::io_at(std::filesystem::path path, OsError source) {
  QuarvoError e = io(std::move(source));
  e.kind_ = ErrorKind::IoAt;
  e.path_ = std::move(path);
  return e;
}
QuarvoError QuarvoError::io(OsError source) {
  QuarvoError e(ErrorKind::Io);
  e.os_ = std::move(source);
  return e;
}
QuarvoError QuarvoError::toml_parse(TomlParseError error) { return with_text(ErrorKind::TomlParse, std::move(error.text)); }
QuarvoError QuarvoError::toml_write(TomlWriteError error) { return with_text(ErrorKind::TomlWrite, std::move(error.text)); }

std::string QuarvoError::message() const {
  switch (kind_) {
    case ErrorKind::InvalidVolumeName:
      return "invalid volume name " + quote(text_) + "; use only letters, numbers, '.', '_' and '-'";
    case ErrorKind::VolumeExists:
      return "volume " + quote(text_) + " already exists";
    case ErrorKind::VolumeNotFound:
      return "volume " + quote(text_) + " does not exist";
    case ErrorKind::StorageBackendMissing:
      return "Quarvo storage backend is not installed; run `quarvo doctor --install` or rerun the Quarvo "
             "installer";
    case ErrorKind::AutoInstallUnsupported:
      return "Quarvo cannot auto-install the storage backend on " + text_;
    case ErrorKind::StorageBackendInstallFailed:
      return "could not install the Quarvo storage backend: " + text_;
    case ErrorKind::UnsupportedStoreUrl:
      return "unsupported store URL " + quote(text_) +
             "; use file://, s3://, gs://, or pass --storage and --bucket";
    case ErrorKind::MissingMetadataUrl:
      return "missing metadata URL; pass --metadata or use --dev";
    case ErrorKind::MissingObjectStorage:
      return "missing object storage config; pass --store or --storage and --bucket";
    case ErrorKind::MountpointNotDirectory:
      return "mountpoint " + path_text(path_) + " exists and is not a directory";
    case ErrorKind::VolumeNotMounted:
      return "volume " + quote(text_) + " is not mounted";
    case ErrorKind::MountSupportUnavailable:
      return "local mount support is unavailable: " + text_ + "\nFix: " + fix_;
    case ErrorKind::CommandFailed:
      return "Quarvo storage backend command failed (" + command_.status + ")";
    case ErrorKind::IoAt:
      return "I/O error at " + path_text(path_) + ": " + os_.text();
    case ErrorKind::Io:
      return os_.text();
    case ErrorKind::TomlParse:
    case ErrorKind::TomlWrite:
      return text_;
  }
  return "unknown error";  // unreachable: the switch covers every kind
}

std::string_view unicode_version() { return QUARVO_UNICODE_VERSION; }

bool is_printable(char32_t cp) {
  const auto* end = std::end(kPrintableRanges);
  const auto* it = std::upper_bound(std::begin(kPrintableRanges), end, cp,
                                    [](char32_t c, const auto& range) { return c < range.first; });
  if (it == std::begin(kPrintableRanges)) return false;
  return cp <= std::prev(it)->last;
}

std::string quote(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  size_t i = 0;
  while (i < text.size()) {
    char32_t cp = 0;
    const int n = decode_one(text.substr(i), cp);
    if (n < 0) {
      out += kReplacement;  // U+FFFD is printable and stays as it is
      i += static_cast<size_t>(-n);
      continue;
    }
    i += static_cast<size_t>(n);
    switch (cp) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
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
    const int n = decode_one(bytes.substr(i), cp);
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
    // Records and messages are nearly all ASCII: eight bytes at a time while
    // no byte has its high bit set.
    std::uint64_t word = 0;
    if (bytes.size() - i >= sizeof word) {
      std::memcpy(&word, bytes.data() + i, sizeof word);
      if ((word & 0x8080808080808080ull) == 0) {
        i += sizeof word;
        continue;
      }
    }
    if (static_cast<unsigned char>(bytes[i]) < 0x80) {
      ++i;
      continue;
    }
    char32_t cp = 0;
    const int n = decode_one(bytes.substr(i), cp);
    if (n < 0) return false;
    i += static_cast<size_t>(n);
  }
  return true;
}

std::string path_text(const std::filesystem::path& path) { return lossy_utf8(path.native()); }

}  // namespace quarvo
