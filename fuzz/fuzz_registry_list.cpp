// Registry listing: a directory of records built from the input (a few
// entries, each a name and a kind: file, link to a file, link to nowhere,
// link loop, directory or FIFO, with fuzzed or well-formed record bytes,
// some too large to be a record)
// is listed by the registry and by the straightforward reader below, which
// must agree: the same volumes in the same order, or the same error. Every
// record-named entry read alone, and each record visit_each hands over, agrees too,
// and the views agree with the records.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "fuzz_support.hpp"
#include "quarvo/core/registry.hpp"
#include "quarvo/core/text.hpp"
#include "quarvo/core/trust.hpp"
#include "quarvo/core/validation.hpp"

using namespace quarvo;
namespace fs = std::filesystem;

namespace {

// --- the straightforward reader --------------------------------------------
// One file at a time by its full path: open without following a link
// (nothing behind the name: no record; a link: broken), fstat (only a small
// regular file of the user's own), read to the end, check UTF-8, parse.

Result<Volume> reference_read_file(const fs::path& path, bool& absent) {
  absent = false;
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ELOOP) return std::unexpected(linked_own_file(path, "record"));
    absent = errno == ENOENT || errno == ENOTDIR;
    return std::unexpected(QuarvoError::io_at_errno(path, errno));
  }
  std::string text;
  struct stat st{};
  if (::fstat(fd, &st) != 0) {
    const int err = errno;
    ::close(fd);
    return std::unexpected(QuarvoError::io_at_errno(path, err));
  }
  if (auto own = check_own_file(path, st, "record"); !own) {
    ::close(fd);
    return std::unexpected(own.error());
  }
  int err = 0;
  char chunk[4096];
  for (ssize_t n; (n = ::read(fd, chunk, sizeof chunk)) != 0;) {
    if (n < 0) {
      err = errno;
      break;
    }
    text.append(chunk, static_cast<size_t>(n));
  }
  ::close(fd);
  if (err == 0 && !is_valid_utf8(text)) err = EILSEQ;
  if (err != 0) return std::unexpected(QuarvoError::io_at_errno(path, err));
  return volume_from_toml(text);
}

// Record names: NAME.toml, NAME valid and not starting with '.'; sorted.
std::vector<std::string> reference_stems(const fs::path& dir) {
  std::vector<std::string> stems;
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return stems;
  while (const dirent* e = ::readdir(d)) {
    const std::string name = e->d_name;
    if (name.size() <= 5 || name.compare(name.size() - 5, 5, ".toml") != 0) continue;
    std::string stem = name.substr(0, name.size() - 5);
    if (stem[0] == '.' || !validate_volume_name(stem)) continue;
    stems.push_back(std::move(stem));
  }
  ::closedir(d);
  std::sort(stems.begin(), stems.end());
  return stems;
}

// Reads in the order of the file names, stops at the first failure, then
// sorts stably by the name inside each record.
Result<std::vector<Volume>> reference_list(const fs::path& dir) {
  std::vector<Volume> volumes;
  for (const std::string& stem : reference_stems(dir)) {
    bool absent = false;
    auto volume = reference_read_file(dir / (stem + ".toml"), absent);
    if (absent) continue;
    if (!volume) return std::unexpected(volume.error());
    volumes.push_back(std::move(*volume));
  }
  std::stable_sort(volumes.begin(), volumes.end(), [](const Volume& a, const Volume& b) { return a.name < b.name; });
  return volumes;
}

// --- the input ------------------------------------------------------------------

class Input {
 public:
  explicit Input(std::string_view data) : data_(data) {}
  [[nodiscard]] bool empty() const { return data_.empty(); }
  unsigned byte() {
    if (data_.empty()) return 0;
    const auto b = static_cast<unsigned char>(data_[0]);
    data_.remove_prefix(1);
    return b;
  }
  std::string_view take(size_t n) {
    const std::string_view out = data_.substr(0, n);
    data_.remove_prefix(out.size());
    return out;
  }

 private:
  std::string_view data_;
};

// Names from a small alphabet that reaches every rule: letters of both
// cases, the three punctuation characters of the name rule, characters
// outside it, and a byte that is not UTF-8.
std::string entry_name(Input& in) {
  static constexpr std::string_view kChars[] = {"a", "b", "A", ".", "-", "_", "#", " ", "~", "\xff", "7", "z"};
  static constexpr std::string_view kSuffixes[] = {".toml", ".toml", ".toml", ".toml.tmp", ".TOML", "", ".tom"};
  std::string name;
  const unsigned length = in.byte() % 6;
  for (unsigned i = 0; i < length; ++i) name += kChars[in.byte() % std::size(kChars)];
  name += kSuffixes[in.byte() % std::size(kSuffixes)];
  return name;
}

// Record bytes: as the registry writes them (fields from the input), raw
// input, or raw input repeated past the listing's first buffer, and at
// times past the most a record may hold.
std::string entry_bytes(Input& in) {
  const unsigned mode = in.byte() % 4;
  if (mode <= 1) {
    Volume v;
    v.name = std::string(in.take(in.byte() % 4));
    v.backend = "juicefs";
    v.metadata_url = std::string(in.take(in.byte() % 24));
    v.storage = "file";
    v.bucket = std::string(in.take(in.byte() % 24));
    v.dev = (in.byte() & 1) != 0;
    if (in.byte() & 1) v.mountpoint = fs::path(std::string(in.take(in.byte() % 16)));
    v.created_at = v.updated_at = "2026-12-06T00:00:00Z";
    auto text = volume_to_toml(v);
    if (text) return *text;
  }
  std::string raw(in.take(in.byte() % 64));
  if (mode == 3 && !raw.empty()) {
    const size_t size = (raw.size() & 1) != 0 ? 40 * 1024 : 66 * 1024;
    while (raw.size() < size) raw += raw;
  }
  return raw;
}

void make_entry(const fs::path& dir, const fs::path& outside, Input& in, int index) {
  const unsigned kind = in.byte() % 8;
  const fs::path path = dir / entry_name(in);
  std::error_code ec;
  if (fs::symlink_status(path, ec).type() != fs::file_type::not_found) return;  // the name is taken
  const auto write_file = [&](const fs::path& p) {
    const std::string bytes = entry_bytes(in);
    const int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return;
    fuzz::require(::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()), "setup write");
    ::close(fd);
  };
  switch (kind) {
    case 0:
    case 1:
    case 2:
      write_file(path);
      break;
    case 3: {  // a link to a file outside the directory
      const fs::path target = outside / ("target" + std::to_string(index));
      write_file(target);
      fs::create_symlink(target, path, ec);
      break;
    }
    case 4:
      fs::create_symlink(outside / "nowhere", path, ec);
      break;
    case 5:
      fs::create_symlink(path.filename(), path, ec);  // a loop
      break;
    case 6:
      fs::create_directory(path, ec);
      break;
    case 7:
      (void)::mkfifo(path.c_str(), 0600);
      break;
  }
}

const fs::path& work_dir();

void remove_work_dir() {
  std::error_code ignored;
  fs::remove_all(work_dir(), ignored);
}

// One directory for the whole run, removed when the run ends.
const fs::path& work_dir() {
  static const fs::path dir = [] {
    std::string tmpl = (fs::temp_directory_path() / "quarvo-fuzz-list-XXXXXX").string();
    fuzz::require(::mkdtemp(tmpl.data()) != nullptr, "a temporary directory");
    return fs::path(tmpl);
  }();
  // Registered once `dir` is made, so it runs before `dir` is destroyed.
  [[maybe_unused]] static const int registered = std::atexit(remove_work_dir);
  return dir;
}

void require_same(const Result<std::vector<Volume>>& fast, const Result<std::vector<Volume>>& reference) {
  fuzz::require(fast.has_value() == reference.has_value(), "the listing fails exactly when the reader does");
  if (!fast) {
    fuzz::require(fast.error().kind() == reference.error().kind(), "the same error kind");
    fuzz::require(fast.error().message() == reference.error().message(), "the same error message");
    return;
  }
  fuzz::require(*fast == *reference, "the same volumes in the same order");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const fs::path& work = work_dir();
  const fs::path home = work / "home";
  const fs::path outside = work / "outside";
  std::error_code ec;
  fs::remove_all(home, ec);
  fs::remove_all(outside, ec);
  fs::create_directories(outside);

  Input in(fuzz::bytes(data, size));
  const QuarvoHome quarvo_home(home);
  // An empty input leaves the home unmade: listing must make its layout.
  if (!in.empty()) {
    fs::create_directories(quarvo_home.volumes_dir());
    for (int i = 0; i < 6 && !in.empty(); ++i) make_entry(quarvo_home.volumes_dir(), outside, in, i);
  }

  const Registry registry(quarvo_home);
  const auto fast = registry.list();
  const auto reference = reference_list(quarvo_home.volumes_dir());
  require_same(fast, reference);
  fuzz::require(fs::is_directory(quarvo_home.volumes_dir()), "the listing leaves the layout made");

  const auto views = registry.list_info();
  fuzz::require(views.has_value() == fast.has_value(), "the views fail exactly when the records do");
  if (views) {
    fuzz::require(views->size() == fast->size(), "one view per record");
    for (size_t i = 0; i < views->size(); ++i) {
      fuzz::require((*views)[i] == VolumeInfo::from((*fast)[i]), "each view is its record's");
    }
  } else {
    fuzz::require(views.error().message() == fast.error().message(), "the views fail as the records do");
  }

  // Each record read alone, by name and by visit_each: as the reader reads
  // that file; missing (read) or left out (visit_each) where nothing is
  // behind the name.
  struct Entry {
    std::string name;
    Result<Volume> volume;
  };
  std::vector<Entry> each_entries;
  const auto visited = registry.visit_each([&](std::string_view name, const Volume* v, const QuarvoError* e) {
    each_entries.push_back({std::string(name), v ? Result<Volume>(*v) : std::unexpected(*e)});
  });
  fuzz::require(visited.has_value(), "visit_each fails only when the directory cannot be listed");
  const auto* each = &each_entries;
  size_t next = 0;
  const auto same = [](const Result<Volume>& a, const Result<Volume>& b) {
    if (a.has_value() != b.has_value()) return false;
    return a ? *a == *b : a.error().message() == b.error().message();
  };
  for (const std::string& stem : reference_stems(quarvo_home.volumes_dir())) {
    const auto one = registry.read(stem);
    bool absent = false;
    const auto expected = reference_read_file(quarvo_home.volume_path(stem), absent);
    if (absent) {
      fuzz::require(!one && one.error().kind() == ErrorKind::VolumeNotFound,
                    "a record with nothing behind it is missing");
      continue;
    }
    fuzz::require(same(one, expected), "read gives what the reader gives");
    fuzz::require(next < each->size(), "visit_each has every record file");
    const Entry& entry = (*each)[next++];
    fuzz::require(entry.name == stem, "visit_each in name order");
    fuzz::require(same(entry.volume, expected), "visit_each gives what the reader gives");
  }
  fuzz::require(next == each->size(), "visit_each has nothing else");
  return 0;
}
