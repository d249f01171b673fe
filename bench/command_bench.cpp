// command_bench: timings of the command runner, driven by run_command_bench.py.
//
//   command_bench true CALLS          seconds for CALLS runs of /bin/true
//   command_bench drain WRITER BYTES  seconds for one run of "WRITER write BYTES",
//                                     then the peak resident memory in KiB
//   command_bench write BYTES         writes BYTES to stdout and BYTES to stderr,
//                                     alternating 64 KiB blocks
//
// Each timing mode prints seconds on standard output (drain adds its peak).
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "quarvo/juicefs/command.hpp"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

bool write_all(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

int write_streams(size_t bytes) {
  std::string block(64 * 1024, '\0');
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>('a' + i % 26);
  for (size_t done = 0; done < bytes;) {
    const size_t n = std::min(block.size(), bytes - done);
    if (!write_all(STDOUT_FILENO, block.data(), n) || !write_all(STDERR_FILENO, block.data(), n)) return 1;
    done += n;
  }
  return 0;
}

// This program's peak resident memory (VmHWM: of this executable alone, not
// of whatever ran in the process before the exec).
long peak_resident_kib() {
  std::FILE* f = std::fopen("/proc/self/status", "r");
  if (f == nullptr) return -1;
  char line[256];
  long kib = -1;
  while (std::fgets(line, sizeof line, f) != nullptr) {
    if (std::strncmp(line, "VmHWM:", 6) == 0) kib = std::strtol(line + 6, nullptr, 10);
  }
  std::fclose(f);
  return kib;
}

int fail(const quarvo::QuarvoError& e) {
  std::fprintf(stderr, "command_bench: %s\n", e.message().c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "write" && argc == 3) return write_streams(std::strtoull(argv[2], nullptr, 10));
  if (mode == "true" && argc == 3) {
    const long calls = std::strtol(argv[2], nullptr, 10);
    const quarvo::CommandSpec spec("/bin/true");
    const auto start = Clock::now();
    for (long i = 0; i < calls; ++i) {
      if (auto out = spec.run(quarvo::WaitLimits::unbounded(quarvo::Cancel::never())); !out) return fail(out.error());
    }
    std::printf("%.9f\n", seconds_since(start));
    return 0;
  }
  if (mode == "drain" && argc == 4) {
    const size_t bytes = std::strtoull(argv[3], nullptr, 10);
    const auto start = Clock::now();
    auto out = quarvo::CommandSpec(argv[2]).arg("write").arg(argv[3]).run(
        quarvo::WaitLimits::unbounded(quarvo::Cancel::never()));
    const double elapsed = seconds_since(start);
    if (!out) return fail(out.error());
    // The runner keeps a bounded head and tail of each stream, never more.
    constexpr size_t kKept = (64 + 128) * 1024 + 64;
    const size_t expected = std::min(bytes, kKept);
    if (out->stdout_text.size() < expected - 64 || out->stdout_text.size() > kKept ||
        out->stderr_text.size() < expected - 64 || out->stderr_text.size() > kKept) {
      std::fprintf(stderr, "command_bench: captured %zu and %zu bytes of %zu each\n", out->stdout_text.size(),
                   out->stderr_text.size(), bytes);
      return 1;
    }
    std::printf("%.9f %ld\n", elapsed, peak_resident_kib());
    return 0;
  }
  std::fprintf(stderr, "usage: command_bench true CALLS | drain WRITER BYTES | write BYTES\n");
  return 2;
}
