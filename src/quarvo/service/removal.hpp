// quarvo/service/removal.hpp: the end of a volume's life.
//
// Removing a volume (Quarvo::remove, in service.hpp) deletes more than its
// record: a development volume's metadata and objects under dev/NAME, the
// block cache the backend keeps outside the home, the volume's logs (see
// volume_files.hpp). The removal of a development volume is crash-safe in
// this order:
//
//   1. dev/NAME is renamed to the tombstone dev/.removing~NAME~TOKEN (a
//      name no volume can have: '~' breaks the name rule; TOKEN, the digits
//      of the record's created_at, tells this record from a volume made
//      again under the name), and the list of the volume's cache
//      directories is written into it;
//   2. the record is unlinked (the commit point);
//   3. the caches, the logs and the tombstone are deleted.
//
// A removal killed at any point leaves the volume with its record and its
// data (in dev/NAME or in the tombstone), or no record; `finish_removals`,
// run by every removal and by prune, puts a tombstone whose record still
// exists back in place and deletes the others with the caches they list
// (a tombstone of an earlier record of the name too, leaving the new
// volume's logs). So
// a record never points at deleted data, and `init --dev NAME` after a
// removal always starts with an empty volume.
#ifndef QUARVO_SERVICE_REMOVAL_HPP_
#define QUARVO_SERVICE_REMOVAL_HPP_

#include <string>
#include <string_view>
#include <vector>

#include "quarvo/core/deadline.hpp"
#include "quarvo/core/error.hpp"
#include "quarvo/core/registry.hpp"

namespace quarvo {

// Completes removals that were interrupted: a tombstone whose record still
// exists goes back to dev/NAME; every other tombstone is deleted with the
// caches it lists and the volume's logs. Takes the registry lock within
// `limits`. Returns the names it completed or put back.
[[nodiscard]] Result<std::vector<std::string>> finish_removals(const Registry& registry, const WaitLimits& limits);

}  // namespace quarvo

#endif  // QUARVO_SERVICE_REMOVAL_HPP_
