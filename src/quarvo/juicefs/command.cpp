#include "quarvo/juicefs/command.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <system_error>
#include <thread>
#include <utility>

#include "quarvo/core/file_io.hpp"
#include "quarvo/core/syscalls.hpp"
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

// Where the child's output goes (our pipes, or a file for a daemon), and
// whether it leads a session of its own; absent for inherited streams.
struct ChildStreams {
  int stdout_fd;
  int stderr_fd;
  bool new_session = false;
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

// Whether the kernel reaps our children by itself, taking their exit status.
bool sigchld_ignored() {
  struct sigaction current{};
  if (::sigaction(SIGCHLD, nullptr, &current) != 0) return false;
  return current.sa_handler == SIG_IGN || (current.sa_flags & SA_NOCLDWAIT) != 0;
}

// Starts the program and returns its pid. A program without a '/' is looked
// up on PATH as execvp does. The child starts with an empty signal mask and
// with the default action for every signal this process ignores: an
// interpreter that ignores SIGPIPE must not hand that on.
Result<pid_t> start_process(const std::filesystem::path& program, const std::vector<std::string>& args,
                            const std::vector<CommandSpec::EnvOverride>& env, const ChildStreams* captured) {
  // exec would silently cut an argument short at a NUL byte and run a
  // different command than the one asked for; refuse to start it instead.
  const auto has_nul = [](std::string_view s) { return s.find('\0') != std::string_view::npos; };
  const auto env_has_nul = [&](const CommandSpec::EnvOverride& o) {
    return has_nul(o.first) || o.first.find('=') != std::string::npos || (o.second && has_nul(*o.second));
  };
  if (has_nul(program.native()) || std::any_of(args.begin(), args.end(), has_nul) ||
      std::any_of(env.begin(), env.end(), env_has_nul))
    return std::unexpected(QuarvoError::invalid_argument("a command argument contains a NUL byte"));
  if (sigchld_ignored()) {
    return std::unexpected(QuarvoError::io(OsError::with_message(
        ECHILD, "could not start " + path_text(program) +
                    ": this process ignores SIGCHLD (SIG_IGN or SA_NOCLDWAIT), so the program's exit status "
                    "would be lost; restore the default SIGCHLD action first")));
  }
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
  // A process group of its own: the terminal's Ctrl-C reaches only us, and
  // ending the child ends whatever it started in its group. A daemon leads
  // a session of its own (and so a group): no terminal, no signal of ours.
  const short group = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP;
  short flags = group;
#if defined(POSIX_SPAWN_SETSID)
  if (captured != nullptr && captured->new_session)
    flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSID;
#endif
  if (const int e = ::posix_spawnattr_setpgroup(attr.get(), 0)) return os_failure(e);
  int flags_error = ::posix_spawnattr_setflags(attr.get(), flags);
  // glibc before 2.26 refuses POSIX_SPAWN_SETSID: the daemon then leads a
  // process group of its own, which the terminal's signals do not reach.
  if (flags_error == EINVAL && flags != group) flags_error = ::posix_spawnattr_setflags(attr.get(), group);
  if (flags_error != 0) return os_failure(flags_error);

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
  if (e != 0) {
    return std::unexpected(QuarvoError::io(
        OsError::with_message(e, "could not start " + path_text(program) + ": " + OsError::from_errno(e).text())));
  }
  return pid;
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
      {SIGHUP, "HUP"},       {SIGINT, "INT"},     {SIGQUIT, "QUIT"}, {SIGILL, "ILL"},   {SIGTRAP, "TRAP"},
      {SIGABRT, "ABRT"},     {SIGBUS, "BUS"},     {SIGFPE, "FPE"},   {SIGKILL, "KILL"}, {SIGUSR1, "USR1"},
      {SIGSEGV, "SEGV"},     {SIGUSR2, "USR2"},   {SIGPIPE, "PIPE"}, {SIGALRM, "ALRM"}, {SIGTERM, "TERM"},
      {SIGCHLD, "CHLD"},     {SIGCONT, "CONT"},   {SIGSTOP, "STOP"}, {SIGTSTP, "TSTP"}, {SIGTTIN, "TTIN"},
      {SIGTTOU, "TTOU"},     {SIGURG, "URG"},     {SIGXCPU, "XCPU"}, {SIGXFSZ, "XFSZ"}, {SIGVTALRM, "VTALRM"},
      {SIGPROF, "PROF"},     {SIGWINCH, "WINCH"}, {SIGSYS, "SYS"},
#if defined(__linux__)
      {SIGSTKFLT, "STKFLT"}, {SIGPOLL, "POLL"},   {SIGPWR, "PWR"},
#else
      {SIGIO, "IO"},
#endif
#if defined(__APPLE__)
      {SIGEMT, "EMT"},       {SIGINFO, "INFO"},
#endif
  };
  for (const auto& [number, name] : kNames) {
    if (number == sig) return name;
  }
  return {};
}

using Clock = std::chrono::steady_clock;

// How long the group has after SIGTERM before SIGKILL, and how long we wait
// for a killed child before leaving it to the reaper (a child stuck in the
// kernel, on a dead FUSE mount say, may not die at once).
constexpr std::chrono::milliseconds kTermGrace{1000};
constexpr std::chrono::milliseconds kKillWait{2000};
// Without a pidfd the exit is noticed by asking this often.
constexpr std::chrono::milliseconds kExitPollInterval{10};

// One stream's capture: the first kHead bytes and the last kTail, read
// straight into place (no copy), with the count of what fell between.
class BoundedCapture {
 public:
  static constexpr size_t kHead = 64 * 1024;
  static constexpr size_t kTail = 128 * 1024;

  // Where the next read goes; never empty.
  std::pair<char*, size_t> space() {
    if (head_len_ < kHead) {
      if (!head_) head_ = std::make_unique_for_overwrite<char[]>(kHead);
      return {head_.get() + head_len_, kHead - head_len_};
    }
    if (!tail_) tail_ = std::make_unique_for_overwrite<char[]>(kTail);
    return {tail_.get() + tail_pos_, kTail - tail_pos_};
  }

  void commit(size_t n) {
    if (head_len_ < kHead) {
      head_len_ += n;
      return;
    }
    tail_total_ += n;
    tail_pos_ += n;
    if (tail_pos_ == kTail) tail_pos_ = 0;
  }

  // Head, a line naming what was left out, tail; the capture is then empty.
  std::string take() {
    std::string out(head_.get() == nullptr ? "" : std::string_view(head_.get(), head_len_));
    if (tail_total_ <= kTail) {
      if (tail_) out.append(tail_.get(), tail_total_);
    } else {
      out += "\n[... " + std::to_string(tail_total_ - kTail) + " bytes left out ...]\n";
      out.append(tail_.get() + tail_pos_, kTail - tail_pos_);
      out.append(tail_.get(), tail_pos_);
    }
    *this = BoundedCapture();
    return out;
  }

 private:
  std::unique_ptr<char[]> head_;
  size_t head_len_ = 0;
  std::unique_ptr<char[]> tail_;
  size_t tail_pos_ = 0;      // where the next tail byte goes
  uint64_t tail_total_ = 0;  // bytes that went to the tail, overwritten ones included
};

}  // namespace

struct Child::State {
  pid_t pid = -1;       // ours to signal and reap while > 0 and not reaped
  bool reaped = false;  // waitpid has returned it; `status` holds its end
  int status = 0;
  Fd pidfd;
  Fd streams[2];  // our read ends of stdout and stderr; -1 once ended
  BoundedCapture captured[2];
  std::string what;  // "juicefs mount", for TimedOut

  int open_streams() const { return (streams[0].get() >= 0) + (streams[1].get() >= 0); }

  // Reaps the child if it has exited; never blocks.
  Result<void> poll_exit() {
    if (reaped) return {};
    int st = 0;
    pid_t r;
    while ((r = ::waitpid(pid, &st, WNOHANG)) < 0 && errno == EINTR) {
    }
    if (r < 0) return os_failure(errno);
    if (r == pid) {
      reaped = true;
      status = st;
      pidfd.reset();
    }
    return {};
  }

  // Whether the child has exited (not reaped: WNOWAIT), waiting up to `bound`.
  bool exits_within(std::chrono::milliseconds bound) {
    const auto deadline = Clock::now() + bound;
    for (;;) {
      siginfo_t info{};
      if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0 && errno != EINTR)
        return true;  // not ours any more: nothing to wait for
      if (info.si_pid == pid) return true;
      const auto now = Clock::now();
      if (now >= deadline) return false;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
      if (pidfd.get() >= 0) {
        struct pollfd p = {pidfd.get(), POLLIN, 0};
        ::poll(&p, 1, static_cast<int>(std::min(left, std::chrono::milliseconds(1000)).count()) + 1);
      } else {
        std::this_thread::sleep_for(std::min(left, kExitPollInterval));
      }
    }
  }

  // SIGTERM to the group, a grace, SIGKILL, then reap; a child that will not
  // die in time goes to the reaper thread.
  void end_group() {
    for (Fd& s : streams) s.reset();
    if (pid <= 0) return;
    if (reaped) {
      // Whatever it left in its group (a grandchild holding our pipes).
      ::kill(-pid, SIGKILL);
      pid = -1;
      return;
    }
    ::kill(-pid, SIGTERM);
    (void)exits_within(kTermGrace);
    ::kill(-pid, SIGKILL);
    if (exits_within(kKillWait)) {
      int st = 0;
      while (::waitpid(pid, &st, 0) < 0 && errno == EINTR) {
      }
    } else {
      reap_in_background(pid);
    }
    pidfd.reset();
    pid = -1;
  }

  // Reads once from each stream that poll found ready; a read of 0 ends it.
  Result<void> read_streams(const struct pollfd* fds) {
    for (int i = 0; i < 2; ++i) {
      // A closed write end shows as POLLHUP, possibly without POLLIN; the
      // read then returns what is left, and finally 0.
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      auto [at, room] = captured[i].space();
      const ssize_t got = ::read(fds[i].fd, at, room);
      if (got < 0) {
        if (errno == EINTR || errno == EAGAIN) continue;
        return os_failure(errno);
      }
      if (got == 0) {
        streams[i].reset();
        continue;
      }
      captured[i].commit(static_cast<size_t>(got));
    }
    return {};
  }
};

Child::Child(std::unique_ptr<State> state) : state_(std::move(state)) {}
Child::Child(Child&& other) noexcept = default;
Child& Child::operator=(Child&& other) noexcept {
  if (this != &other) {
    if (state_) state_->end_group();
    state_ = std::move(other.state_);
  }
  return *this;
}
Child::~Child() {
  if (state_ && state_->pid > 0 && !state_->reaped) {
    // Nobody waits for it any more: no grace.
    ::kill(-state_->pid, SIGKILL);
    if (state_->exits_within(kKillWait)) {
      int st = 0;
      while (::waitpid(state_->pid, &st, 0) < 0 && errno == EINTR) {
      }
    } else {
      reap_in_background(state_->pid);
    }
  }
}

pid_t Child::pid() const { return state_ ? state_->pid : -1; }

Result<std::optional<int>> Child::wait_until(const std::function<bool()>& ready, std::chrono::milliseconds interval,
                                             const WaitLimits& limits) {
  if (!state_ || state_->pid <= 0) return os_failure(ECHILD);
  State& s = *state_;
  const auto start = Clock::now();
  const std::optional<Clock::time_point> deadline =
      limits.timeout ? std::optional(start + *limits.timeout) : std::nullopt;
  auto next_ready = start + interval;
  for (;;) {
    if (s.reaped && s.open_streams() == 0) {
      s.pid = -1;
      return s.status;
    }
    if (limits.cancel != nullptr && limits.cancel->requested()) {
      s.end_group();
      return std::unexpected(QuarvoError::interrupted());
    }
    auto now = Clock::now();
    if (deadline && now >= *deadline) {
      s.end_group();
      return std::unexpected(QuarvoError::timed_out(s.what, *limits.timeout));
    }
    if (ready && !s.reaped && now >= next_ready) {
      if (ready()) return std::optional<int>();
      now = Clock::now();
      next_ready = now + interval;
    }

    // Sleep in poll until a stream has data, the child exits, or the next
    // thing to check is due.
    auto wake = Clock::time_point::max();
    if (deadline) wake = *deadline;
    if (limits.cancel != nullptr) wake = std::min(wake, now + kCancelPollInterval);
    if (ready && !s.reaped) wake = std::min(wake, next_ready);
    if (!s.reaped && s.pidfd.get() < 0) wake = std::min(wake, now + kExitPollInterval);
    int timeout_ms = -1;
    if (wake != Clock::time_point::max()) {
      // Rounded up, so a wake-up never comes before what it waits for.
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(wake - now);
      timeout_ms = static_cast<int>(std::clamp<long>(left.count(), 0, 60'000));
    }
    struct pollfd fds[3] = {
        {s.streams[0].get(), POLLIN, 0}, {s.streams[1].get(), POLLIN, 0}, {s.reaped ? -1 : s.pidfd.get(), POLLIN, 0}};
    if (::poll(fds, 3, timeout_ms) < 0) {
      if (errno == EINTR) continue;  // the loop's top asks the cancel
      return os_failure(errno);
    }
    QUARVO_TRY(s.read_streams(fds));
    if (!s.reaped && (fds[2].revents != 0 || s.pidfd.get() < 0)) QUARVO_TRY(s.poll_exit());
  }
}

Result<int> Child::wait(const WaitLimits& limits) {
  auto r = wait_until({}, kCancelPollInterval, limits);
  if (!r) return std::unexpected(std::move(r).error());
  return **r;
}

CommandOutput Child::take_output() {
  if (!state_) return {};
  return CommandOutput{lossy_utf8(state_->captured[0].take()), lossy_utf8(state_->captured[1].take())};
}

void Child::terminate() {
  if (state_) state_->end_group();
}

void Child::hand_to_reaper() && {
  if (!state_) return;
  std::unique_ptr<State> s = std::move(state_);
  for (Fd& stream : s->streams) stream.reset();
  s->pidfd.reset();
  if (s->pid > 0 && !s->reaped) reap_in_background(s->pid);
}

// Falls back to waiting here when no thread can be made: a zombie is worse
// than a late return.
void reap_in_background(pid_t pid) {
  const auto reap = [pid] {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  };
  try {
    std::thread(reap).detach();
  } catch (const std::system_error&) {
    reap();
  }
}

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

CommandSpec CommandSpec::arg(std::string value) && {
  args_.push_back(std::move(value));
  return std::move(*this);
}

CommandSpec& CommandSpec::arg(std::string value) & {
  args_.push_back(std::move(value));
  return *this;
}

CommandSpec CommandSpec::env(std::string name, std::optional<std::string> value) && {
  env_.emplace_back(std::move(name), std::move(value));
  return std::move(*this);
}

CommandSpec& CommandSpec::env(std::string name, std::optional<std::string> value) & {
  env_.emplace_back(std::move(name), std::move(value));
  return *this;
}

std::string CommandSpec::what() const {
  std::string text = path_text(program_.filename());
  if (!args_.empty()) text += " " + args_.front();
  return text;
}

QuarvoError CommandSpec::failure(int wait_status, CommandOutput output) const {
  return QuarvoError::command_failed(CommandFailure{
      path_text(program_),
      join_args(args_),
      wait_status_text(wait_status),
      std::move(output.stdout_text),
      std::move(output.stderr_text),
  });
}

Result<Child> CommandSpec::start_detached(const std::filesystem::path& output) const {
  auto log = open_fd(output, O_WRONLY | O_CREAT | O_APPEND, 0600);
  if (!log) return std::unexpected(QuarvoError::io_at_errno(output, log.error()));
  auto fd = above_stdio(std::move(*log));
  if (!fd) return std::unexpected(std::move(fd).error());
  const ChildStreams streams{fd->get(), fd->get(), true};
  auto pid = start_process(program_, args_, env_, &streams);
  if (!pid) return std::unexpected(std::move(pid).error());
  auto state = std::make_unique<Child::State>();
  state->what = what();
  state->pid = *pid;
  state->pidfd = Fd(open_pidfd(*pid));
  return Child(std::move(state));
}

Result<Child> CommandSpec::launch(bool capture) const {
  auto state = std::make_unique<Child::State>();
  state->what = what();
  std::optional<Pipe> out;
  std::optional<Pipe> err;
  if (capture) {
    auto o = make_pipe();
    if (!o) return std::unexpected(std::move(o).error());
    auto e = make_pipe();
    if (!e) return std::unexpected(std::move(e).error());
    out = std::move(*o);
    err = std::move(*e);
  }
  const ChildStreams captured{capture ? out->write_end.get() : -1, capture ? err->write_end.get() : -1};
  auto pid = start_process(program_, args_, env_, capture ? &captured : nullptr);
  if (!pid) return std::unexpected(std::move(pid).error());
  state->pid = *pid;
  state->pidfd = Fd(open_pidfd(*pid));
  if (capture) {
    // Our copies of the write ends would keep the pipes from ever ending.
    out->write_end.reset();
    err->write_end.reset();
    state->streams[0] = std::move(out->read_end);
    state->streams[1] = std::move(err->read_end);
  }
  return Child(std::move(state));
}

Result<Child> CommandSpec::start() const { return launch(true); }

Result<Child> CommandSpec::spawn() const { return launch(false); }

Result<CommandOutput> CommandSpec::run(const WaitLimits& limits) const {
  auto child = start();
  if (!child) return std::unexpected(std::move(child).error());
  auto status = child->wait(limits);
  if (!status) return std::unexpected(std::move(status).error());
  CommandOutput output = child->take_output();
  if (*status == 0) return output;
  return std::unexpected(failure(*status, std::move(output)));
}

}  // namespace quarvo
