// A volume's settings for Python, and the `quarvo autostart` helpers:
//
//   _SETTING_KEYS: tuple[str, ...]              # the keys a volume may set
//   def _check_settings(settings) -> None        # raises InvalidArgument for a bad one
//   def _autostart_unit() -> dict               # {"unit", "name", "system", "installed"}
//   def _autostart_write(command: list[str]) -> None
//   def _autostart_remove() -> bool             # False: there was none
//   def _autostart_text(command) -> str         # the unit file's text
//   def _autostart_line(command) -> str         # the line for a start-up of one's own
#include "quarvo/python/settings.hpp"

#include <string>
#include <utility>
#include <vector>

#include "quarvo/core/text.hpp"
#include "quarvo/python/conversions.hpp"
#include "quarvo/service/autostart.hpp"

namespace quarvo::python {
namespace {

bool setting_value_arg(PyObject* value, const char* param, std::optional<SettingValue>& out) {
  if (value == Py_None) {
    out.reset();
    return true;
  }
  if (PyBool_Check(value)) {
    out = SettingValue{value == Py_True};
    return true;
  }
  if (!PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "argument '%s' must map each setting to str, bool or None", param);
    return false;
  }
  std::string text;
  if (!text_arg(value, param, text)) return false;
  out = SettingValue{std::move(text)};
  return true;
}

// The words of a command: a list of str.
bool command_arg(PyObject* value, std::vector<std::string>& out) {
  if (!PyList_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "argument 'command' must be a list of str");
    return false;
  }
  for (Py_ssize_t i = 0; i < PyList_Size(value); ++i) {
    std::string word;
    if (!text_arg(PyList_GetItem(value, i), "command", word)) return false;
    out.push_back(std::move(word));
  }
  return true;
}

Result<QuarvoHome> home_and_unit(AutostartUnit& unit) {
  auto home = QuarvoHome::from_env();
  if (!home) return home;
  auto found = autostart_unit(*home);
  if (!found) return std::unexpected(std::move(found).error());
  unit = std::move(*found);
  return home;
}

Ref unit_to_py(const AutostartUnit& unit) {
  Ref out = Ref::steal(PyDict_New());
  const std::pair<const char*, Ref> items[] = {
      {"unit", text_to_py(path_text(unit.path))},
      {"name", text_to_py(unit.name)},
      {"system", bool_to_py(unit.system)},
      {"installed", bool_to_py(unit.installed)},
  };
  for (const auto& [key, value] : items) {
    if (!out || !value || PyDict_SetItemString(out.get(), key, value.get()) < 0) return Ref();
  }
  return out;
}

PyObject* autostart_unit_function(PyObject*, PyObject*) {
  return guarded([]() -> PyObject* {
    AutostartUnit unit;
    if (auto home = home_and_unit(unit); !home) return raise_quarvo_error(home.error());
    return unit_to_py(unit).release();
  });
}

// The functions taking a command: what each does with the home, the unit and it.
template <class Act>
PyObject* with_command(PyObject* command, Act&& act) {
  return guarded([&]() -> PyObject* {
    std::vector<std::string> words;
    if (!command_arg(command, words)) return nullptr;
    AutostartUnit unit;
    auto home = home_and_unit(unit);
    if (!home) return raise_quarvo_error(home.error());
    return act(*home, unit, words);
  });
}

PyObject* autostart_write_function(PyObject*, PyObject* command) {
  return with_command(command, [](const QuarvoHome& home, const AutostartUnit& unit, const auto& words) -> PyObject* {
    if (auto written = write_autostart_unit(home, unit, words); !written) return raise_quarvo_error(written.error());
    Py_RETURN_NONE;
  });
}

PyObject* autostart_text_function(PyObject*, PyObject* command) {
  return with_command(command, [](const QuarvoHome& home, const AutostartUnit& unit, const auto& words) -> PyObject* {
    auto text = autostart_unit_text(home, unit, words);
    if (!text) return raise_quarvo_error(text.error());
    return text_to_py(*text).release();
  });
}

PyObject* autostart_line_function(PyObject*, PyObject* command) {
  return with_command(command, [](const QuarvoHome& home, const AutostartUnit&, const auto& words) -> PyObject* {
    return text_to_py(autostart_line(home, words)).release();
  });
}

PyObject* autostart_remove_function(PyObject*, PyObject*) {
  return guarded([]() -> PyObject* {
    AutostartUnit unit;
    if (auto home = home_and_unit(unit); !home) return raise_quarvo_error(home.error());
    auto removed = remove_autostart_unit(unit);
    if (!removed) return raise_quarvo_error(removed.error());
    return bool_to_py(*removed).release();
  });
}

PyObject* check_settings_function(PyObject*, PyObject* settings) {
  return guarded([&]() -> PyObject* {
    SettingChanges changes;
    if (!settings_arg(settings, "settings", changes)) return nullptr;
    auto applied = apply_setting_changes({}, changes);
    if (!applied) return raise_quarvo_error(applied.error());
    Py_RETURN_NONE;
  });
}

PyMethodDef settings_functions[] = {
    {"_check_settings", check_settings_function, METH_O, "_check_settings($module, settings, /)\n--\n\n"},
    {"_autostart_unit", autostart_unit_function, METH_NOARGS, "_autostart_unit($module, /)\n--\n\n"},
    {"_autostart_write", autostart_write_function, METH_O, "_autostart_write($module, command, /)\n--\n\n"},
    {"_autostart_remove", autostart_remove_function, METH_NOARGS, "_autostart_remove($module, /)\n--\n\n"},
    {"_autostart_text", autostart_text_function, METH_O, "_autostart_text($module, command, /)\n--\n\n"},
    {"_autostart_line", autostart_line_function, METH_O, "_autostart_line($module, command, /)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},  // sentinel
};

}  // namespace

bool settings_arg(PyObject* value, const char* param, SettingChanges& out) {
  out.clear();
  if (value == nullptr || value == Py_None) return true;
  if (!PyMapping_Check(value) || PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "argument '%s' must be a mapping of settings or None", param);
    return false;
  }
  Ref items = Ref::steal(PyMapping_Items(value));
  if (!items) return false;
  for (Py_ssize_t i = 0; i < PyList_Size(items.get()); ++i) {
    PyObject* item = PyList_GetItem(items.get(), i);  // borrowed
    std::string key;
    std::optional<SettingValue> setting;
    if (!PyTuple_Check(item) || PyTuple_Size(item) != 2 || !text_arg(PyTuple_GetItem(item, 0), param, key) ||
        !setting_value_arg(PyTuple_GetItem(item, 1), param, setting)) {
      return false;
    }
    out.insert_or_assign(std::move(key), std::move(setting));
  }
  return true;
}

Ref settings_to_py(const VolumeSettings& settings) {
  Ref out = Ref::steal(PyDict_New());
  for (const auto& [key, value] : settings) {
    const auto* text = std::get_if<std::string>(&value);
    Ref item = text ? text_to_py(*text) : bool_to_py(std::get<bool>(value));
    if (!out || !item || PyDict_SetItemString(out.get(), key.c_str(), item.get()) < 0) return Ref();
  }
  return out;
}

Ref autostart_to_py(const QuarvoHome& home) {
  auto unit = autostart_unit(home);
  if (!unit) return Ref::newref(Py_None);
  return unit_to_py(*unit);
}

bool add_settings_functions(PyObject* module) {
  if (PyModule_AddFunctions(module, settings_functions) < 0) return false;
  const std::vector<std::string_view> keys = setting_keys();
  Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(keys.size())));
  if (!tuple) return false;
  for (size_t i = 0; i < keys.size(); ++i) {
    Ref key = text_to_py(keys[i]);
    if (!key) return false;
    PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), key.release());
  }
  return PyModule_AddObjectRef(module, "_SETTING_KEYS", tuple.get()) == 0;
}

}  // namespace quarvo::python
