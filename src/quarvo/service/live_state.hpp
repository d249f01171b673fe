// quarvo/service/live_state.hpp: whether recorded mounts are really there.
//
// A record only says where a volume was mounted; the kernel's mount table and
// the mount's own answer say whether it still is. `check_mounts` reads the
// table once and asks every recorded mount at the same time, under one bound
// for all of them: a mount whose server hangs costs the bound once, however
// many there are, and never hangs the caller. `volume_states` does the same
// for the records of a home and keeps a record that cannot be read as an
// entry of its own instead of failing the listing.
//
//   auto checks = check_mounts({{"data", "/mnt/data"}}, kLiveStateBound);
//   if (checks[0].state == LiveState::Stale) ...   // the daemon died
//
//   auto states = volume_states(Registry(home), std::nullopt, kLiveStateBound);
//   for (const VolumeState& s : *states) if (!s.volume) ... s.volume.error() ...
//
// Nothing here needs the backend program.
#ifndef QUARVO_SERVICE_LIVE_STATE_HPP_
#define QUARVO_SERVICE_LIVE_STATE_HPP_

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quarvo/core/error.hpp"
#include "quarvo/core/models.hpp"
#include "quarvo/core/registry.hpp"

namespace quarvo {

// LiveState: what is at a volume's recorded mountpoint.
enum class LiveState {
  NotRecorded,   // the record names no mountpoint
  Mounted,       // the table shows this volume on top there and its root answers
  Stale,         // the table shows this volume but its root fails with ENOTCONN (the daemon died)
  Unresponsive,  // no answer within the bound
  NotMounted,    // a mountpoint is recorded but nothing is mounted there
  Foreign,       // another file system is on top at the recorded path
};

// Every state but NotRecorded, in the order above.
inline constexpr LiveState kRecordedStates[] = {LiveState::Mounted, LiveState::Stale, LiveState::Unresponsive,
                                                LiveState::NotMounted, LiveState::Foreign};

// The word the system shows for a state: "mounted", "stale", "unresponsive",
// "not mounted", "foreign"; empty for NotRecorded.
[[nodiscard]] std::string_view live_state_name(LiveState state);

// Whether the volume is served at its recorded mountpoint: its mount
// answered, or may answer yet (Mounted, Unresponsive). Another mount of it
// elsewhere is refused while this holds.
[[nodiscard]] bool is_served(LiveState state);
// Whether its own mount still holds the path, served or not (also Stale:
// the daemon died, the kernel's mount stays): what removal refuses unless
// forced, and unmounts first when forced.
[[nodiscard]] bool is_live(LiveState state);

// MountCheck: the outcome for one mountpoint.
struct MountCheck {
  LiveState state = LiveState::NotRecorded;
  std::string found_source;  // Foreign: the source of what is on top ("tmpfs", "JuiceFS:other")

  bool operator==(const MountCheck&) const = default;
};

// How long status waits for mounts to answer.
inline constexpr std::chrono::milliseconds kLiveStateBound{1000};

// One check per (volume name, recorded mountpoint), in the same order. The
// path is made canonical first (a record may predate canonical paths); the
// table's entry on top there decides NotMounted and Foreign, and a mount of
// this volume has its root asked for fresh attributes, which its server must
// answer. Every check runs on a worker thread and all share one deadline
// `bound` from the call; a worker still waiting then is left behind (it owns
// copies of what it uses and ends whenever the kernel lets it) and its mount
// is Unresponsive. A mount that a check left behind on an earlier call is
// still waiting on is Unresponsive at once, so one hung mount holds at most
// one thread. Without a readable table, a mount whose root answers counts as
// Mounted, one failing with ENOTCONN as Stale, any other failure NotMounted.
[[nodiscard]] std::vector<MountCheck> check_mounts(
    const std::vector<std::pair<std::string /*name*/, std::filesystem::path>>& mounts, std::chrono::milliseconds bound);

// VolumeState: one record of the registry with the live state of its mount.
struct VolumeState {
  std::string name;                      // the record's volume name; the file's stem when it cannot be read
  std::filesystem::path record;          // the record file
  Result<VolumeInfo> volume;             // the error when the record cannot be read
  MountCheck check;                      // NotRecorded when unreadable or no mountpoint is recorded
  std::optional<VolumeIntent> intent{};  // a step under way or interrupted (intents.hpp)
  bool intent_live = false;              // its owner still runs

  // The word status shows: the intent's (intent_state_word) when there is
  // one, else the check's (live_state_name); empty for none.
  [[nodiscard]] std::string_view state_word() const;
};

// Every record (no name) in the registry's order, or the one named, each
// with its live state, all mounts checked together under `bound`. One
// unreadable record is an entry with its error, never a failure of the
// whole; the call fails only when the registry itself cannot be listed, or
// for a name that is invalid (InvalidVolumeName) or has no record
// (VolumeNotFound).
[[nodiscard]] Result<std::vector<VolumeState>> volume_states(const Registry& registry,
                                                             const std::optional<std::string>& name,
                                                             std::chrono::milliseconds bound);

}  // namespace quarvo

#endif  // QUARVO_SERVICE_LIVE_STATE_HPP_
