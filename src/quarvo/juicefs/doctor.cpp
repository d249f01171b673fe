#include "quarvo/juicefs/doctor.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <utility>
#include <vector>

#include "quarvo/core/config.hpp"
#include "quarvo/core/trust.hpp"
#include "quarvo/juicefs/command.hpp"

namespace quarvo {
namespace {

constexpr std::string_view kMacfuseBundle = "/Library/Filesystems/macfuse.fs";
constexpr std::string_view kFuseDevice = "/dev/fuse";

// stat follows symbolic links, so a link to a program counts as the program.
// A path with a NUL byte (possible in config.toml) names no file: stat would
// look at the shorter path before it.
bool regular_file_at(const std::filesystem::path& path) {
  if (path.native().find('\0') != std::string::npos) return false;
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

[[maybe_unused]] bool path_exists(const std::filesystem::path& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

[[maybe_unused]] bool char_device_at(const std::filesystem::path& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode);
}

// An environment variable's bytes as a path; unset and empty are both absent.
std::optional<std::filesystem::path> env_path(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return std::nullopt;
  return std::filesystem::path(value);
}

bool found_on_path(std::string_view name) { return which_on_path(name).has_value(); }

// Whether a program lives in the home (its managed program does), whose
// rule (no group write either) it then follows.
bool in_home(const QuarvoHome& home, const std::filesystem::path& program) {
  const std::filesystem::path inside = program.lexically_normal().lexically_relative(home.root().lexically_normal());
  return !inside.empty() && *inside.begin() != "..";
}

// The UTF-8 encodings of the characters with the Unicode White_Space
// property: the ASCII six, U+0085, U+00A0, U+1680, U+2000..U+200A, U+2028,
// U+2029, U+202F, U+205F and U+3000. UTF-8 is self-synchronising, so a
// match at either end of the text is always a whole character.
constexpr std::array<std::string_view, 25> kWhiteSpace = {
    "\t",           "\n",           "\v",           "\f",           "\r",           " ",
    "\xC2\x85",     "\xC2\xA0",     "\xE1\x9A\x80", "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82",
    "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85", "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88",
    "\xE2\x80\x89", "\xE2\x80\x8A", "\xE2\x80\xA8", "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F",
    "\xE3\x80\x80",
};

// Removes white space from the front or the back of `text` while there is any.
void strip_end(std::string_view& text, bool front) {
  for (bool stripped = true; stripped;) {
    stripped = false;
    for (std::string_view ws : kWhiteSpace) {
      if (front ? text.starts_with(ws) : text.ends_with(ws)) {
        front ? text.remove_prefix(ws.size()) : text.remove_suffix(ws.size());
        stripped = true;
      }
    }
  }
}

std::string_view strip_white_space(std::string_view text) {
  strip_end(text, true);
  strip_end(text, false);
  return text;
}

// The non-empty pieces between separators; a leading separator is kept as
// the root, so "/a" and "a" stay different.
std::pair<bool, std::vector<std::string_view>> components(const std::filesystem::path& path) {
  std::string_view text = path.native();
  const bool absolute = text.starts_with('/');
  std::vector<std::string_view> pieces;
  while (!text.empty()) {
    const size_t slash = text.find('/');
    std::string_view piece = text.substr(0, slash);
    if (!piece.empty()) pieces.push_back(piece);
    if (slash == std::string_view::npos) break;
    text.remove_prefix(slash + 1);
  }
  return {absolute, std::move(pieces)};
}

}  // namespace

std::optional<std::filesystem::path> detect_storage_backend_bin(
    const QuarvoHome& home, const std::optional<std::filesystem::path>& configured) {
  const std::optional<std::filesystem::path> candidates[] = {
      env_path("QUARVO_STORAGE_BACKEND_BIN"), env_path("QUARVO_JUICEFS_BIN"),    configured,
      home.managed_storage_backend_bin(),     home.legacy_managed_juicefs_bin(),
  };
  for (const auto& candidate : candidates) {
    if (candidate && regular_file_at(*candidate)) return *candidate;
  }
  return which_on_path("juicefs");
}

Result<std::filesystem::path> trusted_storage_backend_bin(const QuarvoHome& home,
                                                          const std::optional<std::filesystem::path>& configured) {
  auto program = detect_storage_backend_bin(home, configured);
  if (!program) return std::unexpected(QuarvoError::storage_backend_missing());
  // A program in the home is as safe as the home and its bin/ are.
  const bool inside = in_home(home, *program);
  if (inside) QUARVO_TRY(home.check_layout());
  QUARVO_TRY(check_program(*program, inside));
  return std::move(*program);
}

std::optional<std::filesystem::path> which_on_path(std::string_view name) {
  const char* path_var = std::getenv("PATH");
  if (path_var == nullptr) return std::nullopt;
  std::string_view rest = path_var;
  while (true) {
    const size_t colon = rest.find(':');
    const std::string_view entry = rest.substr(0, colon);
    // An empty entry is the working directory: the bare name, as it stands.
    std::filesystem::path candidate = entry.empty() ? std::filesystem::path(name) : std::filesystem::path(entry) / name;
    if (regular_file_at(candidate)) return candidate;
    if (colon == std::string_view::npos) return std::nullopt;
    rest.remove_prefix(colon + 1);
  }
}

std::string extract_version(std::string_view output) {
  const std::string_view stripped = strip_white_space(output);
  std::string_view rest = stripped;
  while (!rest.empty()) {
    size_t end = 0;
    bool has_dot = false;
    bool has_digit = false;
    while (end < rest.size() && ((rest[end] >= '0' && rest[end] <= '9') || rest[end] == '.')) {
      has_dot = has_dot || rest[end] == '.';
      has_digit = has_digit || rest[end] != '.';
      ++end;
    }
    if (has_dot && has_digit) return std::string(rest.substr(0, end));
    // Skip the piece and the separator after it; a non-ASCII character is
    // several separator bytes, which is the same split.
    rest.remove_prefix(end < rest.size() ? end + 1 : end);
  }
  return std::string(stripped);
}

std::optional<std::string> storage_backend_version(const std::filesystem::path& program, const WaitLimits& limits) {
  auto output = CommandSpec(program).arg("version").run(limits);
  if (!output) return std::nullopt;
  std::string version = extract_version(output->stdout_text);
  if (version.empty()) return std::nullopt;
  return version;
}

MountSupport detect_mount_support_macos(const PathExists& exists,
                                        const std::function<bool(std::string_view)>& on_path) {
  const std::filesystem::path bundle(kMacfuseBundle);
  const bool found = exists(bundle / "Contents" / "Resources" / "mount_macfuse") || exists(bundle) ||
                     on_path("mount_macfuse") || on_path("mount_fusefs");
  if (found) return MountSupport{true, "macOS mount helper found", std::nullopt};
  return MountSupport{false, "macOS mount helper was not found",
                      "Install macOS FUSE-compatible mount support, then rerun `quarvo doctor`."};
}

MountSupport detect_mount_support_linux(bool fuse_is_char_device, bool is_root,
                                        const std::function<bool(std::string_view)>& on_path) {
  if (!fuse_is_char_device) {
    return MountSupport{false, "FUSE device /dev/fuse was not found",
                        "Install FUSE (for example the fuse3 package) and load the fuse kernel module, "
                        "then rerun `quarvo doctor`."};
  }
  // Without root, mounting goes through the setuid helper.
  if (is_root || on_path("fusermount3") || on_path("fusermount"))
    return MountSupport{true, "FUSE device /dev/fuse found", std::nullopt};
  return MountSupport{false, "fusermount3 was not found on PATH",
                      "Install the fuse3 package, then rerun `quarvo doctor`."};
}

MountSupport detect_mount_support() {
#if defined(__APPLE__)
  return detect_mount_support_macos(path_exists, found_on_path);
#else
  return detect_mount_support_linux(char_device_at(std::filesystem::path(kFuseDevice)), ::geteuid() == 0,
                                    found_on_path);
#endif
}

Result<void> require_mount_support() {
  MountSupport support = detect_mount_support();
  if (support.found) return {};
  std::string fix = support.fix.value_or("");
  if (fix.empty()) fix = "Install local mount support for this platform.";
  return std::unexpected(QuarvoError::mount_support_unavailable(std::move(support.detail), std::move(fix)));
}

namespace {

// Whether two paths name the same file by their components (a doubled or a
// trailing separator makes no difference).
bool same_path_components(const std::filesystem::path& a, const std::filesystem::path& b) {
  return components(a) == components(b);
}

// The report once the configuration has been read (or given up on); a
// program that is not safe to run is not asked its version, and `unsafe`
// says why.
DoctorReport report_for(const QuarvoHome& home, const std::optional<std::filesystem::path>& configured,
                        const Cancel& cancel, std::optional<QuarvoError>& unsafe) {
  DoctorReport report;
  report.home = home.root();
  report.config = home.config_path();
  StorageBackendReport& backend = report.storage_backend;
  backend.path = detect_storage_backend_bin(home, configured);
  backend.found = backend.path.has_value();
  if (backend.found) {
    if (auto trusted = trusted_storage_backend_bin(home, configured); !trusted) {
      unsafe = std::move(trusted).error();
    } else {
      backend.version = storage_backend_version(*backend.path, WaitLimits::within(kVersionBound, cancel));
    }
    backend.managed = same_path_components(*backend.path, home.managed_storage_backend_bin());
  }
  report.mount_support = detect_mount_support();
  return report;
}

}  // namespace

Result<DoctorReport> doctor(const QuarvoHome& home, const Cancel& cancel) {
  QUARVO_TRY(home.ensure_layout());
  auto config = Config::load(home);
  if (!config) return std::unexpected(std::move(config).error());
  std::optional<QuarvoError> unsafe;
  return report_for(home, config->storage_backend_bin, cancel, unsafe);
}

Result<Diagnosis> diagnose(const QuarvoHome& home, const Cancel& cancel) {
  QUARVO_TRY(home.ensure_layout());
  auto config = Config::load(home);
  Diagnosis diagnosis;
  if (!config) diagnosis.config_error = std::move(config).error();
  diagnosis.report =
      report_for(home, config ? config->storage_backend_bin : std::nullopt, cancel, diagnosis.unsafe_backend);
  return diagnosis;
}

}  // namespace quarvo
