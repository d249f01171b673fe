#include "quarvo/service/volume_files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <system_error>

#include "quarvo/core/file_io.hpp"
#include "quarvo/core/json.hpp"
#include "quarvo/juicefs/mount_options.hpp"

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
  const auto field = [&](std::string_view section, std::string_view key) {
    const JsonValue* value = doc->at(section, key);
    return value ? value->string().value_or("") : std::string();
  };
  config.uuid = field("Format", "UUID");
  config.name = field("Format", "Name");
  config.subdir = field("Meta", "Subdir");
  config.metrics = field("Port", "PrometheusAgent");
  if (const JsonValue* read_only = doc->at("Meta", "ReadOnly")) config.read_only = read_only->boolean().value_or(false);
  for (auto [key, pid] : {std::pair{"Pid", &config.pid}, std::pair{"PPid", &config.supervisor_pid}}) {
    const JsonValue* value = doc->find(key);
    *pid = value ? std::max<std::int64_t>(value->integer().value_or(0), 0) : 0;
  }
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

std::vector<fs::path> volume_cache_dirs(const QuarvoHome& home, const Volume& volume, std::string_view uuid,
                                        const std::optional<MountConfig>& mount) {
  std::vector<fs::path> dirs;
  const auto add = [&](const fs::path& dir) {
    const bool named = is_uuid(uuid) ? dir.filename() == uuid : is_uuid(dir.filename().native());
    if (named && std::find(dirs.begin(), dirs.end(), dir) == dirs.end()) dirs.push_back(dir);
  };
  for (const fs::path& dir : volume.cache_dirs) add(dir);
  if (!is_uuid(uuid)) return dirs;
  if (mount && mount->uuid == uuid) {
    for (const fs::path& dir : mount->cache_dirs) add(dir);
  }
  const auto setting = volume.settings.find(kCacheDirSetting);
  const auto* base = setting == volume.settings.end() ? nullptr : std::get_if<std::string>(&setting->second);
  add((base != nullptr && !base->empty() ? fs::path(*base) : home.cache_dir()) / std::string(uuid));
  add(home.cache_dir() / std::string(uuid));
  if (auto backend_default = default_cache_base()) add(*backend_default / std::string(uuid));
  return dirs;
}

std::uintmax_t disk_usage(const std::vector<fs::path>& dirs) {
  std::uintmax_t bytes = 0;
  for (const fs::path& dir : dirs) {
    std::error_code ec;
    for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
      struct stat st{};
      if (::lstat(it->path().c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) bytes += std::uintmax_t(st.st_blocks) * 512;
    }
  }
  return bytes;
}

void delete_caches(const std::vector<fs::path>& dirs) {
  for (const fs::path& dir : dirs) {
    std::error_code ignored;
    if (is_uuid(dir.filename().native())) fs::remove_all(dir, ignored);
  }
}

}  // namespace quarvo
