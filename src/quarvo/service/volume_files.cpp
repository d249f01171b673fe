#include "quarvo/service/volume_files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>

#include "quarvo/core/file_io.hpp"
#include "quarvo/core/json.hpp"

namespace quarvo {
namespace fs = std::filesystem;
namespace {

// Far more than any mount's .config; a planted endless file stops here.
constexpr size_t kMountConfigLimit = 1u << 20;

// 8-4-4-4-12 hexadecimal digits.
bool is_uuid(std::string_view text) {
  if (text.size() != 36) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (dash ? c != '-' : !hex) return false;
  }
  return true;
}

// The whole of a small file that may be a FIFO or endless: nullopt when it
// cannot be read.
std::optional<std::string> read_bounded(const fs::path& path) {
  auto fd = open_fd(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
  if (!fd) return std::nullopt;
  std::string text;
  char buf[4096];
  while (text.size() < kMountConfigLimit) {
    const ssize_t n = ::read(fd->get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    text.append(buf, static_cast<size_t>(n));
  }
  return text;
}

}  // namespace

Result<void> rotate_volume_log(const QuarvoHome& home, std::string_view name) {
  const fs::path log = home.volume_log_path(name);
  struct stat st{};
  if (::stat(log.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
  if (static_cast<std::uintmax_t>(st.st_size) <= kLogRotateBytes) return {};
  // A daemon still writing the old file keeps writing it, now as NAME.log.1.
  if (::rename(log.c_str(), home.old_volume_log_path(name).c_str()) != 0) {
    return std::unexpected(QuarvoError::io_at_errno(log, errno));
  }
  return {};
}

void delete_volume_logs(const QuarvoHome& home, std::string_view name) {
  (void)::unlink(home.volume_log_path(name).c_str());
  (void)::unlink(home.old_volume_log_path(name).c_str());
}

std::optional<fs::path> default_cache_base() {
#if defined(__linux__)
  if (::geteuid() == 0) return fs::path("/var/jfsCache");
#endif
  const char* home = std::getenv("HOME");
  if (home == nullptr || *home == '\0') return std::nullopt;
  return fs::path(home) / ".juicefs" / "cache";
}

std::optional<MountConfig> read_mount_config(const fs::path& mountpoint) {
  auto text = read_bounded(mountpoint / ".config");
  if (!text) return std::nullopt;
  auto doc = parse_json(*text);
  if (!doc) return std::nullopt;
  MountConfig config;
  if (const JsonValue* uuid = doc->at("Format", "UUID")) config.uuid = uuid->string().value_or("");
  if (const JsonValue* dirs = doc->at("Chunk", "CacheDir")) {
    // Several cache directories are joined by ':'.
    const std::string joined = dirs->string().value_or("");
    std::string_view rest = joined;
    while (!rest.empty()) {
      const size_t end = rest.find(':');
      if (end != 0) config.cache_dirs.emplace_back(std::string(rest.substr(0, end)));
      if (end == std::string_view::npos) break;
      rest.remove_prefix(end + 1);
    }
  }
  if (!is_uuid(config.uuid)) return std::nullopt;
  return config;
}

std::vector<fs::path> volume_cache_dirs(std::string_view uuid, const std::optional<MountConfig>& mount) {
  std::vector<fs::path> dirs;
  if (!is_uuid(uuid)) return dirs;
  if (mount && mount->uuid == uuid) {
    for (const fs::path& dir : mount->cache_dirs) {
      if (dir.filename() == uuid) dirs.push_back(dir);
    }
    if (!dirs.empty()) return dirs;
  }
  if (auto base = default_cache_base()) dirs.push_back(*base / std::string(uuid));
  return dirs;
}

void delete_caches(const std::vector<fs::path>& dirs) {
  for (const fs::path& dir : dirs) {
    std::error_code ignored;
    if (is_uuid(dir.filename().native())) fs::remove_all(dir, ignored);
  }
}

}  // namespace quarvo
