#include "quarvo/service/mount_paths.hpp"

#include <algorithm>
#include <system_error>
#include <utility>

#include "quarvo/core/text.hpp"
#include "quarvo/service/volume_files.hpp"

namespace quarvo {
namespace {

namespace fs = std::filesystem;

// `path` with the symbolic links of its existing part resolved, and "." and
// ".." taken out; as it is when that cannot be done.
fs::path resolved(const fs::path& path) {
  std::error_code ec;
  fs::path out = fs::weakly_canonical(path, ec);
  return ec ? path.lexically_normal() : out;
}

// Whether `inner` is `outer` or lies under it, component by component.
bool within(const fs::path& inner, const fs::path& outer) {
  auto i = inner.begin();
  for (auto o = outer.begin(); o != outer.end(); ++o, ++i) {
    if (o->empty()) continue;  // a trailing separator
    if (i == inner.end() || *i != *o) return false;
  }
  return true;
}

}  // namespace

std::vector<AvoidedPlace> places_to_avoid(const QuarvoHome& home, const std::vector<Volume>& volumes) {
  std::vector<AvoidedPlace> places{{resolved(home.root()), "the Quarvo home"}};
  for (const Volume& v : volumes) {
    for (const fs::path& cache : v.cache_dirs) {
      if (cache.is_absolute()) places.push_back({resolved(cache), "the block cache of volume " + quote(v.name)});
    }
    if (v.storage != "file" || v.bucket.empty() || !fs::path(v.bucket).is_absolute()) continue;
    places.push_back({resolved(v.bucket), "the data of volume " + quote(v.name)});
  }
  if (auto cache = default_cache_base()) places.push_back({resolved(*cache), "the block cache directory"});
  return places;
}

Result<void> check_mount_path(const fs::path& mountpoint, const std::vector<AvoidedPlace>& places) {
  const std::string shown = escape_unprintable(mountpoint.native());
  const fs::path at = resolved(mountpoint);
  if (!is_valid_utf8(mountpoint.native()) || !is_valid_utf8(at.native())) {
    const std::string also = at == mountpoint ? "" : " (" + escape_unprintable(at.native()) + ")";
    return std::unexpected(QuarvoError::invalid_argument(
        "the mountpoint " + shown + also + " is not valid UTF-8: the storage backend would mount at another path",
        mountpoint));
  }
  for (const AvoidedPlace& place : places) {
    const std::string where = escape_unprintable(place.path.native());
    if (within(at, place.path)) {
      return std::unexpected(QuarvoError::invalid_argument(
          "cannot mount at " + shown + ": it is inside " + place.what + " (" + where + ")", mountpoint));
    }
    if (within(place.path, at)) {
      return std::unexpected(QuarvoError::invalid_argument(
          "cannot mount at " + shown + ": the mount would hide " + place.what + " (" + where + ")", mountpoint));
    }
  }
  return {};
}

Result<void> check_mount_path(const Registry& registry, const fs::path& requested) {
  if (requested.empty() || requested.native().find('\0') != std::string::npos) return {};
  fs::path absolute = requested;
  if (!absolute.is_absolute()) {
    std::error_code ec;
    absolute = fs::current_path(ec) / requested;
    if (ec) return std::unexpected(QuarvoError::io_errno(ec.value()));
  }
  std::vector<Volume> volumes;
  QUARVO_TRY(registry.visit_each([&](std::string_view, const Volume* volume, const QuarvoError*) {
    if (volume != nullptr) volumes.push_back(*volume);
  }));
  return check_mount_path(absolute, places_to_avoid(registry.home(), volumes));
}

}  // namespace quarvo
