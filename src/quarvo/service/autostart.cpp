#include "quarvo/service/autostart.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "quarvo/core/file_io.hpp"
#include "quarvo/core/text.hpp"

namespace quarvo {
namespace {

namespace fs = std::filesystem;

// 64-bit FNV-1a: a short, stable name for a home's path.
std::string home_digest(std::string_view text) {
  std::uint64_t hash = 0xcbf29ce484222325ull;
  for (const char c : text) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 0x100000001b3ull;
  }
  char buf[17];
  std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(hash));
  return buf;
}

// Where the user's systemd looks for units of its own.
std::optional<fs::path> user_unit_dir() {
  if (const char* config = std::getenv("XDG_CONFIG_HOME"); config != nullptr && config[0] == '/') {
    return fs::path(config) / "systemd" / "user";
  }
  std::string home;
  if (const char* env = std::getenv("HOME"); env != nullptr && env[0] == '/') home = env;
  if (home.empty()) home = user_database_home();
  if (home.empty()) return std::nullopt;
  return fs::path(home) / ".config" / "systemd" / "user";
}

Result<void> check_unit_word(std::string_view word) {
  const bool control =
      std::any_of(word.begin(), word.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
  if (!control && is_valid_utf8(word)) return {};
  return std::unexpected(QuarvoError::invalid_argument(
      escape_unprintable(word) + " cannot go into a systemd unit: it is not UTF-8 or holds control characters"));
}

// A word between double quotes as a unit file reads it: '\\' and '"'
// escaped, '%' doubled (a specifier otherwise) and, where `dollars`, '$'
// doubled (ExecStart= expands variables).
std::string unit_quoted(std::string_view word, bool dollars) {
  std::string out = "\"";
  for (const char c : word) {
    if (c == '\\' || c == '"') out += '\\';
    if (c == '%') out += '%';
    if (c == '$' && dollars) out += '$';
    out += c;
  }
  return out + "\"";
}

// A word as a POSIX shell reads it back: as it is when it holds only
// characters no shell treats specially, else between single quotes.
std::string shell_quoted(std::string_view word) {
  const bool plain = !word.empty() && std::all_of(word.begin(), word.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::string_view("@%+=:,./_-").find(c) != std::string_view::npos;
  });
  if (plain) return std::string(word);
  std::string out = "'";
  for (const char c : word) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

}  // namespace

Result<AutostartUnit> autostart_unit(const QuarvoHome& home) {
  AutostartUnit unit;
  unit.name = "quarvo-volumes-" + home_digest(home.root().native()) + ".service";
  unit.system = ::geteuid() == 0;
  if (unit.system) {
    unit.path = fs::path("/etc/systemd/system") / unit.name;
  } else {
    auto dir = user_unit_dir();
    if (!dir) {
      return std::unexpected(
          QuarvoError::io(OsError::with_message(ENOENT, "could not determine the directory for systemd user units")));
    }
    unit.path = *dir / unit.name;
  }
  struct stat st{};
  unit.installed = ::lstat(unit.path.c_str(), &st) == 0;
  return unit;
}

Result<std::string> autostart_unit_text(const QuarvoHome& home, const AutostartUnit& unit,
                                        const std::vector<std::string>& command) {
  const std::string root = path_text(home.root());
  QUARVO_TRY(check_unit_word(root));
  std::string exec;
  for (const std::string& word : command) {
    QUARVO_TRY(check_unit_word(word));
    exec += (exec.empty() ? "" : " ") + unit_quoted(word, true);
  }
  std::string text = "# Written by `quarvo autostart enable`; `quarvo autostart disable` removes it.\n[Unit]\n";
  // A description is taken as it is, but for its specifiers.
  std::string description = "Quarvo: mount the volumes of " + root + " again";
  for (size_t at = 0; (at = description.find('%', at)) != std::string::npos; at += 2) description.insert(at, 1, '%');
  text += "Description=" + description + "\n";
  if (unit.system) text += "Wants=network-online.target\nAfter=network-online.target remote-fs.target\n";
  text += "\n[Service]\nType=oneshot\nRemainAfterExit=yes\n";
  text += "# The mounts' daemons outlive the command; stopping the unit ends none of them.\nKillMode=process\n";
  text += "Environment=" + unit_quoted("QUARVO_HOME=" + root, false) + "\n";
  text += "ExecStart=" + exec + "\n";
  text += "TimeoutStartSec=" + std::to_string(kAutostartStartBound.count()) + "min\n";
  text += "\n[Install]\nWantedBy=";
  text += unit.system ? "multi-user.target\n" : "default.target\n";
  return text;
}

std::string autostart_line(const QuarvoHome& home, const std::vector<std::string>& command) {
  std::string line = "QUARVO_HOME=" + shell_quoted(path_text(home.root()));
  for (const std::string& word : command) line += " " + shell_quoted(word);
  return line;
}

Result<void> write_autostart_unit(const QuarvoHome& home, const AutostartUnit& unit,
                                  const std::vector<std::string>& command) {
  auto text = autostart_unit_text(home, unit, command);
  if (!text) return std::unexpected(std::move(text).error());
  const fs::path dir = unit.path.parent_path();
  if (const int err = create_directories(dir, 0755)) return std::unexpected(QuarvoError::io_at_errno(dir, err));
  fs::path tmp = unit.path;
  tmp += ".tmp";
  {
    auto fd = open_fd(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0644);
    if (!fd) return std::unexpected(QuarvoError::io_at_errno(tmp, fd.error()));
    // The mode whatever the umask: systemd reads the file as another user may.
    int err = ::fchmod(fd->get(), 0644) == 0 ? 0 : errno;
    if (err == 0) err = write_all(fd->get(), *text);
    if (err == 0 && ::fsync(fd->get()) != 0) err = errno;
    if (err != 0) {
      (void)::unlink(tmp.c_str());
      return std::unexpected(QuarvoError::io_at_errno(tmp, err));
    }
  }
  if (::rename(tmp.c_str(), unit.path.c_str()) != 0) {
    const int err = errno;
    (void)::unlink(tmp.c_str());
    return std::unexpected(QuarvoError::io_at_errno(unit.path, err));
  }
  (void)sync_directory(dir);
  return {};
}

Result<bool> remove_autostart_unit(const AutostartUnit& unit) {
  if (::unlink(unit.path.c_str()) == 0) return true;
  if (errno == ENOENT) return false;
  return std::unexpected(QuarvoError::io_at_errno(unit.path, errno));
}

}  // namespace quarvo
