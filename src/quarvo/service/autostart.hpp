// quarvo/service/autostart.hpp: the systemd unit that mounts a home's
// volumes again after a login or a reboot.
//
// One unit per home and user, named after the home (two homes of one user
// get two units): root's is a system unit in /etc/systemd/system, wanted by
// multi-user.target and ordered after network-online.target; anyone else's
// a user unit in $XDG_CONFIG_HOME/systemd/user (~/.config/systemd/user),
// wanted by default.target, which runs at login (at boot with lingering).
// It runs the given command (`quarvo mount --all ...`, by absolute path)
// with QUARVO_HOME set to the home and nothing else of the environment: no
// secret goes into it. Type=oneshot with RemainAfterExit: the unit is
// active once the command is done; KillMode=process: the mounts' daemons
// outlive the command, and stopping or disabling the unit ends none of
// them.
//
// Writing and removing the file is done here; asking systemd to enable,
// start or describe the unit is the caller's (the command line's) part.
//
//   auto unit = autostart_unit(home);                                   // name, path
//   QUARVO_TRY(write_autostart_unit(home, *unit, {"/usr/bin/python3", "-m", "quarvo", "mount", "--all"}));
#ifndef QUARVO_SERVICE_AUTOSTART_HPP_
#define QUARVO_SERVICE_AUTOSTART_HPP_

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "quarvo/core/error.hpp"
#include "quarvo/core/paths.hpp"

namespace quarvo {

// How long the unit's start may take at most before systemd ends the
// command (the mounts it made stay): every mount has a bound of its own;
// this one only ends a start that hangs past all of them.
inline constexpr std::chrono::minutes kAutostartStartBound{30};

struct AutostartUnit {
  std::string name;            // "quarvo-volumes-<16 hex digits>.service"
  std::filesystem::path path;  // the unit file
  bool system = false;         // root's system unit, else a user unit
  bool installed = false;      // the file is there
};

// This home's unit for the user running this process. Io when no directory
// for user units can be found (no XDG_CONFIG_HOME, no home directory).
[[nodiscard]] Result<AutostartUnit> autostart_unit(const QuarvoHome& home);

// The unit file's text for `command` (its first word an absolute path).
// InvalidArgument when the home or a word cannot go into a unit file (not
// UTF-8, or holding control characters).
[[nodiscard]] Result<std::string> autostart_unit_text(const QuarvoHome& home, const AutostartUnit& unit,
                                                      const std::vector<std::string>& command);

// The same command as one line of a POSIX shell, for a start-up of the
// user's own: QUARVO_HOME=HOME COMMAND..., quoted where needed.
[[nodiscard]] std::string autostart_line(const QuarvoHome& home, const std::vector<std::string>& command);

// Writes the unit file (mode 0644, replacing an older one whole), creating
// its directory. IoAt of what failed.
[[nodiscard]] Result<void> write_autostart_unit(const QuarvoHome& home, const AutostartUnit& unit,
                                                const std::vector<std::string>& command);

// Deletes the unit file; false when there was none.
[[nodiscard]] Result<bool> remove_autostart_unit(const AutostartUnit& unit);

}  // namespace quarvo

#endif  // QUARVO_SERVICE_AUTOSTART_HPP_
