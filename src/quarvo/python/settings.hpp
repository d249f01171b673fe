// quarvo/python/settings.hpp: a volume's settings across the boundary, and
// the autostart unit's helpers of the `quarvo` command.
//
//   q.configure("data", {"read-only": True, "cache-size": "1024", "subdir": None})
//   q.mount("data", "/mnt/data", settings={"read-only": True})   # this mount only
//
// A settings mapping takes str keys to str, bool or None (None unsets the
// key; at a mount, for that mount only).
#ifndef QUARVO_PYTHON_SETTINGS_HPP_
#define QUARVO_PYTHON_SETTINGS_HPP_

#include "quarvo/core/models.hpp"
#include "quarvo/core/paths.hpp"
#include "quarvo/juicefs/mount_options.hpp"
#include "quarvo/python/refs.hpp"

namespace quarvo::python {

// A mapping of settings (or None, or omitted: no changes); false with a
// TypeError naming `param` for anything else, a key that is no str or a
// value that is no str, bool or None.
[[nodiscard]] bool settings_arg(PyObject* value, const char* param, SettingChanges& out);

// A new dict of the settings: str keys to str or bool values.
[[nodiscard]] Ref settings_to_py(const VolumeSettings& settings);

// This home's autostart unit as inspect shows it: {"unit": its file,
// "name", "system", "installed"}, or None when no unit can be placed.
[[nodiscard]] Ref autostart_to_py(const QuarvoHome& home);

// Adds the command's autostart helpers and _SETTING_KEYS to the module,
// outside __all__. False with the error set.
[[nodiscard]] bool add_settings_functions(PyObject* module);

}  // namespace quarvo::python

#endif  // QUARVO_PYTHON_SETTINGS_HPP_
