// quarvo/service/step_points.hpp: the named points of the steps that change
// the kernel or the disk, where a test may stop the process.
//
// Mount, unmount, init and removal call `reach(name)` each time they have
// just completed a step; `step_hook`, when a test sets it, is called with
// that name, so a test can kill a child process it forked at exactly that
// point and check what the next call makes of it. The product never sets
// the hook; every name is in kStepPoints, in the order each call reaches
// them.
//
//   step_hook = [](std::string_view step) { if (step == "mount:started") ::raise(SIGKILL); };
#ifndef QUARVO_SERVICE_STEP_POINTS_HPP_
#define QUARVO_SERVICE_STEP_POINTS_HPP_

#include <string_view>

namespace quarvo {

// Every point, "CALL:STEP".
inline constexpr std::string_view kStepPoints[] = {
    "mount:intent",      // the record holds the mount's intent; nothing started
    "mount:started",     // the backend's mount process runs
    "mount:ready",       // its mount answers at the mountpoint
    "mount:checked",     // made private and verified; not yet recorded
    "unmount:intent",    // the record holds the unmount's intent; nothing done
    "unmount:detached",  // the mount is gone from the kernel's table; not yet recorded
    "init:intent",       // the record holds the name, with the init's intent
    "init:formatted",    // the backend formatted the volume; the intent not yet cleared
    "rm:checked",        // removal decided; nothing changed
    "rm:moved",          // the tombstone is in place
    "rm:unlinked",       // the record is gone
    "rm:cleaned",        // caches and logs are gone
};

// For tests only: called with each point reached.
extern void (*step_hook)(std::string_view step);

// Calls the hook, when set, with `step` (one of kStepPoints).
void reach(std::string_view step);

}  // namespace quarvo

#endif  // QUARVO_SERVICE_STEP_POINTS_HPP_
