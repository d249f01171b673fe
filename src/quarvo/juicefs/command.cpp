#include "quarvo/juicefs/command.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>

#include "quarvo/core/file_io.hpp"
#include "quarvo/core/text.hpp"

extern char** environ;

namespace quarvo {
namespace {

// Every descriptor here has one owner that closes it on every path.
using Fd = UniqueFd;

struct Pipe {
  Fd read_end;
  Fd write_end;
};

std::unexpected<QuarvoError> os_failure(int code) { return std::unexpected(QuarvoError::io_errno(code)); }

// Moves a descriptor that landed on 0, 1 or 2 (the caller had closed one of
// its standard streams) above them, so the child's dup2 actions cannot
// clobber one pipe end with another or dup2 a descriptor onto itself, which
// would leave it close-on-exec.
Result<Fd> above_stdio(Fd fd) {
  if (fd.get() > STDERR_FILENO) return fd;
  const int moved = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  if (moved < 0) return os_failure(errno);
  return Fd(moved);
}

Result<Pipe> make_pipe() {
  int fds[2];
#if defined(__APPLE__)
  // No pipe2 here; the window before FD_CLOEXEC is set is the platform's.
  if (::pipe(fds) != 0) return os_failure(errno);
  ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
  ::fcntl(fds[1], F_SETFD, FD_CLOEXEC);
#else
  if (::pipe2(fds, O_CLOEXEC) != 0) return os_failure(errno);
#endif
  Fd read_end(fds[0]);
  Fd write_end(fds[1]);
#if defined(F_SETPIPE_SZ)
  // A larger pipe means fewer round trips with a child that writes a lot;
  // the system may refuse (a user over the pipe-pages limit), which is harmless.
  ::fcntl(read_end.get(), F_SETPIPE_SZ, 1 << 20);
#endif
  auto r = above_stdio(std::move(read_end));
  if (!r) return std::unexpected(std::move(r).error());
  auto w = above_stdio(std::move(write_end));
  if (!w) return std::unexpected(std::move(w).error());
  return Pipe{std::move(*r), std::move(*w)};
}

// One posix_spawn setup object (file actions or attributes), destroyed on
// every path. The posix_spawn* functions return the error number instead of
// setting errno.
template <class T, int (*Init)(T*), int (*Destroy)(T*)>
class SpawnSetup {
 public:
  SpawnSetup() : init_error_(Init(&value_)) {}
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
  ~SpawnSetup() {
    if (init_error_ == 0) Destroy(&value_);
  }
  [[nodiscard]] int init_error() const { return init_error_; }
  T* get() { return &value_; }

 private:
  T value_;
  int init_error_;
};
using FileActions =
    SpawnSetup<posix_spawn_file_actions_t, ::posix_spawn_file_actions_init, ::posix_spawn_file_actions_destroy>;
using SpawnAttr = SpawnSetup<posix_spawnattr_t, ::posix_spawnattr_init, ::posix_spawnattr_destroy>;

// The child's end of the two output pipes; absent for inherited streams.
struct CapturedStreams {
  int stdout_fd;
  int stderr_fd;
};

// The child's environment: this process's, with the overrides applied. The
// strings own the text; `pointers` is the NULL-terminated envp over them.
struct ChildEnvironment {
  std::vector<std::string> entries;
  std::vector<char*> pointers;

  explicit ChildEnvironment(const std::vector<CommandSpec::EnvOverride>& overrides) {
    const auto overridden = [&](std::string_view entry) {
      const std::string_view name = entry.substr(0, entry.find('='));
      return std::any_of(overrides.begin(), overrides.end(), [&](const auto& o) { return o.first == name; });
    };
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
      if (!overridden(*e)) entries.emplace_back(*e);
    }
    for (size_t i = 0; i < overrides.size(); ++i) {
      const auto& [name, value] = overrides[i];
      // The last override of a name decides.
      const bool later = std::any_of(overrides.begin() + static_cast<std::ptrdiff_t>(i) + 1, overrides.end(),
                                     [&](const auto& o) { return o.first == name; });
      if (!later && value) entries.push_back(name + "=" + *value);
    }
    pointers.reserve(entries.size() + 1);
    for (std::string& entry : entries) pointers.push_back(entry.data());
    pointers.push_back(nullptr);
  }
};

// Starts the program and returns its pid. A program without a '/' is looked
// up on PATH as execvp does. The child starts with an empty signal mask and
// with the default action for every signal this process ignores: an
// interpreter that ignores SIGPIPE must not hand that on.
Result<pid_t> start_process(const std::filesystem::path& program, const std::vector<std::string>& args,
                            const std::vector<CommandSpec::EnvOverride>& env, const CapturedStreams* captured) {
  // exec would silently cut an argument short at a NUL byte and run a
  // different command than the one asked for; refuse to start it instead.
  const auto has_nul = [](std::string_view s) { return s.find('\0') != std::string_view::npos; };
  const auto env_has_nul = [&](const CommandSpec::EnvOverride& o) {
    return has_nul(o.first) || o.first.find('=') != std::string::npos || (o.second && has_nul(*o.second));
  };
  if (has_nul(program.native()) || std::any_of(args.begin(), args.end(), has_nul) ||
      std::any_of(env.begin(), env.end(), env_has_nul))
    return std::unexpected(QuarvoError::io(OsError::with_message(EINVAL, "a command argument contains a NUL byte")));
  SpawnAttr attr;
  if (const int e = attr.init_error()) return os_failure(e);
  sigset_t mask;
  sigemptyset(&mask);
  // Every signal: exec resets caught ones anyway, so this touches exactly the
  // ignored ones, without asking for each disposition first. SIGKILL and
  // SIGSTOP cannot be changed, and some C libraries fail the child on them.
  sigset_t defaults;
  sigfillset(&defaults);
  sigdelset(&defaults, SIGKILL);
  sigdelset(&defaults, SIGSTOP);
  if (const int e = ::posix_spawnattr_setsigmask(attr.get(), &mask)) return os_failure(e);
  if (const int e = ::posix_spawnattr_setsigdefault(attr.get(), &defaults)) return os_failure(e);
  if (const int e = ::posix_spawnattr_setflags(attr.get(), POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF))
    return os_failure(e);

  FileActions actions;
  if (const int e = actions.init_error()) return os_failure(e);
  if (captured != nullptr) {
    if (const int e = ::posix_spawn_file_actions_addopen(actions.get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0))
      return os_failure(e);
    // dup2 clears close-on-exec on the copy; the originals close at exec.
    if (const int e = ::posix_spawn_file_actions_adddup2(actions.get(), captured->stdout_fd, STDOUT_FILENO))
      return os_failure(e);
    if (const int e = ::posix_spawn_file_actions_adddup2(actions.get(), captured->stderr_fd, STDERR_FILENO))
      return os_failure(e);
  }

  std::vector<char*> argv;
  argv.reserve(args.size() + 2);
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  std::optional<ChildEnvironment> child_env;
  if (!env.empty()) child_env.emplace(env);
  char** envp = child_env ? child_env->pointers.data() : environ;

  pid_t pid = -1;
  const bool search_path = program.native().find('/') == std::string::npos;
  // glibc reports a failed exec (ENOENT, EACCES) through this return value.
  const int e = search_path ? ::posix_spawnp(&pid, program.c_str(), actions.get(), attr.get(), argv.data(), envp)
                            : ::posix_spawn(&pid, program.c_str(), actions.get(), attr.get(), argv.data(), envp);
  if (e != 0) return os_failure(e);
  return pid;
}

// Reads both pipes until each reports end of input. Polling both means a
// child blocked writing one stream is always relieved, whatever the other does.
// Reads go through a side buffer, so the strings grow only by what arrived
// (never on the final read that reports end of input).
Result<void> drain(const Fd& out, const Fd& err, std::string& out_bytes, std::string& err_bytes) {
  constexpr size_t kChunk = 1 << 20;
  const std::unique_ptr<char[]> chunk(new char[kChunk]);
  struct pollfd fds[2] = {{out.get(), POLLIN, 0}, {err.get(), POLLIN, 0}};
  std::string* buffers[2] = {&out_bytes, &err_bytes};
  int open_streams = 2;
  while (open_streams > 0) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return os_failure(errno);
    }
    for (int i = 0; i < 2; ++i) {
      // A closed write end shows as POLLHUP, possibly without POLLIN; the
      // read then returns what is left, and finally 0.
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      const ssize_t got = ::read(fds[i].fd, chunk.get(), kChunk);
      if (got < 0) {
        if (errno == EINTR) continue;
        return os_failure(errno);
      }
      if (got == 0) {
        fds[i].fd = -1;  // poll skips negative descriptors
        --open_streams;
      }
      buffers[i]->append(chunk.get(), static_cast<size_t>(got));
    }
  }
  return {};
}

std::string join_args(const std::vector<std::string>& args) {
  std::string joined;
  for (size_t i = 0; i < args.size(); ++i) {
    if (i > 0) joined += ' ';
    joined += args[i];
  }
  return joined;
}

// "KILL" for SIGKILL; empty for a number the platform has no name for. The
// names are glibc's (sigabbrev_np, which needs glibc 2.32) and, on macOS,
// sys_signame's in capitals; a table keeps the module loadable on older C
// libraries.
std::string signal_abbreviation(int sig) {
  static constexpr std::pair<int, const char*> kNames[] = {
      {SIGHUP, "HUP"},     {SIGINT, "INT"},       {SIGQUIT, "QUIT"}, {SIGILL, "ILL"},     {SIGTRAP, "TRAP"},
      {SIGABRT, "ABRT"},   {SIGBUS, "BUS"},       {SIGFPE, "FPE"},   {SIGKILL, "KILL"},   {SIGUSR1, "USR1"},
      {SIGSEGV, "SEGV"},   {SIGUSR2, "USR2"},     {SIGPIPE, "PIPE"}, {SIGALRM, "ALRM"},   {SIGTERM, "TERM"},
      {SIGCHLD, "CHLD"},   {SIGCONT, "CONT"},     {SIGSTOP, "STOP"}, {SIGTSTP, "TSTP"},   {SIGTTIN, "TTIN"},
      {SIGTTOU, "TTOU"},   {SIGURG, "URG"},       {SIGXCPU, "XCPU"}, {SIGXFSZ, "XFSZ"},   {SIGVTALRM, "VTALRM"},
      {SIGPROF, "PROF"},   {SIGWINCH, "WINCH"},   {SIGSYS, "SYS"},
#if defined(__linux__)
      {SIGSTKFLT, "STKFLT"}, {SIGPOLL, "POLL"},   {SIGPWR, "PWR"},
#else
      {SIGIO, "IO"},
#endif
#if defined(__APPLE__)
      {SIGEMT, "EMT"},     {SIGINFO, "INFO"},
#endif
  };
  for (const auto& [number, name] : kNames) {
    if (number == sig) return name;
  }
  return {};
}

// Kills and reaps; the pid is ours until waitpid has returned it.
void kill_and_reap(pid_t pid) {
  ::kill(pid, SIGKILL);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace

std::string wait_status_text(int wait_status) {
  if (WIFEXITED(wait_status)) return "exit status: " + std::to_string(WEXITSTATUS(wait_status));
  if (WIFSIGNALED(wait_status)) {
    const int sig = WTERMSIG(wait_status);
    std::string text = "signal: " + std::to_string(sig);
    if (std::string name = signal_abbreviation(sig); !name.empty()) text += " (SIG" + name + ")";
    if (WCOREDUMP(wait_status)) text += " (core dumped)";
    return text;
  }
  if (WIFSTOPPED(wait_status)) {
    const int sig = WSTOPSIG(wait_status);
    std::string text = "stopped (not terminated) by signal: " + std::to_string(sig);
    if (std::string name = signal_abbreviation(sig); !name.empty()) text += " (SIG" + name + ")";
    return text;
  }
  return "unrecognised wait status: " + std::to_string(wait_status);
}

Child::Child(Child&& other) noexcept : pid_(std::exchange(other.pid_, -1)) {}

Child& Child::operator=(Child&& other) noexcept {
  if (this != &other) {
    if (pid_ > 0) kill_and_reap(pid_);
    pid_ = std::exchange(other.pid_, -1);
  }
  return *this;
}

Child::~Child() {
  if (pid_ > 0) kill_and_reap(pid_);
}

Result<int> Child::wait() {
  if (pid_ <= 0) return os_failure(ECHILD);
  int status = 0;
  pid_t r = 0;
  while ((r = ::waitpid(pid_, &status, 0)) < 0 && errno == EINTR) {
  }
  const int saved = errno;
  // Whatever waitpid said, the pid is no longer ours to signal: it was
  // reaped, or it was never our child (ECHILD).
  pid_ = -1;
  if (r < 0) return os_failure(saved);
  return status;
}

CommandSpec CommandSpec::arg(std::string value) && {
  args_.push_back(std::move(value));
  return std::move(*this);
}

CommandSpec CommandSpec::env(std::string name, std::optional<std::string> value) && {
  env_.emplace_back(std::move(name), std::move(value));
  return std::move(*this);
}

CommandSpec& CommandSpec::env(std::string name, std::optional<std::string> value) & {
  env_.emplace_back(std::move(name), std::move(value));
  return *this;
}

CommandSpec& CommandSpec::arg(std::string value) & {
  args_.push_back(std::move(value));
  return *this;
}

Result<CommandOutput> CommandSpec::run() const {
  auto out = make_pipe();
  if (!out) return std::unexpected(std::move(out).error());
  auto err = make_pipe();
  if (!err) return std::unexpected(std::move(err).error());

  const CapturedStreams captured{out->write_end.get(), err->write_end.get()};
  auto pid = start_process(program_, args_, env_, &captured);
  if (!pid) return std::unexpected(std::move(pid).error());
  // From here a failed read kills and reaps the child on the way out.
  Child child(*pid);
  // Our copies of the write ends would keep the pipes from ever reaching EOF.
  out->write_end.reset();
  err->write_end.reset();

  std::string out_bytes;
  std::string err_bytes;
  if (auto drained = drain(out->read_end, err->read_end, out_bytes, err_bytes); !drained)
    return std::unexpected(std::move(drained).error());
  auto status = child.wait();
  if (!status) return std::unexpected(std::move(status).error());

  CommandOutput output{lossy_utf8(std::move(out_bytes)), lossy_utf8(std::move(err_bytes))};
  if (*status == 0) return output;
  return std::unexpected(QuarvoError::command_failed(CommandFailure{
      path_text(program_),
      join_args(args_),
      wait_status_text(*status),
      std::move(output.stdout_text),
      std::move(output.stderr_text),
  }));
}

Result<Child> CommandSpec::spawn() const {
  auto pid = start_process(program_, args_, env_, nullptr);
  if (!pid) return std::unexpected(std::move(pid).error());
  return Child(*pid);
}

}  // namespace quarvo
