#include "quarvo/core/processes.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <memory>

#include "quarvo/core/file_io.hpp"

namespace quarvo {
namespace {

namespace fs = std::filesystem;

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

fs::path proc_path(pid_t pid, std::string_view file) {
  return fs::path("/proc") / std::to_string(pid) / std::string(file);
}

// The fields of /proc/PID/stat after the command name (which may hold
// spaces and parentheses, so it ends at the last ')'): the state first.
std::optional<std::string> stat_fields(pid_t pid) {
  auto stat = read_file(proc_path(pid, "stat"));
  if (!stat) return std::nullopt;
  const size_t paren = stat->rfind(')');
  if (paren == std::string::npos || paren + 2 >= stat->size()) return std::nullopt;
  return stat->substr(paren + 2);
}

template <class Number>
std::optional<Number> number_of(std::string_view text) {
  Number value{};
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

// The entries of a directory whose names are numbers (pids, descriptors).
template <class Number>
std::vector<Number> numbered_entries(const fs::path& dir) {
  std::vector<Number> out;
  DirHandle handle(::opendir(dir.c_str()));
  if (!handle) return out;
  while (const dirent* entry = ::readdir(handle.get())) {
    if (auto n = number_of<Number>(entry->d_name)) out.push_back(*n);
  }
  return out;
}

// Whether descriptor `fd` of `pid` is open for writing, by its fdinfo.
bool open_for_writing(pid_t pid, int fd) {
  auto info = read_file(proc_path(pid, "fdinfo") / std::to_string(fd));
  if (!info) return false;
  const size_t at = info->find("flags:");
  if (at == std::string::npos) return false;
  size_t i = at + 6;
  while (i < info->size() && ((*info)[i] == '\t' || (*info)[i] == ' ')) ++i;
  unsigned flags = 0;
  const auto [end, ec] = std::from_chars(info->data() + i, info->data() + info->size(), flags, 8);
  return ec == std::errc() && (flags & O_ACCMODE) != O_RDONLY;
}

}  // namespace

std::optional<std::uint64_t> process_start(pid_t pid) {
  auto fields = stat_fields(pid);
  if (!fields) return std::nullopt;
  // Field 22 of the whole line is the 20th after the name.
  std::string_view rest = *fields;
  for (int skip = 0; skip < 19; ++skip) {
    const size_t space = rest.find(' ');
    if (space == std::string_view::npos) return std::nullopt;
    rest.remove_prefix(space + 1);
  }
  return number_of<std::uint64_t>(rest.substr(0, rest.find(' ')));
}

std::string own_owner() {
  const pid_t pid = ::getpid();
  return std::to_string(pid) + ":" + std::to_string(process_start(pid).value_or(0));
}

std::optional<pid_t> owner_pid(std::string_view owner) {
  const size_t colon = owner.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  auto pid = number_of<pid_t>(owner.substr(0, colon));
  if (!pid || *pid <= 0 || !number_of<std::uint64_t>(owner.substr(colon + 1))) return std::nullopt;
  return pid;
}

bool owner_alive(std::string_view owner) {
  const auto pid = owner_pid(owner);
  if (!pid || process_gone(*pid)) return false;
  const auto start = process_start(*pid);
  return start && std::to_string(*start) == owner.substr(owner.find(':') + 1);
}

bool process_gone(pid_t pid) {
  if (::kill(pid, 0) != 0) return errno == ESRCH;
  auto fields = stat_fields(pid);
  return !fields || fields->front() == 'Z' || fields->front() == 'X';
}

std::optional<std::string> command_line(pid_t pid) {
  auto text = read_file(proc_path(pid, "cmdline"));
  if (!text || text->empty()) return std::nullopt;
  while (!text->empty() && text->back() == '\0') text->pop_back();
  for (char& c : *text) {
    if (c == '\0') c = ' ';
  }
  return std::move(*text);
}

std::optional<pid_t> parent_pid(pid_t pid) {
  auto fields = stat_fields(pid);
  if (!fields) return std::nullopt;
  // "S PPID ...": the state, then the parent.
  std::string_view rest = *fields;
  const size_t space = rest.find(' ');
  if (space == std::string_view::npos) return std::nullopt;
  rest.remove_prefix(space + 1);
  return number_of<pid_t>(rest.substr(0, rest.find(' ')));
}

std::vector<fs::path> open_files(pid_t pid) {
  std::vector<fs::path> files;
  const fs::path fds = proc_path(pid, "fd");
  for (const int fd : numbered_entries<int>(fds)) {
    char target[PATH_MAX];
    const ssize_t n = ::readlink((fds / std::to_string(fd)).c_str(), target, sizeof target);
    if (n > 0) files.emplace_back(std::string(target, static_cast<size_t>(n)));
  }
  return files;
}

std::vector<pid_t> process_ids() { return numbered_entries<pid_t>("/proc"); }

std::vector<fs::path> writers_under(const fs::path& dir) {
  std::vector<fs::path> found;
  const std::string prefix = dir.native() + "/";
  for (const pid_t pid : process_ids()) {
    const fs::path fds = proc_path(pid, "fd");
    for (const int fd : numbered_entries<int>(fds)) {
      const fs::path link = fds / std::to_string(fd);
      char target[PATH_MAX];
      const ssize_t n = ::readlink(link.c_str(), target, sizeof target);
      if (n <= 0 || !std::string_view(target, static_cast<size_t>(n)).starts_with(prefix)) continue;
      if (open_for_writing(pid, fd)) found.push_back(link);
    }
  }
  return found;
}

}  // namespace quarvo
