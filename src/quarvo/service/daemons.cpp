#include "quarvo/service/daemons.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <string_view>
#include <thread>
#include <utility>

#include "quarvo/core/cancel.hpp"
#include "quarvo/core/processes.hpp"
#include "quarvo/core/secrets.hpp"
#include "quarvo/core/text.hpp"

namespace quarvo {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

// Where the kernel lists FUSE connections, one directory per connection
// named by its device's minor number.
constexpr std::string_view kFuseConnections = "/sys/fs/fuse/connections";

// Mounts the FUSE control file system at kFuseConnections (root only);
// whether it is there now.
bool mount_fuse_control() {
  const std::string at(kFuseConnections);
  if (::mount("fusectl", at.c_str(), "fusectl", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) == 0) return true;
  return errno == EBUSY;  // mounted meanwhile
}

// The pid in the name of a file a daemon keeps in /tmp ("fuse_fd_comm.PID",
// "statePID.json"); 0 for any other name.
pid_t daemon_file_pid(std::string_view name) {
  std::string_view digits;
  if (name.starts_with("fuse_fd_comm.")) {
    digits = name.substr(13);
  } else if (name.starts_with("state") && name.ends_with(".json") && name.size() > 10) {
    digits = name.substr(5, name.size() - 10);
  }
  if (digits.empty() || digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string_view::npos) return 0;
  return static_cast<pid_t>(std::stol(std::string(digits)));
}

bool all_gone(const std::vector<pid_t>& pids) { return std::all_of(pids.begin(), pids.end(), process_gone); }

// Waits up to `bound` until every process of `pids` is gone.
bool gone_within(const std::vector<pid_t>& pids, milliseconds bound) {
  const auto until = std::chrono::steady_clock::now() + bound;
  while (!all_gone(pids)) {
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(milliseconds(10));
  }
  return true;
}

}  // namespace

std::optional<fs::path> daemon_mountpoint(std::string_view command_line, const Volume& volume,
                                          const fs::path& log_path) {
  const std::string head = " mount " + split_metadata_password(volume.metadata_url).url + " ";
  const std::string tail = " --log " + path_text(log_path);
  const std::string line = " " + std::string(command_line) + " ";
  const size_t start = line.find(head);
  if (start == std::string::npos) return std::nullopt;
  // The mountpoint, which may hold spaces, runs up to the log option.
  const size_t from = start + head.size();
  const size_t end = line.find(tail + " ", from);
  if (end == std::string::npos || end <= from) return std::nullopt;
  return fs::path(line.substr(from, end - from));
}

std::vector<fs::path> volume_logs(const QuarvoHome& home, std::string_view name) {
  return {home.volume_log_path(name), home.old_volume_log_path(name)};
}

std::vector<VolumeDaemon> volume_daemons(const Volume& volume, const std::vector<fs::path>& logs) {
  std::vector<VolumeDaemon> found;
  for (const pid_t pid : process_ids()) {
    auto line = command_line(pid);
    if (!line || line->find(" mount ") == std::string::npos || process_gone(pid)) continue;
    const auto open = open_files(pid);
    const bool logs_here = std::any_of(open.begin(), open.end(), [&](const fs::path& file) {
      return std::find(logs.begin(), logs.end(), file) != logs.end();
    });
    if (!logs_here) continue;
    auto at = logs.empty() ? std::nullopt : daemon_mountpoint(*line, volume, logs.front());
    found.push_back({pid, at.value_or(fs::path())});
  }
  // A supervisor's parent is no daemon of the volume; its serving process's is.
  for (VolumeDaemon& d : found) {
    const auto parent = parent_pid(d.pid);
    d.supervisor = std::none_of(found.begin(), found.end(), [&](const VolumeDaemon& o) { return parent == o.pid; });
  }
  std::stable_partition(found.begin(), found.end(), [](const VolumeDaemon& d) { return d.supervisor; });
  return found;
}

std::string daemons_text(const std::vector<VolumeDaemon>& daemons) {
  std::string text;
  for (const VolumeDaemon& d : daemons) {
    text += (text.empty() ? "pid " : ", pid ") + std::to_string(d.pid);
    if (!d.mountpoint.empty()) text += " (mounting at " + path_text(d.mountpoint) + ")";
  }
  return text;
}

Result<std::vector<VolumeDaemon>> await_no_daemons(const Volume& volume, const std::vector<fs::path>& logs,
                                                   const WaitLimits& limits) {
  for (;;) {
    auto running = volume_daemons(volume, logs);
    if (running.empty() || limits.deadline().passed()) return running;
    if (limits.cancel().requested()) return std::unexpected(QuarvoError::interrupted());
    std::this_thread::sleep_for(limits.deadline().left_at_most(milliseconds(50)));
  }
}

bool abort_fuse_connection(std::string_view device) {
  // Anonymous devices (major 0) only: a FUSE connection is named by the minor.
  if (!device.starts_with("0:") || device.size() < 3) return false;
  const std::string minor(device.substr(2));
  if (minor.find_first_not_of("0123456789") != std::string::npos) return false;
  const std::string abort = std::string(kFuseConnections) + "/" + minor + "/abort";
  int fd = ::open(abort.c_str(), O_WRONLY | O_CLOEXEC);
  // A machine whose init did not mount the control file system (a
  // container, say) gets it where init would have put it, and keeps it:
  // without it a daemon stuck in the kernel never ends.
  if (fd < 0 && errno == ENOENT && mount_fuse_control()) fd = ::open(abort.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool written = ::write(fd, "1", 1) == 1;
  ::close(fd);
  return written;
}

bool end_daemons(const std::vector<pid_t>& pids, milliseconds bound) {
  if (pids.empty()) return true;
  // In order: a supervisor ended first can restart nothing.
  for (const pid_t pid : pids) ::kill(pid, SIGTERM);
  bool gone = gone_within(pids, bound);
  if (!gone) {
    for (const pid_t pid : pids) ::kill(pid, SIGKILL);
    gone = gone_within(pids, bound);
  }
  remove_dead_daemon_files();
  return gone;
}

void remove_dead_daemon_files() {
  const std::unique_ptr<DIR, int (*)(DIR*)> tmp(::opendir("/tmp"), ::closedir);
  if (!tmp) return;
  const int dir = ::dirfd(tmp.get());
  while (const dirent* entry = ::readdir(tmp.get())) {
    const std::string_view name = entry->d_name;
    const pid_t pid = daemon_file_pid(name);
    struct stat st{};
    if (pid <= 0 || ::fstatat(dir, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    const bool kind = name.starts_with("fuse_fd_comm.") ? S_ISSOCK(st.st_mode) : S_ISREG(st.st_mode);
    if (kind && st.st_uid == ::geteuid() && process_gone(pid)) (void)::unlinkat(dir, entry->d_name, 0);
  }
}

}  // namespace quarvo
