// fake_backend: a stand-in for the storage backend program in tests.
//
// Tests point QUARVO_STORAGE_BACKEND_BIN at this program. It understands no
// file system: it records how it was called, then behaves as the environment
// tells it to, so tests can drive every outcome the service has to handle.
// One self-contained file (libc and libstdc++ only); CMake builds it as
// build/cpp/fake_backend, which every suite uses.
//
// The first argument is the subcommand ("format", "mount", "umount",
// "version", or anything else). Per invocation, in this order:
//
//   1. FAKE_BACKEND_LOG=PATH
//      Appends one record to PATH: the arguments after the program name,
//      separated by the byte 0x1F, terminated by '\n'. Inside an argument the
//      bytes '\\', '\n' and 0x1F are written as "\\\\", "\\n" and "\\x1f",
//      so a record is always one line and splits back exactly. A call without
//      arguments gives an empty line. The record is written with O_APPEND in
//      one write(), so concurrent invocations never interleave.
//      FAKE_BACKEND_ENV_LOG=PATH
//      Appends one record the same way: the subcommand, then NAME=VALUE for
//      every variable of its environment, in the order it has them.
//   2. FAKE_BACKEND_SLEEP=SPEC      sleep that many milliseconds.
//   3. FAKE_BACKEND_STDOUT=TEXT, FAKE_BACKEND_STDERR=TEXT
//      Written verbatim (no line end added) to standard output / error.
//      FAKE_BACKEND_FLOOD=N writes N bytes 'o' to standard output and N bytes
//      'e' to standard error, alternating in 4 KiB chunks (a reader that does
//      not drain both pipes together stalls).
//      FAKE_BACKEND_STDIN=1 reads standard input to its end and writes
//      "stdin: N bytes\n" to standard output.
//      "version" writes FAKE_BACKEND_VERSION verbatim when set, else
//      "juicefs version 1.3.0+fake\n".
//      "format" (format META NAME --storage S --bucket B ...) that is not
//      told to fail writes to standard error the record the real backend
//      logs after a fresh format,
//      "... <INFO>: Volume is formatted as {...}", unless
//      FAKE_BACKEND_FORMAT_EXISTS=1: then, like the real backend given
//      --no-update on an engine that holds a volume already, nothing.
//      "status" writes FAKE_BACKEND_STATUS verbatim to standard output.
//   4. "mount" only; MOUNTPOINT is the third argument (mount META MOUNTPOINT):
//      FAKE_BACKEND_MOUNT_NULLDEV=1   creates MOUNTPOINT/.quarvo-probe-PPID as a
//          character device 1:3 (the null device), so a probe written there
//          reads back nothing. PPID is this program's parent, the process
//          that runs the mount. Needs the privilege to mknod.
//      FAKE_BACKEND_MOUNT_SYMLINK=TARGET   creates MOUNTPOINT/.quarvo-probe-PPID
//          as a symbolic link to TARGET.
//      A failure to plant is reported on standard error and exits 97.
//   5. FAKE_BACKEND_SIGNAL=SPEC     kill itself with that signal number.
//   6. FAKE_BACKEND_FAIL=SPEC       exit with that code.
//   7. Otherwise exit 0.
//
// SPEC is a comma-separated list of SUBCOMMAND:VALUE entries; the first entry
// whose SUBCOMMAND equals the first argument, or is "*", applies. For example
// FAKE_BACKEND_FAIL=format:3,umount:1.
//
// A mount with "-d" exits like every other subcommand: no daemon is left. A
// mount without "-d" (foreground) also just exits, which models a mount that
// was served and then unmounted.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

extern char** environ;

namespace {

constexpr int kPlantFailed = 97;

std::optional<std::string> env(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

// The VALUE of the first SUBCOMMAND:VALUE entry of variable `name` that
// applies to `subcommand`.
std::optional<std::string> entry_for(const char* name, std::string_view subcommand) {
  auto spec = env(name);
  if (!spec) return std::nullopt;
  std::string_view rest = *spec;
  while (!rest.empty()) {
    auto comma = rest.find(',');
    std::string_view entry = rest.substr(0, comma);
    rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    auto colon = entry.rfind(':');
    if (colon == std::string_view::npos) continue;
    std::string_view key = entry.substr(0, colon);
    if (key == "*" || key == subcommand) return std::string(entry.substr(colon + 1));
  }
  return std::nullopt;
}

std::optional<long> number_for(const char* name, std::string_view subcommand) {
  auto value = entry_for(name, subcommand);
  if (!value) return std::nullopt;
  char* end = nullptr;
  long n = std::strtol(value->c_str(), &end, 10);
  if (end == value->c_str() || *end != '\0') return std::nullopt;
  return n;
}

void write_all(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    data.remove_prefix(static_cast<size_t>(n));
  }
}

// One record: the fields escaped, separated by 0x1F, ended by a line feed.
void append_log(const std::string& path, int count, char** fields) {
  std::string line;
  for (int i = 0; i < count; ++i) {
    if (i > 0) line += '\x1f';
    for (const char* p = fields[i]; *p != '\0'; ++p) {
      switch (*p) {
        case '\\': line += "\\\\"; break;
        case '\n': line += "\\n"; break;
        case '\x1f': line += "\\x1f"; break;
        default: line += *p;
      }
    }
  }
  line += '\n';
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
  if (fd < 0) {
    std::fprintf(stderr, "fake_backend: cannot open log %s: %s\n", path.c_str(), std::strerror(errno));
    std::exit(kPlantFailed);
  }
  // One write: O_APPEND makes it atomic with respect to other appenders.
  if (::write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
    std::fprintf(stderr, "fake_backend: short write to log %s\n", path.c_str());
    std::exit(kPlantFailed);
  }
  ::close(fd);
}

void sleep_ms(long ms) {
  timespec ts{ms / 1000, (ms % 1000) * 1000000L};
  while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

void flood(long n) {
  const std::string out(4096, 'o');
  const std::string err(4096, 'e');
  for (long done = 0; done < n;) {
    auto chunk = static_cast<size_t>(std::min<long>(4096, n - done));
    write_all(STDOUT_FILENO, std::string_view(out).substr(0, chunk));
    write_all(STDERR_FILENO, std::string_view(err).substr(0, chunk));
    done += static_cast<long>(chunk);
  }
}

void count_stdin() {
  char buf[4096];
  unsigned long long total = 0;
  for (;;) {
    ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    total += static_cast<unsigned long long>(n);
  }
  write_all(STDOUT_FILENO, "stdin: " + std::to_string(total) + " bytes\n");
}

[[noreturn]] void plant_failed(const std::string& what, const std::string& path) {
  std::fprintf(stderr, "fake_backend: %s %s: %s\n", what.c_str(), path.c_str(), std::strerror(errno));
  std::exit(kPlantFailed);
}

void plant_in_mountpoint(int argc, char** argv) {
  if (argc < 4) return;
  const std::string probe = std::string(argv[3]) + "/.quarvo-probe-" + std::to_string(::getppid());
  if (env("FAKE_BACKEND_MOUNT_NULLDEV") == "1") {
    if (::mknod(probe.c_str(), S_IFCHR | 0666, ::makedev(1, 3)) != 0) plant_failed("mknod", probe);
  }
  if (auto target = env("FAKE_BACKEND_MOUNT_SYMLINK")) {
    if (::symlink(target->c_str(), probe.c_str()) != 0) plant_failed("symlink", probe);
  }
}

}  // namespace

void append_env_log(const std::string& path, const std::string& subcommand) {
  std::vector<char*> fields{const_cast<char*>(subcommand.c_str())};
  for (char** e = environ; *e != nullptr; ++e) fields.push_back(*e);
  append_log(path, static_cast<int>(fields.size()), fields.data());
}

// The record of a fresh format, as the real backend logs it (on one line).
void log_fresh_format(int argc, char** argv) {
  auto at = [&](int i) { return std::string(i < argc ? argv[i] : ""); };
  write_all(STDERR_FILENO, "2026/01/01 00:00:00.000000 juicefs[" + std::to_string(::getpid()) +
                               "] <INFO>: Volume is formatted as {\"Name\": \"" + at(3) + "\", \"Storage\": \"" +
                               at(5) + "\", \"Bucket\": \"" + at(7) + "\"} [format@format.go:608]\n");
}

int main(int argc, char** argv) {
  const std::string subcommand = argc > 1 ? argv[1] : "";

  if (auto log = env("FAKE_BACKEND_LOG")) append_log(*log, argc - 1, argv + 1);
  if (auto log = env("FAKE_BACKEND_ENV_LOG")) append_env_log(*log, subcommand);
  if (auto ms = number_for("FAKE_BACKEND_SLEEP", subcommand); ms && *ms > 0) sleep_ms(*ms);

  if (auto text = env("FAKE_BACKEND_STDOUT")) write_all(STDOUT_FILENO, *text);
  if (auto text = env("FAKE_BACKEND_STDERR")) write_all(STDERR_FILENO, *text);
  if (auto n = env("FAKE_BACKEND_FLOOD")) flood(std::strtol(n->c_str(), nullptr, 10));
  if (env("FAKE_BACKEND_STDIN") == "1") count_stdin();
  if (subcommand == "version") {
    write_all(STDOUT_FILENO, env("FAKE_BACKEND_VERSION").value_or("juicefs version 1.3.0+fake\n"));
  }
  const bool fails = number_for("FAKE_BACKEND_FAIL", subcommand) || number_for("FAKE_BACKEND_SIGNAL", subcommand);
  if (subcommand == "format" && !fails && env("FAKE_BACKEND_FORMAT_EXISTS") != "1") log_fresh_format(argc, argv);
  if (subcommand == "status") write_all(STDOUT_FILENO, env("FAKE_BACKEND_STATUS").value_or(""));

  if (subcommand == "mount") plant_in_mountpoint(argc, argv);

  if (auto sig = number_for("FAKE_BACKEND_SIGNAL", subcommand)) {
    // Default action and unblocked, whatever the parent left us.
    ::signal(static_cast<int>(*sig), SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, static_cast<int>(*sig));
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    ::kill(::getpid(), static_cast<int>(*sig));
  }
  if (auto code = number_for("FAKE_BACKEND_FAIL", subcommand)) return static_cast<int>(*code);
  return 0;
}
