#include "quarvo/core/paths.hpp"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "quarvo/core/file_io.hpp"
#include "quarvo/core/text.hpp"
#include "quarvo/core/trust.hpp"

namespace quarvo {
namespace {

bool is_dir(const std::filesystem::path& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

std::string user_database_home() {
  const long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(suggested > 0 ? static_cast<size_t>(suggested) : 512);
  for (;;) {
    struct passwd pw{};
    struct passwd* result = nullptr;
    const int rc = ::getpwuid_r(::getuid(), &pw, buf.data(), buf.size(), &result);
    // The suggested size is only a hint; an entry with long fields needs more.
    if (rc == ERANGE && buf.size() < (1u << 20)) {
      buf.resize(buf.size() * 2);
      continue;
    }
    if (rc != 0 || result == nullptr || pw.pw_dir == nullptr) return {};
    return pw.pw_dir;
  }
}

int create_directories(const std::filesystem::path& dir, mode_t mode) {
  if (dir.empty()) return 0;  // the working directory exists
  // mkdir would stop at a NUL byte and create a shorter path than asked for.
  if (dir.native().find('\0') != std::string::npos) return EINVAL;
  if (::mkdir(dir.c_str(), mode) == 0) return 0;
  int err = errno;
  if (err != ENOENT) return is_dir(dir) ? 0 : err;
  // A parent is missing: create the chain, then try again. A concurrent
  // creator may win the race at any level, which is success too.
  const std::filesystem::path parent = dir.parent_path();
  if (parent == dir) return err;
  if (const int perr = quarvo::create_directories(parent, mode); perr != 0) return perr;
  if (::mkdir(dir.c_str(), mode) == 0) return 0;
  err = errno;
  return is_dir(dir) ? 0 : err;
}

Result<QuarvoHome> QuarvoHome::from_env() {
  if (const char* root = std::getenv("QUARVO_HOME")) {
    const std::string_view value = root;
    if (value.empty()) {
      return std::unexpected(
          QuarvoError::invalid_argument("QUARVO_HOME is set but empty; set it to an absolute directory or unset it"));
    }
    if (!value.starts_with('/')) {
      return std::unexpected(QuarvoError::invalid_argument("QUARVO_HOME must be an absolute path, not " + quote(value) +
                                                           " (a relative home would follow the working directory)"));
    }
    return QuarvoHome(root);
  }
  std::string home;
  if (const char* env = std::getenv("HOME"); env != nullptr && *env != '\0') {
    home = env;
  } else {
    home = user_database_home();
  }
  if (home.empty()) {
    return std::unexpected(QuarvoError::io(OsError::with_message(ENOENT, "could not determine home directory")));
  }
  return QuarvoHome(std::filesystem::path(home) / ".quarvo");
}

std::filesystem::path QuarvoHome::config_path() const { return root_ / "config.toml"; }
std::filesystem::path QuarvoHome::managed_storage_backend_bin() const { return bin_dir() / "quarvo-storage"; }
std::filesystem::path QuarvoHome::legacy_managed_juicefs_bin() const { return bin_dir() / "juicefs"; }
std::filesystem::path QuarvoHome::dev_dir() const { return root_ / "dev"; }
std::filesystem::path QuarvoHome::volumes_dir() const { return root_ / "volumes"; }
std::filesystem::path QuarvoHome::logs_dir() const { return root_ / "logs"; }
std::filesystem::path QuarvoHome::bin_dir() const { return root_ / "bin"; }
std::filesystem::path QuarvoHome::cache_dir() const { return root_ / "cache"; }
std::filesystem::path QuarvoHome::lock_path() const { return root_ / "lock"; }

std::filesystem::path QuarvoHome::volume_path(std::string_view name) const {
  return volumes_dir() / (std::string(name) + ".toml");
}

std::filesystem::path QuarvoHome::volume_log_path(std::string_view name) const {
  return logs_dir() / (std::string(name) + ".log");
}

std::filesystem::path QuarvoHome::old_volume_log_path(std::string_view name) const {
  return logs_dir() / (std::string(name) + ".log.1");
}

DevPaths QuarvoHome::dev_paths(std::string_view name) const {
  std::filesystem::path directory = dev_dir() / std::string(name);
  return DevPaths{directory, directory / "metadata.db", directory / "objects"};
}

namespace {

// The home's directories, the root first, and how messages name each.
constexpr const char* kLayout[] = {"", "volumes", "logs", "bin", "dev"};

std::string layout_role(const char* sub) {
  return *sub == '\0' ? std::string("the Quarvo home") : "the Quarvo home's " + std::string(sub) + " directory";
}

}  // namespace

Result<void> QuarvoHome::ensure_layout() const {
  // The root first: nothing is made inside a home another user could change.
  for (const char* sub : kLayout) {
    const std::filesystem::path dir = *sub == '\0' ? root_ : root_ / sub;
    if (const int err = quarvo::create_directories(dir, kPrivateDirectoryMode); err != 0) {
      return std::unexpected(QuarvoError::io_at_errno(dir, err));
    }
    QUARVO_TRY(check_private(dir, layout_role(sub)));
  }
  return {};
}

Result<void> QuarvoHome::check_layout() const {
  for (const char* sub : kLayout) {
    const std::filesystem::path dir = *sub == '\0' ? root_ : root_ / sub;
    if (auto checked = check_private(dir, layout_role(sub)); !checked) {
      const QuarvoError& e = checked.error();
      if (e.kind() == ErrorKind::IoAt && e.os_error().code == ENOENT) continue;  // not made yet
      return checked;
    }
  }
  return {};
}

}  // namespace quarvo
