// quarvo/core/registry.hpp: the volume records of one home, and their lock.
//
// One TOML file per volume in root/volumes. Writes go to NAME.toml.tmp
// (created 0600: records hold metadata URLs, which may carry passwords), are
// fsynced, renamed over NAME.toml, and the directory is fsynced, so a reader
// sees the old or the new record and a reported write survives a power cut.
// The registry operations take no lock themselves: the service holds a
// `RegistryLock` around every read-decide-write sequence.
//
//   auto lock = registry.lock(limits);    // waits until granted, within `limits`
//   if (!lock) return std::unexpected(lock.error());
//   auto volume = registry.read("data");  // ... decide ...
//   registry.write(*volume);              // lock released at scope end
//
// Every descriptor opened here is close-on-exec, so the lock never reaches a
// child program (a mount daemon would otherwise hold it for its whole life).
#ifndef QUARVO_CORE_REGISTRY_HPP_
#define QUARVO_CORE_REGISTRY_HPP_

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "quarvo/core/deadline.hpp"
#include "quarvo/core/error.hpp"
#include "quarvo/core/models.hpp"
#include "quarvo/core/paths.hpp"

namespace quarvo {

// RegistryLock: an exclusive flock on root/lock, released (LOCK_UN, close) when
// destroyed. Move-only; a moved-from guard holds nothing.
class [[nodiscard]] RegistryLock {
 public:
  RegistryLock(RegistryLock&& other) noexcept;
  RegistryLock& operator=(RegistryLock&& other) noexcept;
  RegistryLock(const RegistryLock&) = delete;
  RegistryLock& operator=(const RegistryLock&) = delete;
  ~RegistryLock();

 private:
  friend class Registry;
  explicit RegistryLock(int fd) : fd_(fd) {}
  int fd_ = -1;  // owned; -1 once released or moved from
};

class Registry {
 public:
  explicit Registry(QuarvoHome home) : home_(std::move(home)) {}

  [[nodiscard]] const QuarvoHome& home() const { return home_; }

  // Ensures the layout, opens root/lock (IoAt) and waits for the flock (Io),
  // asking the cancel while it waits (Interrupted), until the deadline
  // (TimedOut "waiting for the lock of HOME").
  [[nodiscard]] Result<RegistryLock> lock(const WaitLimits& limits) const;
  // Whether the record's metadata can be read; only a bad name is an error.
  [[nodiscard]] Result<bool> exists(std::string_view name) const;
  // VolumeNotFound when the record cannot be stat'ed; IoAt on read; TomlParse
  // (carrying the record's path).
  [[nodiscard]] Result<Volume> read(std::string_view name) const;
  // Atomic replace of NAME.toml; on failure the old record is untouched.
  [[nodiscard]] Result<void> write(const Volume& volume) const;
  // Unlinks NAME.toml and fsyncs the directory, so a reported removal
  // survives a power cut. VolumeNotFound when there is no record; IoAt.
  [[nodiscard]] Result<void> remove(std::string_view name) const;
  // Every record, sorted by name bytes (stable); one bad record fails. A
  // record is a file NAME.toml for a valid NAME not starting with '.'; other
  // entries, and links pointing nowhere, are passed over. A fresh home gets
  // its layout.
  [[nodiscard]] Result<std::vector<Volume>> list() const;
  // The volume names of the record files, sorted: what shell completion
  // offers. No record is opened, so a broken one is named too; a home that
  // has no volumes directory has none (and is not made).
  [[nodiscard]] Result<std::vector<std::string>> names() const;
  // The same records as list(), as their views: what status needs, without
  // keeping the fields no view shows.
  [[nodiscard]] Result<std::vector<VolumeInfo>> list_info() const;
  // The same record files, in the order of their names, each read into
  // one scratch record handed to `visit` with its file's volume name: the record, or
  // (volume null) why it cannot be read. Nothing is kept, so thousands of
  // records cost no more memory than one. Fails only when the directory
  // cannot be listed.
  using RecordVisitor = std::function<void(std::string_view name, const Volume* volume, const QuarvoError* error)>;
  [[nodiscard]] Result<void> visit_each(const RecordVisitor& visit) const;

 private:
  QuarvoHome home_;
};

}  // namespace quarvo

#endif  // QUARVO_CORE_REGISTRY_HPP_
