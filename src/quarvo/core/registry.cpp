#include "quarvo/core/registry.hpp"

#include <dirent.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#include "quarvo/core/file_io.hpp"
#include "quarvo/core/text.hpp"
#include "quarvo/core/trust.hpp"
#include "quarvo/core/validation.hpp"

namespace quarvo {
namespace {

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

// The volume name of a directory entry that is a record, else empty.
// Records are NAME.toml for a NAME valid under the name rule that is not
// hidden; whatever else gathers in the directory is no record and is passed
// over: NAME.toml.tmp of a write in progress, hidden files, an editor's lock
// link ".#NAME.toml", notes.
std::string_view record_stem(std::string_view file_name) {
  constexpr std::string_view kSuffix = ".toml";
  if (!file_name.ends_with(kSuffix)) return {};
  const std::string_view stem = file_name.substr(0, file_name.size() - kSuffix.size());
  if (stem.starts_with('.') || !is_valid_volume_name(stem)) return {};
  return stem;
}

// Whether a read of an entry failed because there is nothing behind its
// name: a record removed since the listing. (A link is no record: reading
// one fails with its own error.)
bool names_nothing(const QuarvoError& error) {
  const int code = error.os_error().code;
  return error.kind() == ErrorKind::IoAt && (code == ENOENT || code == ENOTDIR);
}

constexpr std::string_view kRecordRole = "record";

// Reads the record of volume `name` from its bytes into `out`: IoAt
// (EILSEQ) when they are not UTF-8, else as the record reader says, its
// error naming the file. A record that names another volume than its file
// (copied by hand, say) is broken: used, it would be shown twice, and
// writing it back would replace the other volume's record.
Result<void> parse_record(std::string_view name, std::string_view bytes, const auto& path_of, Volume& out) {
  if (!is_valid_utf8(bytes)) return std::unexpected(QuarvoError::io_at_errno(path_of(), EILSEQ));
  auto read = read_utf8_volume(bytes, out);
  if (!read) return std::unexpected(std::move(read).error().in_file(path_of()));
  if (out.name != name) {
    return std::unexpected(QuarvoError::toml_parse({"the record names volume " + quote(out.name) +
                                                    ", not the volume of its file name " + quote(name)})
                               .in_file(path_of()));
  }
  return {};
}

// One record file of a listing. Entries sort by the volume name's bytes;
// the first eight of them, big-endian in `key`, settle nearly every
// comparison without touching the names buffer.
struct RecordEntry {
  std::uint64_t key;        // the name's first 8 bytes, zero-padded
  std::uint32_t offset;     // of the file name in the names buffer, NUL-terminated
  std::uint16_t stem_size;  // the volume name's length (a file name is at most 255 bytes)
};

std::uint64_t sort_key(std::string_view stem) {
  std::uint64_t key = 0;
  for (size_t i = 0; i < sizeof key; ++i) {
    key = key << 8 | (i < stem.size() ? static_cast<unsigned char>(stem[i]) : 0u);
  }
  return key;
}

// The record files of a home's volumes directory, sorted by volume name,
// and their reading: each file is opened relative to the directory and read
// into one buffer shared by all of them.
class RecordFiles {
 public:
  // Opens the directory (making the layout of a fresh home) and lists it.
  [[nodiscard]] static Result<RecordFiles> open(const QuarvoHome& home) {
    const std::filesystem::path dir = home.volumes_dir();
    auto fd = open_fd(dir, O_RDONLY | O_DIRECTORY);
    if (!fd) {
      // A fresh home: the layout is made here, and only here, so listing an
      // existing home costs one open rather than a check of every directory.
      QUARVO_TRY(home.ensure_layout());
      fd = open_fd(dir, O_RDONLY | O_DIRECTORY);
      if (!fd) return std::unexpected(QuarvoError::io_at_errno(dir, fd.error()));
    }
    RecordFiles files(dir);
    files.dir_.reset(::fdopendir(fd->get()));
    if (!files.dir_) return std::unexpected(QuarvoError::io_at_errno(dir, errno));
    (void)fd->release();  // the DIR owns the descriptor now
    QUARVO_TRY(files.list());
    return files;
  }

  [[nodiscard]] size_t size() const { return entries_.size(); }
  // The volume name of file `i`: its name without ".toml".
  [[nodiscard]] std::string_view name(size_t i) const {
    return std::string_view(names_).substr(entries_[i].offset, entries_[i].stem_size);
  }
  [[nodiscard]] std::filesystem::path path(size_t i) const { return dir_path_ / (names_.data() + entries_[i].offset); }

  // Reads file `i` into `out` (see read_utf8_volume): true when read, false
  // when there is nothing behind its name (a record removed since the
  // listing); else the error of read_own_file, IoAt or TomlParse.
  [[nodiscard]] Result<bool> read(size_t i, Volume& out) {
    const RecordEntry& e = entries_[i];
    const auto path_of = [&] { return path(i); };
    auto bytes = read_own_file(::dirfd(dir_.get()), dir_path_, names_.data() + e.offset, kRecordRole, buf_);
    if (!bytes) {
      if (names_nothing(bytes.error())) return false;
      return std::unexpected(std::move(bytes).error());
    }
    QUARVO_TRY(parse_record(name(i), *bytes, path_of, out));
    return true;
  }

 private:
  explicit RecordFiles(std::filesystem::path dir) : dir_path_(std::move(dir)) {}

  // One entry per record file, sorted by the volume name's bytes; no valid
  // name holds a NUL byte, so the key's zero padding sorts a name before any
  // longer one it starts.
  Result<void> list() {
    for (;;) {
      errno = 0;
      const dirent* entry = ::readdir(dir_.get());
      if (entry == nullptr) {
        if (errno != 0) return std::unexpected(QuarvoError::io_errno(errno));
        break;
      }
      const std::string_view file_name = entry->d_name;
      const std::string_view stem = record_stem(file_name);
      if (stem.empty()) continue;
      entries_.push_back(
          {sort_key(stem), static_cast<std::uint32_t>(names_.size()), static_cast<std::uint16_t>(stem.size())});
      names_.append(file_name);
      names_.push_back('\0');
    }
    std::sort(entries_.begin(), entries_.end(), [&](const RecordEntry& a, const RecordEntry& b) {
      if (a.key != b.key) return a.key < b.key;
      return std::string_view(names_).substr(a.offset, a.stem_size) <
             std::string_view(names_).substr(b.offset, b.stem_size);
    });
    return {};
  }

  std::filesystem::path dir_path_;
  DirHandle dir_;
  std::string names_;  // the file names, each NUL-terminated
  std::vector<RecordEntry> entries_;
  std::string buf_;  // shared by every read; grows for a larger file
};

// Every record of the home, read in the order of its file's name into one
// scratch Volume and handed to `take`, which makes the element kept; then
// sorted by the name inside each record (nearly always the file's own name,
// so nearly always sorted already), stably, so that records of one name
// keep their files' order. The first record that cannot be read fails all.
template <class T, class Take>
Result<std::vector<T>> list_records(const QuarvoHome& home, Take take) {
  auto files = RecordFiles::open(home);
  if (!files) return std::unexpected(std::move(files).error());
  std::vector<T> out;
  out.reserve(files->size());
  Volume scratch;
  for (size_t i = 0; i < files->size(); ++i) {
    auto read = files->read(i, scratch);
    if (!read) return std::unexpected(std::move(read).error());
    if (*read) out.push_back(take(scratch));
  }
  const auto by_name = [](const T& a, const T& b) { return a.name < b.name; };
  if (!std::is_sorted(out.begin(), out.end(), by_name)) std::stable_sort(out.begin(), out.end(), by_name);
  return out;
}

// Makes the last change to the directory's entries durable.
Result<void> sync_volumes_dir(const QuarvoHome& home) {
  const std::filesystem::path dir = home.volumes_dir();
  if (const int err = sync_directory(dir)) return std::unexpected(QuarvoError::io_at_errno(dir, err));
  return {};
}

}  // namespace

RegistryLock::RegistryLock(RegistryLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

RegistryLock& RegistryLock::operator=(RegistryLock&& other) noexcept {
  if (this != &other) {
    RegistryLock old(std::move(*this));  // released at the end of this scope
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

RegistryLock::~RegistryLock() {
  if (fd_ < 0) return;
  // Unlocking explicitly (not only by close) also releases the lock should
  // the descriptor have been duplicated; there is nothing to do on failure.
  (void)::flock(fd_, LOCK_UN);
  UniqueFd closer(fd_);
}

Result<RegistryLock> Registry::lock(const WaitLimits& limits) const {
  QUARVO_TRY(home_.ensure_layout());
  const std::filesystem::path path = home_.lock_path();
  auto fd = open_fd(path, O_RDWR | O_CREAT, 0600);
  if (!fd) return std::unexpected(QuarvoError::io_at_errno(path, fd.error()));
  // Asked for without blocking, again and again with a growing pause (up to
  // the cancel interval), so that a caller who gives up is heard: a
  // blocking flock would hear only a signal delivered to this very thread.
  std::chrono::milliseconds pause{1};
  while (::flock(fd->get(), LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    if (err != EWOULDBLOCK && err != EINTR) return std::unexpected(QuarvoError::io_errno(err));
    if (limits.cancel().requested()) return std::unexpected(QuarvoError::interrupted());
    if (limits.deadline().passed())
      return std::unexpected(limits.timed_out("waiting for the lock of " + path_text(home_.root())));
    if (err == EWOULDBLOCK) {
      std::this_thread::sleep_for(std::min(pause, limits.deadline().left().value_or(pause)));
      pause = std::min(pause * 2, kCancelPollInterval / 2);
    }
  }
  return RegistryLock(fd->release());
}

Result<bool> Registry::exists(std::string_view name) const {
  QUARVO_TRY(validate_volume_name(name));
  struct stat st{};
  return ::lstat(home_.volume_path(name).c_str(), &st) == 0;
}

Result<Volume> Registry::read(std::string_view name) const {
  QUARVO_TRY(validate_volume_name(name));
  const std::filesystem::path path = home_.volume_path(name);
  std::string buf;
  auto bytes = read_own_file(AT_FDCWD, {}, path.c_str(), kRecordRole, buf);
  if (!bytes) {
    // A record is missing when its metadata cannot be had, as for exists();
    // one that is there but cannot be read is broken.
    struct stat st{};
    if (::lstat(path.c_str(), &st) != 0) return std::unexpected(QuarvoError::volume_not_found(std::string(name)));
    return std::unexpected(std::move(bytes).error());
  }
  Volume volume;
  QUARVO_TRY(parse_record(name, *bytes, [&] { return path; }, volume));
  return volume;
}

Result<void> Registry::write(const Volume& volume) const {
  QUARVO_TRY(validate_volume_name(volume.name));
  QUARVO_TRY(home_.ensure_layout());
  auto text = volume_to_toml(volume);
  if (!text) return std::unexpected(std::move(text).error());

  const std::filesystem::path path = home_.volume_path(volume.name);
  std::filesystem::path tmp = path;
  tmp.replace_extension("toml.tmp");
  {
    // 0600: a metadata URL may carry a password.
    auto fd = open_fd(tmp, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (!fd) return std::unexpected(QuarvoError::io_at_errno(tmp, fd.error()));
    if (const int err = write_all(fd->get(), *text); err != 0) return std::unexpected(QuarvoError::io_errno(err));
    if (::fsync(fd->get()) != 0) return std::unexpected(QuarvoError::io_errno(errno));
  }
  if (::rename(tmp.c_str(), path.c_str()) != 0) return std::unexpected(QuarvoError::io_at_errno(path, errno));

  // The rename lives in the directory; without syncing it a power cut may
  // bring back the old record after the write was reported done.
  return sync_volumes_dir(home_);
}

Result<void> Registry::remove(std::string_view name) const {
  QUARVO_TRY(validate_volume_name(name));
  const std::filesystem::path path = home_.volume_path(name);
  if (::unlink(path.c_str()) != 0) {
    if (errno == ENOENT) return std::unexpected(QuarvoError::volume_not_found(std::string(name)));
    return std::unexpected(QuarvoError::io_at_errno(path, errno));
  }
  return sync_volumes_dir(home_);
}

Result<std::vector<Volume>> Registry::list() const {
  return list_records<Volume>(home_, [](Volume& v) { return std::move(v); });
}

Result<std::vector<std::string>> Registry::names() const {
  struct stat st{};
  if (::stat(home_.volumes_dir().c_str(), &st) != 0 && errno == ENOENT) return std::vector<std::string>{};
  auto files = RecordFiles::open(home_);
  if (!files) return std::unexpected(std::move(files).error());
  std::vector<std::string> out;
  out.reserve(files->size());
  for (size_t i = 0; i < files->size(); ++i) out.emplace_back(files->name(i));
  return out;
}

Result<std::vector<VolumeInfo>> Registry::list_info() const {
  // Only the view's fields move out; the scratch record keeps the storage of
  // the others (backend, timestamps) for the next file.
  return list_records<VolumeInfo>(home_, [](Volume& v) {
    return VolumeInfo{std::move(v.name),   std::move(v.metadata_url), std::move(v.storage),
                      std::move(v.bucket), std::move(v.mountpoint),   v.dev};
  });
}

Result<void> Registry::visit_each(const RecordVisitor& visit) const {
  auto files = RecordFiles::open(home_);
  if (!files) return std::unexpected(std::move(files).error());
  Volume scratch;
  for (size_t i = 0; i < files->size(); ++i) {
    auto read = files->read(i, scratch);
    if (read && !*read) continue;
    visit(files->name(i), read ? &scratch : nullptr, read ? nullptr : &read.error());
  }
  return {};
}

}  // namespace quarvo
