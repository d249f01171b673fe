#include "quarvo/juicefs/spawn.hpp"

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string_view>

#include "quarvo/core/text.hpp"

extern char** environ;

namespace quarvo {
namespace {

std::unexpected<QuarvoError> os_failure(int code) { return std::unexpected(QuarvoError::io_errno(code)); }

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

// The child's environment: this process's, with the overrides applied. The
// strings own the text; `pointers` is the NULL-terminated envp over them.
struct ChildEnvironment {
  std::vector<std::string> entries;
  std::vector<char*> pointers;

  explicit ChildEnvironment(const std::vector<EnvOverride>& overrides) {
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

// Refusals before anything runs: exec would silently cut an argument short
// at a NUL byte and run a different command than the one asked for, and a
// process that has the kernel reap its children would read every failure
// as "no child".
Result<void> check_startable(const std::filesystem::path& program, const std::vector<std::string>& args,
                             const std::vector<EnvOverride>& env) {
  const auto has_nul = [](std::string_view s) { return s.find('\0') != std::string_view::npos; };
  const auto env_has_nul = [&](const EnvOverride& o) {
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
  return {};
}

// The child's signals and group: an empty mask, the default action for
// every signal, a process group (or a session) of its own.
Result<void> set_attributes(SpawnAttr& attr, bool new_session) {
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
  if (new_session) flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSID;
#else
  (void)new_session;
#endif
  if (const int e = ::posix_spawnattr_setpgroup(attr.get(), 0)) return os_failure(e);
  int flags_error = ::posix_spawnattr_setflags(attr.get(), flags);
  // glibc before 2.26 refuses POSIX_SPAWN_SETSID: the daemon then leads a
  // process group of its own, which the terminal's signals do not reach.
  if (flags_error == EINVAL && flags != group) flags_error = ::posix_spawnattr_setflags(attr.get(), group);
  if (flags_error != 0) return os_failure(flags_error);
  return {};
}

// Children start in "/": one left in the caller's directory pins it for its
// whole life (a daemon started from inside another mount kept that mount
// busy: its unmount failed until the daemon ended). The file action came
// with glibc 2.29 and is looked up when the module loads, so the module
// binds nothing newer; without it a child keeps the caller's directory.
using AddChdir = int (*)(posix_spawn_file_actions_t*, const char*);
const AddChdir kAddChdir = reinterpret_cast<AddChdir>(::dlsym(RTLD_DEFAULT, "posix_spawn_file_actions_addchdir_np"));

Result<void> start_at_root(FileActions& actions) {
  if (kAddChdir == nullptr) return {};
  if (const int e = kAddChdir(actions.get(), "/")) return os_failure(e);
  return {};
}

// Standard input from /dev/null, the output streams onto the given ends.
Result<void> redirect(FileActions& actions, const ChildStreams& captured) {
  if (const int e = ::posix_spawn_file_actions_addopen(actions.get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0))
    return os_failure(e);
  // dup2 clears close-on-exec on the copy; the originals close at exec.
  if (const int e = ::posix_spawn_file_actions_adddup2(actions.get(), captured.stdout_fd, STDOUT_FILENO))
    return os_failure(e);
  if (const int e = ::posix_spawn_file_actions_adddup2(actions.get(), captured.stderr_fd, STDERR_FILENO))
    return os_failure(e);
  return {};
}

}  // namespace

Result<UniqueFd> above_stdio(UniqueFd fd) {
  if (fd.get() > STDERR_FILENO) return fd;
  const int moved = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  if (moved < 0) return os_failure(errno);
  return UniqueFd(moved);
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
  UniqueFd read_end(fds[0]);
  UniqueFd write_end(fds[1]);
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

Result<pid_t> start_process(const std::filesystem::path& program, const std::vector<std::string>& args,
                            const std::vector<EnvOverride>& env, const ChildStreams* captured) {
  QUARVO_TRY(check_startable(program, args, env));
  SpawnAttr attr;
  if (const int e = attr.init_error()) return os_failure(e);
  QUARVO_TRY(set_attributes(attr, captured != nullptr && captured->new_session));
  FileActions actions;
  if (const int e = actions.init_error()) return os_failure(e);
  if (captured != nullptr) QUARVO_TRY(redirect(actions, *captured));
  QUARVO_TRY(start_at_root(actions));

  // A relative path names the program from this directory, not the child's.
  const bool search_path = program.native().find('/') == std::string::npos;
  std::error_code ec;
  const std::filesystem::path run = search_path ? program : std::filesystem::absolute(program, ec);
  if (ec) return std::unexpected(QuarvoError::io_at_errno(program, ec.value()));

  std::vector<char*> argv;
  argv.reserve(args.size() + 2);
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::optional<ChildEnvironment> child_env;
  if (!env.empty()) child_env.emplace(env);
  char** envp = child_env ? child_env->pointers.data() : environ;

  pid_t pid = -1;
  // glibc reports a failed exec (ENOENT, EACCES) through this return value.
  const int e = search_path ? ::posix_spawnp(&pid, run.c_str(), actions.get(), attr.get(), argv.data(), envp)
                            : ::posix_spawn(&pid, run.c_str(), actions.get(), attr.get(), argv.data(), envp);
  if (e != 0) {
    return std::unexpected(QuarvoError::io(
        OsError::with_message(e, "could not start " + path_text(program) + ": " + OsError::from_errno(e).text())));
  }
  return pid;
}

}  // namespace quarvo
