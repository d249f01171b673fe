// quarvo/core/processes.hpp: the processes of this machine, as /proc shows
// them.
//
// A process may end at any moment, also while one of its files is read: a
// file of a process that vanished reads as nothing (nullopt, an empty list),
// never as an error or an exception.
//
// An owner names the process carrying out a step as "PID:START", START being
// field 22 of /proc/PID/stat (when it started, in clock ticks after boot), so
// that a later process given the same pid cannot pass for it.
//
//   const std::string me = own_owner();            // "5150:987654"
//   if (!owner_alive(intent.owner)) ...            // gone, or its pid reused
//   auto line = command_line(pid);                 // "juicefs mount sqlite3:///m.db /mnt --log ..."
#ifndef QUARVO_CORE_PROCESSES_HPP_
#define QUARVO_CORE_PROCESSES_HPP_

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quarvo {

// When process `pid` started (field 22 of its stat); nullopt once it is gone.
[[nodiscard]] std::optional<std::uint64_t> process_start(pid_t pid);

// "PID:START" of this process.
[[nodiscard]] std::string own_owner();
// The pid of an owner text; nullopt for a text of another form.
[[nodiscard]] std::optional<pid_t> owner_pid(std::string_view owner);
// Whether `owner` names a process that runs now: its pid lives, is no
// zombie and started at START. False for a text of another form.
[[nodiscard]] bool owner_alive(std::string_view owner);

// Whether `pid` has ended: gone, or a zombie whose parent has not reaped it
// yet (its work is done).
[[nodiscard]] bool process_gone(pid_t pid);

// The command line of `pid`, its arguments parted by single spaces (a
// program that rewrote its own shows it as written, which may already be
// parted by spaces); nullopt when there is none to read (the process is
// gone or a zombie, a kernel thread, or not ours to look at).
[[nodiscard]] std::optional<std::string> command_line(pid_t pid);

// The parent of `pid` (field 4 of its stat); nullopt once it is gone.
[[nodiscard]] std::optional<pid_t> parent_pid(pid_t pid);

// The paths of the files `pid` has open, as /proc shows them (a deleted
// file's path ends in " (deleted)"); empty once it is gone.
[[nodiscard]] std::vector<std::filesystem::path> open_files(pid_t pid);

// Every process id /proc lists now, in no order.
[[nodiscard]] std::vector<pid_t> process_ids();

// The descriptors, of any process this one may look into, open for writing
// on a file whose path /proc shows under `dir` ("DIR/..."): each as
// "/proc/PID/fd/N", which opens that same file again. Nothing under `dir` is
// touched: the paths come from /proc alone.
[[nodiscard]] std::vector<std::filesystem::path> writers_under(const std::filesystem::path& dir);

}  // namespace quarvo

#endif  // QUARVO_CORE_PROCESSES_HPP_
