#include "quarvo/core/mount_table.hpp"

#include <cerrno>
#include <cstdlib>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#if defined(__APPLE__)
#include <sys/mount.h>
#include <sys/param.h>
#include <sys/ucred.h>
#else
#include "quarvo/core/file_io.hpp"
#endif

namespace quarvo {
namespace fs = std::filesystem;
namespace {

bool is_octal(char c) { return c >= '0' && c <= '7'; }

// The kernel writes space, tab, newline and backslash in a field as "\ooo".
std::string unescape(std::string_view field) {
  std::string out;
  out.reserve(field.size());
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() && is_octal(field[i + 1]) && is_octal(field[i + 2]) &&
        is_octal(field[i + 3])) {
      out.push_back(
          static_cast<char>(((field[i + 1] - '0') << 6) | ((field[i + 2] - '0') << 3) | (field[i + 3] - '0')));
      i += 3;
    } else {
      out.push_back(field[i]);
    }
  }
  return out;
}

// Whether a comma-separated list of options holds `option`.
bool has_option(std::string_view options, std::string_view option) {
  for (std::size_t start = 0; start <= options.size();) {
    const std::size_t comma = std::min(options.find(',', start), options.size());
    if (options.substr(start, comma - start) == option) return true;
    start = comma + 1;
  }
  return false;
}

// One mountinfo line as an entry, or nothing when it has another shape.
std::optional<MountEntry> parse_line(std::string_view line) {
  std::vector<std::string_view> fields;
  for (std::size_t start = 0;;) {
    const std::size_t space = line.find(' ', start);
    fields.push_back(line.substr(start, space - start));
    if (space == std::string_view::npos) break;
    start = space + 1;
  }
  // The optional fields end at a lone "-"; the fixed ones before it are six.
  for (std::size_t dash = 6; dash + 2 < fields.size(); ++dash) {
    if (fields[dash] != "-") continue;
    MountEntry entry{unescape(fields[4]), unescape(fields[dash + 2]), unescape(fields[dash + 1])};
    if (dash + 3 < fields.size()) entry.allow_other = has_option(fields[dash + 3], "allow_other");
    entry.device = std::string(fields[2]);
    return entry;
  }
  return std::nullopt;
}

struct FreeDeleter {
  void operator()(char* p) const { std::free(p); }
};

// realpath(3) of `dir` as a directory ("dir/." so that a file is ENOTDIR);
// the errno on failure.
std::expected<fs::path, int> resolve_directory(const fs::path& dir) {
  std::unique_ptr<char, FreeDeleter> resolved(::realpath((dir / ".").c_str(), nullptr));
  if (!resolved) return std::unexpected(errno);
  return fs::path(resolved.get());
}

}  // namespace

std::vector<MountEntry> parse_mountinfo(std::string_view text) {
  std::vector<MountEntry> table;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    if (auto entry = parse_line(text.substr(0, end))) table.push_back(std::move(*entry));
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return table;
}

#if defined(__APPLE__)

Result<std::vector<MountEntry>> read_mount_table() {
  // MNT_NOWAIT: the kernel's cached list; asking each file system for fresh
  // statistics would wait on a mount whose server is gone.
  struct statfs* mounts = nullptr;
  const int count = ::getmntinfo(&mounts, MNT_NOWAIT);
  if (count <= 0) return std::unexpected(QuarvoError::io_errno(errno));
  std::vector<MountEntry> table;
  table.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) {
    table.push_back(MountEntry{mounts[i].f_mntonname, mounts[i].f_mntfromname, mounts[i].f_fstypename});
  }
  return table;
}

#else

Result<std::vector<MountEntry>> read_mount_table() {
  static constexpr const char* kMountInfo = "/proc/self/mountinfo";
  // A proc file reports size 0, so read until the end in large steps: each
  // read(2) of the file is one consistent part of the table.
  auto fd = open_fd(kMountInfo, O_RDONLY);
  if (!fd) return std::unexpected(QuarvoError::io_at_errno(kMountInfo, fd.error()));
  std::string text;
  std::size_t len = 0;
  for (;;) {
    if (text.size() - len < 16384) text.resize(len + 65536);
    const ssize_t n = ::read(fd->get(), text.data() + len, text.size() - len);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(QuarvoError::io_at_errno(kMountInfo, errno));
    }
    if (n == 0) break;
    len += static_cast<std::size_t>(n);
  }
  text.resize(len);
  return parse_mountinfo(text);
}

#endif

std::optional<MountEntry> mount_at(const std::vector<MountEntry>& table, const fs::path& mountpoint) {
  for (auto it = table.rbegin(); it != table.rend(); ++it) {
    if (it->mountpoint == mountpoint) return *it;
  }
  return std::nullopt;
}

Result<fs::path> canonical_mountpoint(const fs::path& path) {
  if (path.empty()) return std::unexpected(QuarvoError::io_at_errno(path, ENOENT));
  fs::path absolute = path;
  if (!path.is_absolute()) {
    std::error_code ec;
    absolute = fs::current_path(ec) / path;
    if (ec) return std::unexpected(QuarvoError::io_errno(ec.value()));
  }

  const fs::path relative = absolute.relative_path();
  std::vector<fs::path> parts(relative.begin(), relative.end());
  // "a/b/" and "a/b/." name a/b itself.
  while (!parts.empty() && (parts.back().empty() || parts.back() == ".")) parts.pop_back();
  if (parts.empty()) return fs::path("/");

  // The longest prefix of the parent that exists is resolved; what follows
  // it (directories still to be made, then the leaf) is appended as written.
  std::size_t known = parts.size() - 1;
  fs::path resolved;
  for (;;) {
    fs::path prefix = "/";
    for (std::size_t i = 0; i < known; ++i) prefix /= parts[i];
    auto real = resolve_directory(prefix);
    if (real) {
      resolved = std::move(*real);
      break;
    }
    if (real.error() != ENOENT || known == 0) return std::unexpected(QuarvoError::io_at_errno(path, real.error()));
    --known;
  }
  for (std::size_t i = known; i < parts.size(); ++i) {
    if (parts[i].empty() || parts[i] == ".") continue;
    if (parts[i] == "..") {
      resolved = resolved.parent_path();
    } else {
      resolved /= parts[i];
    }
  }
  return resolved;
}

namespace {
constexpr std::string_view kVolumeSourcePrefix = "JuiceFS:";
}  // namespace

std::string volume_mount_source(std::string_view name) { return std::string(kVolumeSourcePrefix).append(name); }

bool is_volume_mount_source(std::string_view source) { return source.starts_with(kVolumeSourcePrefix); }

}  // namespace quarvo
