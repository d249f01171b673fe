#include "quarvo/service/interim_mounts.hpp"

#include <limits.h>
#include <sys/stat.h>
#include <sys/statfs.h>

#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "quarvo/core/file_io.hpp"

namespace quarvo::interim {
namespace {

namespace fs = std::filesystem;

std::string unescape(std::string_view field) {
  std::string out;
  out.reserve(field.size());
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      out += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0'));
      i += 3;
    } else {
      out += field[i];
    }
  }
  return out;
}

// What a stat of each root found, shared with threads that may outlive the wait.
struct Answers {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::optional<int>> errors;  // per root: 0, an errno, or no answer yet
};

}  // namespace

Result<std::vector<MountEntry>> read_mount_table() {
  auto text = read_file("/proc/self/mountinfo");
  if (!text) return std::unexpected(QuarvoError::io_at_errno("/proc/self/mountinfo", text.error()));
  std::vector<MountEntry> table;
  std::string_view rest = *text;
  while (!rest.empty()) {
    const size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    // ID PARENT MAJ:MIN ROOT MOUNTPOINT OPTIONS [OPTIONAL...] - FSTYPE SOURCE SUPEROPTIONS
    std::vector<std::string_view> fields;
    while (!line.empty()) {
      const size_t space = line.find(' ');
      fields.push_back(line.substr(0, space));
      line = space == std::string_view::npos ? std::string_view() : line.substr(space + 1);
    }
    size_t dash = 6;
    while (dash < fields.size() && fields[dash] != "-") ++dash;
    if (fields.size() < 5 || dash + 2 >= fields.size()) continue;
    table.push_back({unescape(fields[4]), unescape(fields[dash + 2]), unescape(fields[dash + 1])});
  }
  return table;
}

std::optional<MountEntry> mount_at(const std::vector<MountEntry>& table, const fs::path& mountpoint) {
  for (auto it = table.rbegin(); it != table.rend(); ++it) {
    if (it->mountpoint == mountpoint) return *it;
  }
  return std::nullopt;
}

Result<fs::path> canonical_mountpoint(const fs::path& path) {
  fs::path absolute = path;
  if (!absolute.is_absolute()) {
    std::error_code ec;
    const fs::path cwd = fs::current_path(ec);
    if (ec) return std::unexpected(QuarvoError::io_errno(ec.value()));
    absolute = cwd / path;
  }
  // "/a/b/" names /a/b.
  while (absolute.has_relative_path() && absolute.filename().empty()) absolute = absolute.parent_path();
  const fs::path leaf = absolute.filename();
  if (leaf.empty()) return absolute;  // "/"
  const bool dots = leaf == "." || leaf == "..";
  const fs::path resolve = dots ? absolute : absolute.parent_path();
  char resolved[PATH_MAX];
  if (::realpath(resolve.c_str(), resolved) == nullptr) {
    return std::unexpected(QuarvoError::io_at_errno(resolve, errno));
  }
  return dots ? fs::path(resolved) : fs::path(resolved) / leaf;
}

std::string volume_mount_source(std::string_view name) { return "JuiceFS:" + std::string(name); }

std::vector<MountCheck> check_mounts(const std::vector<std::pair<std::string, fs::path>>& mounts,
                                     std::chrono::milliseconds bound) {
  std::vector<MountCheck> checks(mounts.size(), MountCheck{LiveState::NotRecorded, {}});
  auto table = read_mount_table();
  auto answers = std::make_shared<Answers>();
  answers->errors.resize(mounts.size());
  std::vector<size_t> asked;
  for (size_t i = 0; i < mounts.size(); ++i) {
    const auto& [name, mountpoint] = mounts[i];
    if (mountpoint.empty()) continue;
    const auto entry = table ? mount_at(*table, mountpoint) : std::nullopt;
    if (!entry) {
      checks[i].state = LiveState::NotMounted;
      continue;
    }
    if (entry->source != volume_mount_source(name)) {
      checks[i] = {LiveState::Foreign, entry->source};
      continue;
    }
    asked.push_back(i);
    // statfs, not stat: the kernel answers a stat of the root from its
    // attribute cache for a while after the daemon died, a statfs always
    // goes to the daemon (ENOTCONN when it is gone).
    const auto ask = [answers, i, path = mountpoint] {
      struct statfs st {};
      const int err = ::statfs(path.c_str(), &st) == 0 ? 0 : errno;
      const std::lock_guard hold(answers->mutex);
      answers->errors[i] = err;
      answers->changed.notify_all();
    };
    try {
      std::thread(ask).detach();
    } catch (const std::system_error&) {
      ask();
    }
  }
  std::unique_lock hold(answers->mutex);
  answers->changed.wait_for(hold, bound, [&] {
    for (size_t i : asked) {
      if (!answers->errors[i]) return false;
    }
    return true;
  });
  for (size_t i : asked) {
    const std::optional<int> err = answers->errors[i];
    checks[i].state = !err ? LiveState::Unresponsive : *err == ENOTCONN ? LiveState::Stale : LiveState::Mounted;
  }
  return checks;
}

}  // namespace quarvo::interim
