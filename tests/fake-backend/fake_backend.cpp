// fake_backend: a stand-in for the storage backend program in tests.
//
// Tests point QUARVO_STORAGE_BACKEND_BIN at this program. It records how it
// was called, then behaves as the environment tells it to, so tests can drive
// the outcomes the real client cannot be made to show on demand. CMake
// builds it as build/cpp/fake_backend, which every suite uses.
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
//      "version" writes "juicefs version 1.3.0+fake\n".
//      "format" (format META NAME --storage S --bucket B ...) that is not
//      told to fail writes to standard error the record the real backend
//      logs after a fresh format, "... <INFO>: Volume is formatted as {...}".
//   4. FAKE_BACKEND_FAIL=SPEC       exit with that code.
//   5. The subcommand's own work (below), else exit 0.
//
// SPEC is a comma-separated list of SUBCOMMAND:VALUE entries; the first entry
// whose SUBCOMMAND equals the first argument, or is "*", applies. For example
// FAKE_BACKEND_FAIL=format:3,umount:1.
//
// Volumes are real enough for the service's checks to mean something: a
// mount is a tmpfs whose source is "JuiceFS:NAME", as the real client's is,
// so the mount table, the probe and the unmount all meet a real file system.
// Mounting needs the privilege to mount (root); tests run in a private mount
// namespace of their own, which the backend inherits.
//
//   format META NAME ...   records NAME as the volume of META in the directory
//       FAKE_BACKEND_STATE (one file per metadata URL), as an engine would;
//       without the variable it records nothing.
//   mount META MOUNTPOINT ...   looks up the volume of META ("database is
//       not formatted", exit 1, when there is none), mounts the tmpfs (its
//       root 0777, as the real client formats a volume's) and
//       writes MOUNTPOINT/.config with "Pid" and "PPid", its own, as the real
//       client shows its supervisor's and worker's, and MOUNTPOINT/.stats
//       with write buffers that hold nothing. It serves until the mount
//       is gone, or until SIGINT or SIGTERM, when it unmounts and exits 0.
//       Quarvo never asks for the backend's own daemon ("-d"): it is refused.
//       FAKE_BACKEND_MOUNT changes what happens:
//         none         exit 0 without mounting anything
//         die          die by SIGKILL before mounting (killed on its way up;
//                      a tmpfs outlives its process, so a death after
//                      mounting could not look like a dead mount)
//         other:NAME   mount with the source of volume NAME
//         readonly     mount read-only, so nothing can be written, though
//                      .config says otherwise
//         writable     ignore "--read-only" (mount writable, .config says so)
//       Otherwise "--read-only" mounts read-only, and .config says so; its
//       "Format" names the volume mounted.
//   umount [--flush] [--force] MOUNTPOINT   "not mounted", exit 1, when
//       nothing is; with "--flush" and the daemon gone, exit 1 (the real
//       client cannot reach it to flush); unmounts, lazily with "--force";
//       a busy mount is "target is busy", exit 1.
//
// The mount table is read through Quarvo's own reader, which its tests check
// against the kernel.
#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
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

#include "quarvo/core/mount_table.hpp"

extern char** environ;

namespace {

constexpr int kLogFailed = 97;

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
        case '\\':
          line += "\\\\";
          break;
        case '\n':
          line += "\\n";
          break;
        case '\x1f':
          line += "\\x1f";
          break;
        default:
          line += *p;
      }
    }
  }
  line += '\n';
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
  if (fd < 0) {
    std::fprintf(stderr, "fake_backend: cannot open log %s: %s\n", path.c_str(), std::strerror(errno));
    std::exit(kLogFailed);
  }
  // One write: O_APPEND makes it atomic with respect to other appenders.
  if (::write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
    std::fprintf(stderr, "fake_backend: short write to log %s\n", path.c_str());
    std::exit(kLogFailed);
  }
  ::close(fd);
}

void sleep_ms(long ms) {
  timespec ts{ms / 1000, (ms % 1000) * 1000000L};
  while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

std::string hex(std::string_view text) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : text) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

[[noreturn]] void fail(const std::string& message, int code = 1) {
  write_all(STDERR_FILENO, "fake_backend: " + message + "\n");
  std::exit(code);
}

std::string state_file(const std::string& meta) {
  auto dir = env("FAKE_BACKEND_STATE");
  if (!dir) fail("FAKE_BACKEND_STATE is not set");
  return *dir + "/" + hex(meta);
}

void format(int argc, char** argv) {
  if (argc < 4) fail("format needs META NAME");
  if (!env("FAKE_BACKEND_STATE")) return;  // a test that never mounts
  const std::string path = state_file(argv[2]);
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) fail("cannot record the volume in " + path + ": " + std::strerror(errno));
  write_all(fd, argv[3]);
  ::close(fd);
}

// The source of the file system mounted on top at `mountpoint`, if any.
std::optional<std::string> source_at(const std::string& mountpoint) {
  auto table = quarvo::read_mount_table();
  auto top = table ? quarvo::mount_at(*table, mountpoint) : std::nullopt;
  return top ? std::optional(top->source) : std::nullopt;
}

// Every volume of the fake has this UUID.
constexpr const char* kFakeUuid = "0fa4e000-0000-4000-8000-000000000000";

void write_config(const std::string& mountpoint, const std::string& name, bool read_only, pid_t pid, pid_t ppid) {
  const std::string path = mountpoint + "/.config";
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0400);
  if (fd < 0) return;
  write_all(fd, "{\n \"Format\": {\"Name\": \"" + name + "\", \"UUID\": \"" + kFakeUuid +
                    "\"},\n \"Meta\": {\"ReadOnly\": " + (read_only ? "true" : "false") +
                    "},\n \"Pid\": " + std::to_string(pid) + ",\n \"PPid\": " + std::to_string(ppid) +
                    ",\n \"Version\": \"1.3.0+fake\"\n}\n");
  ::close(fd);
}

// MOUNTPOINT/.stats as the real client shows it, holding nothing: a tmpfs
// has written everything once the write returns.
void write_stats(const std::string& mountpoint) {
  const int fd = ::open((mountpoint + "/.stats").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0400);
  if (fd < 0) return;
  write_all(fd,
            "juicefs_staging_block_bytes 0\njuicefs_staging_blocks 0\njuicefs_used_buffer_size_bytes 0\n"
            "juicefs_used_read_buffer_size_bytes 0\n");
  ::close(fd);
}

volatile sig_atomic_t stop_requested = 0;
void request_stop(int) { stop_requested = 1; }

// Serves until the mount at `mountpoint` with `source` is gone, or until
// SIGINT or SIGTERM, which unmount it first.
void serve(const std::string& mountpoint, const std::string& source) {
  struct sigaction sa{};
  sa.sa_handler = request_stop;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  while (source_at(mountpoint) == source) {
    if (stop_requested) {
      ::umount2(mountpoint.c_str(), MNT_DETACH);
      break;
    }
    sleep_ms(20);
  }
}

void mount(int argc, char** argv) {
  if (argc < 4) fail("mount needs META MOUNTPOINT");
  const std::string mountpoint = argv[3];
  if (std::any_of(argv + 4, argv + argc, [](const char* a) { return std::string(a) == "-d"; })) {
    fail("the fake backend mounts in the foreground only");
  }
  const std::string path = state_file(argv[2]);
  std::string name;
  {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) fail("load setting: database is not formatted");
    char buf[256];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    ::close(fd);
    if (n <= 0) fail("load setting: database is not formatted");
    name.assign(buf, static_cast<size_t>(n));
  }
  const std::string how = env("FAKE_BACKEND_MOUNT").value_or("");
  if (how == "none") return;
  if (how == "die") ::kill(::getpid(), SIGKILL);
  if (how.rfind("other:", 0) == 0) name = how.substr(6);
  const std::string source = "JuiceFS:" + name;
  // Read-only comes after .config is written, by a remount. The root is
  // 0777, as the real client formats a volume's.
  if (::mount(source.c_str(), mountpoint.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=64m,mode=0777") != 0) {
    fail("mount tmpfs at " + mountpoint + ": " + std::strerror(errno));
  }
  // "--read-only" is obeyed and shown in .config, as the real client does.
  const bool asked_read_only = how != "writable" && std::any_of(argv + 4, argv + argc, [](const char* a) {
                                 return std::string(a) == "--read-only";
                               });
  write_config(mountpoint, name, asked_read_only, ::getpid(),
               ::getpid());  // the real client: its supervisor and worker
  write_stats(mountpoint);
  if (how == "readonly" || asked_read_only) {
    ::mount(nullptr, mountpoint.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr);
  }
  serve(mountpoint, source);
}

// Whether the daemon named in MOUNTPOINT/.config still runs.
bool daemon_alive(const std::string& mountpoint) {
  const int fd = ::open((mountpoint + "/.config").c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buf[512] = {};
  const ssize_t n = ::read(fd, buf, sizeof buf - 1);
  ::close(fd);
  const char* at = n > 0 ? std::strstr(buf, "\"Pid\": ") : nullptr;
  if (at == nullptr) return false;
  const long pid = std::strtol(at + 7, nullptr, 10);
  return pid > 0 && ::kill(static_cast<pid_t>(pid), 0) == 0;
}

int umount(int argc, char** argv) {
  bool flush = false, force = false;
  std::string mountpoint;
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--flush") flush = true;
    else if (a == "--force") force = true;
    else mountpoint = a;
  }
  if (!source_at(mountpoint)) fail(mountpoint + " is not mounted");
  if (flush && !daemon_alive(mountpoint)) fail("failed to read config: the daemon of " + mountpoint + " is gone");
  if (::umount2(mountpoint.c_str(), force ? MNT_DETACH : 0) != 0) {
    fail("umount " + mountpoint + ": " + (errno == EBUSY ? "target is busy" : std::strerror(errno)));
  }
  return 0;
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
  if (subcommand == "version") write_all(STDOUT_FILENO, "juicefs version 1.3.0+fake\n");
  const bool fails = number_for("FAKE_BACKEND_FAIL", subcommand).has_value();
  if (subcommand == "format" && !fails) log_fresh_format(argc, argv);

  if (auto code = number_for("FAKE_BACKEND_FAIL", subcommand)) return static_cast<int>(*code);

  if (subcommand == "format") format(argc, argv);
  if (subcommand == "mount") mount(argc, argv);
  if (subcommand == "umount") return umount(argc, argv);
  return 0;
}
