// quarvo/service/intents.hpp: steps written ahead in the record, so that a
// call killed at any moment leaves something the next call can finish or
// undo.
//
// Mount, unmount and init write the record's [intent] (models.hpp) before
// they change the kernel or the disk, under the registry lock, and clear it
// in the record write that ends them:
//
//   step       written before                       cleared with
//   "mount"    the backend's mount starts (the      the mountpoint and pids found
//              lock is then released while it runs)
//   "unmount"  the backend's (or kernel's) unmount  the mountpoint cleared
//   "init"     the dev directories and the format   the finished record
//
// An intent whose owner ("PID:START") runs is a call at work: every other
// call that would change the volume is VolumeBusy naming that process (it
// does not wait). One whose owner is gone was interrupted, and the next call
// that touches the volume (mount, unmount, rm, init or ensure_volume of its
// name, prune) settles it first (Quarvo::settle_intent):
//
//   - mount: a mount of the volume at the intent's mountpoint that answers
//     is adopted (the record takes the mountpoint and the pids its .config
//     names); otherwise whatever was started is taken down: the daemons of
//     the volume mounting there ended (supervisor first; their
//     /tmp/fuse_fd_comm.PID files go with them), a mount of it there
//     detached by the kernel;
//   - unmount: finished (the backend's forced unmount of a live mount, the
//     kernel's of a dead one; the daemons waited for, then ended) and the
//     mountpoint cleared;
//   - init: undone, whether or not the format completed: the record goes,
//     and a development volume's directory (its metadata and objects) with
//     it. A shared volume's engine may keep what a completed format wrote;
//     the next init of the name formats it again, which the backend accepts.
//   - any other step (of a newer Quarvo): the intent is cleared, with a note.
//
// Status and volume_states change nothing: they show the intent (the state
// word of intent_state_word, and the intent itself in `status --json`).
#ifndef QUARVO_SERVICE_INTENTS_HPP_
#define QUARVO_SERVICE_INTENTS_HPP_

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "quarvo/core/error.hpp"
#include "quarvo/core/models.hpp"

namespace quarvo {

// The steps the service writes ahead.
inline constexpr std::string_view kMountStep = "mount";
inline constexpr std::string_view kUnmountStep = "unmount";
inline constexpr std::string_view kInitStep = "init";

// An intent of this process, begun now.
[[nodiscard]] VolumeIntent begin_intent(std::string_view step, std::optional<std::filesystem::path> mountpoint);

// Whether the process carrying out `intent` still runs (its pid lives and
// started when the owner says). An empty or malformed owner is gone.
[[nodiscard]] bool intent_live(const VolumeIntent& intent);

// The state word status shows for a volume with `intent`: "mounting",
// "unmounting", "creating" (or the step's own word) while its owner runs,
// "interrupted" once it is gone.
[[nodiscard]] std::string_view intent_state_word(const VolumeIntent& intent, bool live);

// VolumeBusy for a volume whose intent's owner runs, naming the process.
[[nodiscard]] QuarvoError busy_with(const Volume& volume);

}  // namespace quarvo

#endif  // QUARVO_SERVICE_INTENTS_HPP_
