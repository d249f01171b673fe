#include "quarvo/juicefs/child.hpp"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <thread>
#include <utility>

#include "quarvo/core/syscalls.hpp"
#include "quarvo/core/text.hpp"
#include "quarvo/juicefs/capture.hpp"
#include "quarvo/juicefs/spawn.hpp"

namespace quarvo {
namespace {

std::unexpected<QuarvoError> os_failure(int code) { return std::unexpected(QuarvoError::io_errno(code)); }

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

}  // namespace

struct Child::State {
  pid_t pid = -1;       // ours to signal and reap while > 0 and not reaped
  bool reaped = false;  // waitpid has returned it; `status` holds its end
  int status = 0;
  UniqueFd pidfd;
  UniqueFd streams[2];  // our read ends of stdout and stderr; -1 once ended
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
    for (UniqueFd& s : streams) s.reset();
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

  // Sleeps in poll until a stream has data, the child exits or `wake` comes
  // (never sooner: the wait is rounded up), then reads what came and reaps
  // the child if it has exited. An interrupted poll returns at once, so the
  // caller asks its cancel.
  Result<void> pump(Clock::time_point wake) {
    int timeout_ms = -1;
    if (wake != Clock::time_point::max()) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(wake - Clock::now());
      timeout_ms = static_cast<int>(std::clamp<long>(left.count(), 0, 60'000));
    }
    struct pollfd fds[3] = {
        {streams[0].get(), POLLIN, 0}, {streams[1].get(), POLLIN, 0}, {reaped ? -1 : pidfd.get(), POLLIN, 0}};
    if (::poll(fds, 3, timeout_ms) < 0) return errno == EINTR ? Result<void>() : os_failure(errno);
    QUARVO_TRY(read_streams(fds));
    if (!reaped && (fds[2].revents != 0 || pidfd.get() < 0)) QUARVO_TRY(poll_exit());
    return {};
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

Child Child::started(pid_t pid, UniqueFd stdout_end, UniqueFd stderr_end, std::string what) {
  auto state = std::make_unique<State>();
  state->what = std::move(what);
  state->pid = pid;
  state->pidfd = UniqueFd(open_pidfd(pid));
  state->streams[0] = std::move(stdout_end);
  state->streams[1] = std::move(stderr_end);
  return Child(std::move(state));
}

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
  const std::optional<Clock::time_point>& deadline = limits.deadline().at();
  auto next_ready = Clock::now() + interval;
  for (;;) {
    if (s.reaped && s.open_streams() == 0) {
      s.pid = -1;
      return s.status;
    }
    if (limits.cancel().requested()) {
      s.end_group();
      return std::unexpected(QuarvoError::interrupted());
    }
    auto now = Clock::now();
    if (deadline && now >= *deadline) {
      s.end_group();
      return std::unexpected(limits.timed_out(s.what));
    }
    if (ready && !s.reaped && now >= next_ready) {
      if (ready()) return std::optional<int>();
      now = Clock::now();
      next_ready = now + interval;
    }
    // Awake again for the next thing to check.
    auto wake = deadline.value_or(Clock::time_point::max());
    if (limits.cancellable()) wake = std::min(wake, now + kCancelPollInterval);
    if (ready && !s.reaped) wake = std::min(wake, next_ready);
    if (!s.reaped && s.pidfd.get() < 0) wake = std::min(wake, now + kExitPollInterval);
    QUARVO_TRY(s.pump(wake));
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
  for (UniqueFd& stream : s->streams) stream.reset();
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

}  // namespace quarvo
