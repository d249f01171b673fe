// What the `quarvo` command asks of the native side, so that every fact it
// shows has one owner here (a message, the masking rule, the configuration):
//
//   _mask_url(url: str) -> str            # a URL with its passwords as "****"
//   _mask_secrets(text: str) -> str       # every URL in a text masked so
//   _mask_log(data: bytes, metadata_url: str | None = None) -> bytes
//                                         # what the backend wrote, every URL and the
//                                         # password of `metadata_url` masked
//   _error(kind: str, *values) -> QuarvoError
//                                         # the error of a kind, to raise: its fields
//                                         # from the values, in the table's order
//   _error_kinds() -> dict[str, tuple[str, ...]]
//                                         # every kind with its fields
//   _storage_backend_version(path: str) -> str | None
//                                         # what `path version` tells, None if nothing;
//                                         # UnsafePath when another user could change it
//   _command_timeout() -> float | None    # seconds from QUARVO_COMMAND_TIMEOUT or config.toml
//   _status_text(name=None, json=False, show_secrets=False, colour=False, *, fd=-1)
//       -> tuple[bytes | None, str, bool] # what `quarvo status` prints: standard
//                                         # output (UTF-8; written to fd when
//                                         # given, then None), standard error,
//                                         # whether a record is broken
//   _table(headers: list[str], rows: list[list[str]]) -> str
//                                         # an aligned table, cells escaped
//   _escaped(text: str) -> str            # what Python would not print, escaped
//   _managed_storage_backend() -> str     # where `doctor --install` puts the backend
//                                         # (the home's layout made first)
//   _volume_names() -> list[str]          # the home's volume names, no record read
//                                         # (what shell completion offers)
//   _check_mountpoint(path: str) -> None  # what mount says of a path that cannot
//                                         # work, raised before anything runs
//
//   _INSTALL_ADVICE: str                  # how to get a storage backend program
//   _DEFAULT_COMMAND_TIMEOUT: float       # the command's bound in seconds when none is set
//   _BACKEND_NAME_RULE: str               # the backend's rule for new volume names, in words
//   _SERVED_STATES, _LIVE_STATES: tuple[str, ...]
//                                         # the VolumeState.state words that count as served
//                                         # (mounted, unresponsive), or as live (also stale)
//
// They are module attributes outside __all__: not part of the library.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quarvo/cli/status_text.hpp"
#include "quarvo/cli/table.hpp"
#include "quarvo/cli/texts.hpp"
#include "quarvo/core/config.hpp"
#include "quarvo/core/paths.hpp"
#include "quarvo/core/registry.hpp"
#include "quarvo/core/secrets.hpp"
#include "quarvo/core/text.hpp"
#include "quarvo/core/trust.hpp"
#include "quarvo/core/validation.hpp"
#include "quarvo/juicefs/doctor.hpp"
#include "quarvo/python/classes.hpp"
#include "quarvo/python/conversions.hpp"
#include "quarvo/python/instance.hpp"
#include "quarvo/python/released.hpp"
#include "quarvo/service/mount_paths.hpp"

namespace quarvo::python {
namespace {

PyObject* mask_url_function(PyObject*, PyObject* arg) {
  return guarded([&]() -> PyObject* {
    std::string text;
    if (!text_arg(arg, "url", text)) return nullptr;
    return text_to_py(mask_url(text)).release();
  });
}

PyObject* mask_secrets_function(PyObject*, PyObject* arg) {
  return guarded([&]() -> PyObject* {
    std::string text;
    if (!text_arg(arg, "text", text)) return nullptr;
    return text_to_py(mask_secrets(text)).release();
  });
}

PyObject* mask_log_function(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    const char* data = nullptr;
    Py_ssize_t size = 0;
    PyObject* url = Py_None;
    if (!PyArg_ParseTuple(args, "y#|O:_mask_log", &data, &size, &url)) return nullptr;
    std::optional<std::string> metadata_url;
    if (!optional_text_arg(url, "metadata_url", metadata_url)) return nullptr;
    const std::string secret = metadata_url ? split_metadata_password(*metadata_url).password : std::string();
    const std::string masked = mask_output(std::string_view(data, static_cast<std::size_t>(size)), secret);
    return PyBytes_FromStringAndSize(masked.data(), static_cast<Py_ssize_t>(masked.size()));
  });
}

PyObject* error_function(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* { return quarvo_error_from_values(args).release(); });
}

PyObject* error_kinds_function(PyObject*, PyObject*) {
  return guarded([&]() -> PyObject* { return error_kinds_to_py().release(); });
}

PyObject* storage_backend_version_function(PyObject*, PyObject* arg) {
  return guarded([&]() -> PyObject* {
    std::string path;
    if (!text_arg(arg, "path", path)) return nullptr;
    if (Result<void> trusted = check_program(path, false); !trusted) return raise_quarvo_error(trusted.error());
    const std::optional<std::string> version = without_gil(
        [&](const Cancel& cancel) { return storage_backend_version(path, WaitLimits::within(kVersionBound, cancel)); });
    if (PyErr_Occurred() != nullptr) return nullptr;  // Ctrl-C while it ran
    return optional_text_to_py(version).release();
  });
}

PyObject* command_timeout_function(PyObject*, PyObject*) {
  return guarded([&]() -> PyObject* {
    auto home = QuarvoHome::from_env();
    if (!home) return raise_quarvo_error(home.error());
    auto config = Config::load(*home);
    if (!config) return raise_quarvo_error(config.error());
    if (!config->command_timeout) Py_RETURN_NONE;
    return PyFloat_FromDouble(static_cast<double>(config->command_timeout->count()) / 1000.0);
  });
}

// Writes all of `data` to `fd`; 0 or the errno. A pipe takes a large
// listing in 1 MiB pieces (what any user may ask), not sixteen pages at a
// time, so the command waits less on its reader. A signal that interrupts
// the write is heard through `cancel` (Ctrl-C on a reader that stopped).
int write_listing(int fd, std::string_view data, const Cancel& cancel) {
  struct stat st{};
  if (data.size() > 65536 && ::fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode)) {
    (void)::fcntl(fd, F_SETPIPE_SZ, static_cast<int>(std::min<std::size_t>(data.size(), std::size_t{1} << 20)));
  }
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR && !cancel.requested()) continue;
      return errno;
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return 0;
}

PyObject* status_text_function(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"name", "json", "show_secrets", "colour", "fd", nullptr};
    PyObject *name = nullptr, *json = nullptr, *show_secrets = nullptr, *colour = nullptr;
    int fd = -1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OOOO$i:_status_text", const_cast<char**>(keywords), &name, &json,
                                     &show_secrets, &colour, &fd)) {
      return nullptr;
    }
    std::optional<std::string> volume;
    StatusTextOptions options;
    if (!optional_text_arg(name, "name", volume) || !bool_arg(json, "json", options.json) ||
        !bool_arg(show_secrets, "show_secrets", options.show_secrets) || !bool_arg(colour, "colour", options.colour)) {
      return nullptr;
    }
    options.named = volume.has_value();
    Result<QuarvoHome> home = QuarvoHome::from_env();
    if (!home) return raise_quarvo_error(home.error());
    // Listed, written and (given `fd`) printed without the interpreter lock:
    // at thousands of volumes this is the whole of the command's work.
    int write_error = 0;
    Result<StatusText> text = without_gil([&](const Cancel& cancel) {
      Result<StatusText> t = status_text(Registry(*home), volume, kLiveStateBound, options);
      if (t && fd >= 0) {
        write_error = write_listing(fd, t->out, cancel);
        t->out.clear();
      }
      return t;
    });
    return finish(std::move(text), [&](StatusText&& t) -> PyObject* {
      if (write_error != 0) {
        errno = write_error;
        return PyErr_SetFromErrno(PyExc_OSError);  // BrokenPipeError when the reader left
      }
      Ref out = fd >= 0 ? Ref::newref(Py_None)
                        : Ref::steal(PyBytes_FromStringAndSize(t.out.data(), static_cast<Py_ssize_t>(t.out.size())));
      Ref err = out ? text_to_py(t.err) : Ref();
      if (!err) return nullptr;
      return PyTuple_Pack(3, out.get(), err.get(), t.broken ? Py_True : Py_False);
    });
  });
}

// A list (or tuple) of str, as a vector.
bool texts_arg(PyObject* value, const char* param, std::vector<std::string>& out) {
  Ref items = Ref::steal(PySequence_Fast(value, "_table() needs lists of str"));
  if (!items) return false;
  const Py_ssize_t count = PySequence_Size(items.get());
  out.resize(static_cast<std::size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    Ref item = Ref::steal(PySequence_GetItem(items.get(), i));
    if (!item || !text_arg(item.get(), param, out[static_cast<std::size_t>(i)])) return false;
  }
  return true;
}

PyObject* table_function(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject *headers_arg = nullptr, *rows_arg = nullptr;
    if (!PyArg_ParseTuple(args, "OO:_table", &headers_arg, &rows_arg)) return nullptr;
    std::vector<std::string> headers;
    std::vector<std::vector<std::string>> rows;
    if (!texts_arg(headers_arg, "headers", headers)) return nullptr;
    Ref row_items = Ref::steal(PySequence_Fast(rows_arg, "_table() needs lists of str"));
    if (!row_items) return nullptr;
    rows.resize(static_cast<std::size_t>(PySequence_Size(row_items.get())));
    for (std::size_t i = 0; i < rows.size(); ++i) {
      Ref row = Ref::steal(PySequence_GetItem(row_items.get(), static_cast<Py_ssize_t>(i)));
      if (!row || !texts_arg(row.get(), "rows", rows[i])) return nullptr;
    }
    return text_to_py(render_table(headers, rows)).release();
  });
}

PyObject* escaped_function(PyObject*, PyObject* arg) {
  return guarded([&]() -> PyObject* {
    std::string text;
    if (!text_arg(arg, "text", text)) return nullptr;
    return text_to_py(escape_unprintable(text)).release();
  });
}

PyObject* managed_storage_backend_function(PyObject*, PyObject*) {
  return guarded([&]() -> PyObject* {
    Result<QuarvoHome> home = QuarvoHome::from_env();
    if (!home) return raise_quarvo_error(home.error());
    if (Result<void> made = home->ensure_layout(); !made) return raise_quarvo_error(made.error());
    return text_to_py(path_text(home->managed_storage_backend_bin())).release();
  });
}

PyObject* check_mountpoint_function(PyObject*, PyObject* arg) {
  return guarded([&]() -> PyObject* {
    std::string path;
    if (!path_arg(arg, "path", path)) return nullptr;
    Result<QuarvoHome> home = QuarvoHome::from_env();
    if (!home) return raise_quarvo_error(home.error());
    if (Result<void> ok = check_mount_path(Registry(std::move(*home)), path); !ok) {
      return raise_quarvo_error(ok.error());
    }
    return Py_NewRef(Py_None);
  });
}

// The words of the states `holds` is true for, in the order they are declared.
Ref state_names(bool (*holds)(LiveState)) {
  std::vector<Ref> names;
  for (const LiveState state : kRecordedStates) {
    if (holds(state)) names.push_back(text_to_py(live_state_name(state)));
  }
  Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
  for (std::size_t i = 0; tuple && i < names.size(); ++i) {
    if (!names[i]) return Ref();
    // PyTuple_SetItem takes the reference.
    PyTuple_SetItem(tuple.get(), static_cast<Py_ssize_t>(i), names[i].release());
  }
  return tuple;
}

// The texts and defaults of cli/texts.hpp and of the rules the command
// shows, as module attributes.
bool add_cli_texts(PyObject* module) {
  const double timeout = std::chrono::duration<double>(kDefaultCommandTimeout).count();
  const std::pair<const char*, Ref> attributes[] = {
      {"_INSTALL_ADVICE", text_to_py(kInstallAdvice)},
      {"_DEFAULT_COMMAND_TIMEOUT", Ref::steal(PyFloat_FromDouble(timeout))},
      {"_BACKEND_NAME_RULE", text_to_py(kBackendVolumeNameRule)},
      {"_SERVED_STATES", state_names(is_served)},
      {"_LIVE_STATES", state_names(is_live)},
  };
  for (const auto& [name, value] : attributes) {
    if (!value || PyModule_AddObjectRef(module, name, value.get()) < 0) return false;
  }
  return true;
}

PyObject* volume_names_function(PyObject*, PyObject*) {
  return guarded([&]() -> PyObject* {
    Result<QuarvoHome> home = QuarvoHome::from_env();
    if (!home) return raise_quarvo_error(home.error());
    Result<std::vector<std::string>> names = Registry(*home).names();
    if (!names) return raise_quarvo_error(names.error());
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(names->size())));
    for (std::size_t i = 0; list && i < names->size(); ++i) {
      Ref name = text_to_py((*names)[i]);
      // PyList_SetItem takes the reference even when it fails.
      if (!name || PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), name.release()) < 0) return nullptr;
    }
    return list.release();
  });
}

PyMethodDef cli_support_defs[] = {
    {"_mask_url", mask_url_function, METH_O, "_mask_url($module, url, /)\n--\n\n"},
    {"_mask_secrets", mask_secrets_function, METH_O, "_mask_secrets($module, text, /)\n--\n\n"},
    {"_mask_log", mask_log_function, METH_VARARGS, "_mask_log($module, data, metadata_url=None, /)\n--\n\n"},
    {"_error", error_function, METH_VARARGS, "_error($module, kind, /, *values)\n--\n\n"},
    {"_error_kinds", error_kinds_function, METH_NOARGS, "_error_kinds($module, /)\n--\n\n"},
    {"_storage_backend_version", storage_backend_version_function, METH_O,
     "_storage_backend_version($module, path, /)\n--\n\n"},
    {"_command_timeout", command_timeout_function, METH_NOARGS, "_command_timeout($module, /)\n--\n\n"},
    {"_status_text", method_function(status_text_function), METH_VARARGS | METH_KEYWORDS,
     "_status_text($module, /, name=None, json=False, show_secrets=False, colour=False, *, fd=-1)\n--\n\n"},
    {"_table", table_function, METH_VARARGS, "_table($module, headers, rows, /)\n--\n\n"},
    {"_escaped", escaped_function, METH_O, "_escaped($module, text, /)\n--\n\n"},
    {"_managed_storage_backend", managed_storage_backend_function, METH_NOARGS,
     "_managed_storage_backend($module, /)\n--\n\n"},
    {"_volume_names", volume_names_function, METH_NOARGS, "_volume_names($module, /)\n--\n\n"},
    {"_check_mountpoint", check_mountpoint_function, METH_O, "_check_mountpoint($module, path, /)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},  // sentinel
};

}  // namespace

bool add_cli_support(PyObject* module) {
  return PyModule_AddFunctions(module, cli_support_defs) == 0 && add_cli_texts(module);
}

}  // namespace quarvo::python
