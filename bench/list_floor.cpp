// list_floor: the least a listing of the registry can cost, timed in-process.
//
//   list_floor DIR MIN_SECONDS   seconds per pass over DIR, passes repeated
//                                for at least MIN_SECONDS of wall time
//
// One pass reads the directory, then opens each *.toml entry relative to
// the directory, asks its owner, kind and size (fstat: a record of another
// user's, or too large, is refused unread), reads it with one read into a
// reused buffer and closes it: the system calls any listing must make, and
// nothing else (no parsing, no sorting, no allocation per file). The first pass is not timed, so the
// cache is warm. Prints the mean wall seconds per pass, the mean seconds
// of CPU time (user and system) per pass, and the files per pass.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double cpu_seconds() {
  timespec ts{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Returns the number of files read, or -1 on any failure.
long one_pass(const char* dir, std::vector<char>& buf, std::vector<std::string>& names) {
  const int dfd = ::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd < 0) return -1;
  DIR* d = ::fdopendir(dfd);
  if (d == nullptr) return -1;
  names.clear();
  while (const dirent* e = ::readdir(d)) {
    const size_t len = std::strlen(e->d_name);
    if (len > 5 && std::memcmp(e->d_name + len - 5, ".toml", 5) == 0) names.emplace_back(e->d_name, len);
  }
  long files = 0;
  for (const std::string& name : names) {
    const int fd = ::openat(dfd, name.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st{};
    if (fd < 0 || ::fstat(fd, &st) != 0) return -1;
    const ssize_t n = ::read(fd, buf.data(), buf.size());
    ::close(fd);
    if (n < 0) return -1;
    ++files;
  }
  ::closedir(d);
  return files;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: list_floor DIR MIN_SECONDS\n");
    return 2;
  }
  const double min_seconds = std::strtod(argv[2], nullptr);
  std::vector<char> buf(64 * 1024);
  std::vector<std::string> names;
  const long files = one_pass(argv[1], buf, names);
  if (files < 0) {
    std::perror("list_floor");
    return 1;
  }
  long passes = 0;
  const double cpu_start = cpu_seconds();
  const auto start = Clock::now();
  double elapsed = 0;
  do {
    if (one_pass(argv[1], buf, names) != files) {
      std::fprintf(stderr, "list_floor: the directory changed or could not be read\n");
      return 1;
    }
    ++passes;
    elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  } while (elapsed < min_seconds);
  const double cpu = cpu_seconds() - cpu_start;
  std::printf("%.9f %.9f %ld\n", elapsed / static_cast<double>(passes), cpu / static_cast<double>(passes), files);
  return 0;
}
