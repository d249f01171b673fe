#include "quarvo/core/registry.hpp"

#include <dirent.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <utility>

#include "quarvo/core/file_io.hpp"
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

// Whether an open of an entry failed because there is nothing behind its
// name: a link pointing nowhere, or a record removed since the listing.
bool names_nothing(int err) { return err == ENOENT || err == ENOTDIR || err == ELOOP; }

// Parses a record's bytes: IoAt (EILSEQ) when they are not UTF-8, else as
// the record reader says.
Result<Volume> parse_record(std::string_view bytes, const auto& path_of) {
  if (!is_valid_utf8(bytes)) return std::unexpected(QuarvoError::io_at_errno(path_of(), EILSEQ));
  return volume_from_utf8_toml(bytes);
}

// One record file of a listing: where its name is in the names buffer.
struct RecordEntry {
  std::uint32_t offset;     // of the file name, NUL-terminated
  std::uint32_t stem_size;  // the volume name's length
  bool regular;             // the directory entry says regular file
};

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

Result<RegistryLock> Registry::lock() const {
  QUARVO_TRY(home_.ensure_layout());
  const std::filesystem::path path = home_.lock_path();
  auto fd = open_fd(path, O_RDWR | O_CREAT, 0666);
  if (!fd) return std::unexpected(QuarvoError::io_at_errno(path, fd.error()));
  while (::flock(fd->get(), LOCK_EX) != 0) {
    if (errno != EINTR) return std::unexpected(QuarvoError::io_errno(errno));
  }
  return RegistryLock(fd->release());
}

Result<bool> Registry::exists(std::string_view name) const {
  QUARVO_TRY(validate_volume_name(name));
  struct stat st {};
  return ::stat(home_.volume_path(name).c_str(), &st) == 0;
}

Result<Volume> Registry::read(std::string_view name) const {
  QUARVO_TRY(validate_volume_name(name));
  const std::filesystem::path path = home_.volume_path(name);
  auto fd = open_fd(path, O_RDONLY | O_NONBLOCK);
  if (!fd) {
    // A record is missing when its metadata cannot be had, as for exists();
    // one that is there but cannot be opened is an I/O error.
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::unexpected(QuarvoError::volume_not_found(std::string(name)));
    return std::unexpected(QuarvoError::io_at_errno(path, fd.error()));
  }
  std::string buf;
  auto bytes = read_regular_file(fd->get(), false, buf);
  if (!bytes) return std::unexpected(QuarvoError::io_at_errno(path, bytes.error()));
  return parse_record(*bytes, [&] { return path; });
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
  const std::filesystem::path dir = home_.volumes_dir();
  auto dir_fd = open_fd(dir, O_RDONLY | O_DIRECTORY);
  if (!dir_fd) return std::unexpected(QuarvoError::io_at_errno(dir, dir_fd.error()));
  if (::fsync(dir_fd->get()) != 0) return std::unexpected(QuarvoError::io_at_errno(dir, errno));
  return {};
}

Result<std::vector<Volume>> Registry::list() const {
  const std::filesystem::path dir = home_.volumes_dir();
  auto fd = open_fd(dir, O_RDONLY | O_DIRECTORY);
  if (!fd) {
    // A fresh home: the layout is made here, and only here, so listing an
    // existing home costs one open rather than a check of every directory.
    QUARVO_TRY(home_.ensure_layout());
    fd = open_fd(dir, O_RDONLY | O_DIRECTORY);
    if (!fd) return std::unexpected(QuarvoError::io_at_errno(dir, fd.error()));
  }
  DirHandle handle(::fdopendir(fd->get()));
  if (!handle) return std::unexpected(QuarvoError::io_at_errno(dir, errno));
  const int dir_fd = fd->release();  // the DIR owns the descriptor now

  // The names first, sorted, then the files in that order: records come out
  // nearly always already in order, and the directory is read in one sweep.
  std::string names;
  std::vector<RecordEntry> entries;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(handle.get());
    if (entry == nullptr) {
      if (errno != 0) return std::unexpected(QuarvoError::io_errno(errno));
      break;
    }
    const std::string_view file_name = entry->d_name;
    const std::string_view stem = record_stem(file_name);
    if (stem.empty()) continue;
    entries.push_back({static_cast<std::uint32_t>(names.size()), static_cast<std::uint32_t>(stem.size()),
                       entry->d_type == DT_REG});
    names.append(file_name);
    names.push_back('\0');
  }
  const auto stem_of = [&](const RecordEntry& e) { return std::string_view(names).substr(e.offset, e.stem_size); };
  std::sort(entries.begin(), entries.end(),
            [&](const RecordEntry& a, const RecordEntry& b) { return stem_of(a) < stem_of(b); });

  std::vector<Volume> volumes;
  volumes.reserve(entries.size());
  std::string buf(16 * 1024, '\0');  // one buffer for every file; grows for a larger one
  for (const RecordEntry& e : entries) {
    const char* file_name = names.data() + e.offset;
    const auto path = [&] { return dir / file_name; };
    auto record_fd = open_fd_at(dir_fd, file_name, O_RDONLY | O_NONBLOCK);
    if (!record_fd) {
      if (names_nothing(record_fd.error())) continue;
      return std::unexpected(QuarvoError::io_at_errno(path(), record_fd.error()));
    }
    auto bytes = read_regular_file(record_fd->get(), e.regular, buf);
    if (!bytes) return std::unexpected(QuarvoError::io_at_errno(path(), bytes.error()));
    auto volume = parse_record(*bytes, path);
    if (!volume) return std::unexpected(std::move(volume).error());
    volumes.push_back(std::move(*volume));
  }
  // The order is by the name inside each record, which is nearly always the
  // file's own name; stable, so records of one name keep their files' order.
  const auto by_name = [](const Volume& a, const Volume& b) { return a.name < b.name; };
  if (!std::is_sorted(volumes.begin(), volumes.end(), by_name)) {
    std::stable_sort(volumes.begin(), volumes.end(), by_name);
  }
  return volumes;
}

}  // namespace quarvo
