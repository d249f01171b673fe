#include "quarvo/core/registry.hpp"

#include <dirent.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#include "quarvo/core/file_io.hpp"
#include "quarvo/core/validation.hpp"

namespace quarvo {
namespace {

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

// Whether a directory entry is a record: its extension, after the last dot
// of a name that does not start with that dot, is exactly "toml". So
// "a.toml.tmp", "NOTES.txt" and a hidden ".toml" are not.
bool is_record_name(std::string_view name) {
  const auto dot = name.rfind('.');
  return dot != std::string_view::npos && dot != 0 && name.substr(dot + 1) == "toml";
}

Result<Volume> read_record(const std::filesystem::path& path) {
  auto text = read_text_file(path);
  if (!text) return std::unexpected(QuarvoError::io_at_errno(path, text.error()));
  auto volume = volume_from_toml(*text);
  if (!volume) return std::unexpected(std::move(volume).error().in_file(path));
  return volume;
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

Result<RegistryLock> Registry::lock(const Cancel& cancel) const {
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
    if (cancel.requested()) return std::unexpected(QuarvoError::interrupted());
    if (err == EWOULDBLOCK) {
      std::this_thread::sleep_for(pause);
      pause = std::min(pause * 2, kCancelPollInterval / 2);
    }
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
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::unexpected(QuarvoError::volume_not_found(std::string(name)));
  return read_record(path);
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
  auto records = read_each();
  if (!records) return std::unexpected(std::move(records).error());
  std::vector<Volume> volumes;
  volumes.reserve(records->size());
  for (RecordRead& record : *records) {
    if (!record.volume) return std::unexpected(std::move(record.volume).error());
    volumes.push_back(std::move(*record.volume));
  }
  // A record's own name decides, should it differ from its file's.
  std::stable_sort(volumes.begin(), volumes.end(),
                   [](const Volume& a, const Volume& b) { return a.name < b.name; });
  return volumes;
}

Result<std::vector<RecordRead>> Registry::read_each() const {
  QUARVO_TRY(home_.ensure_layout());
  const std::filesystem::path dir = home_.volumes_dir();
  auto fd = open_fd(dir, O_RDONLY | O_DIRECTORY);
  if (!fd) return std::unexpected(QuarvoError::io_at_errno(dir, fd.error()));
  DirHandle handle(::fdopendir(fd->get()));
  if (!handle) return std::unexpected(QuarvoError::io_at_errno(dir, errno));
  (void)fd->release();  // the DIR owns the descriptor now

  std::vector<std::string> names;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(handle.get());
    if (entry == nullptr) {
      if (errno != 0) return std::unexpected(QuarvoError::io_errno(errno));
      break;
    }
    if (is_record_name(entry->d_name)) names.emplace_back(entry->d_name);
  }
  std::sort(names.begin(), names.end());

  std::vector<RecordRead> records;
  records.reserve(names.size());
  for (std::string& file : names) {
    std::filesystem::path path = dir / file;
    file.resize(file.size() - std::string_view(".toml").size());
    Result<Volume> volume = read_record(path);
    records.push_back(RecordRead{std::move(file), std::move(path), std::move(volume)});
  }
  return records;
}

}  // namespace quarvo
