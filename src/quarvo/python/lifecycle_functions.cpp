// Module functions of quarvo._native for a volume's life, beside __all__.
// None of them needs a backend program, unless it says so:
//
//   def inspect(name, *, backend=True, timeout=None) -> dict:
//       """Everything known about one volume (keys below); with `backend`
//       the backend's status too, when a backend program is installed,
//       within `timeout` seconds (None: the configured command timeout)."""
//
//   def check_new_volume_name(name) -> None:
//       """Raises QuarvoError (invalid volume name) unless the storage
//       backend accepts `name` for a new volume."""
//
//   def diagnose() -> dict:
//       """doctor()'s dictionary plus "config_error": the message of a
//       config.toml that cannot be read (None when it can), and
//       "unsafe_backend": why the program found is not run (None when
//       nothing is wrong with it)."""
//
//   def finish_removals() -> list[str]:
//       """Completes removals that were killed; the names it completed."""
//
// inspect's dictionary, every key always present:
//   {"name", "record": path of the record file, "error": why the record
//    cannot be read or None, "volume": {"name", "backend", "metadata_url",
//    "storage", "bucket", "dev", "mountpoint", "created_at", "updated_at"} or
//    None, "state", "found" (as VolumeState), "access": who may reach the
//    mount, {"allow_other", "owner", "mode" ("0700"), "who": in words}, or
//    None when it is not mounted, "log", "log_bytes" (None: no
//    log yet), "old_log" (None unless a rotated log exists), "dev_paths":
//    {"directory", "metadata", "objects"} or None, "cache_dirs": [...],
//    "backend": {"name", "uuid", "storage", "bucket", "used_bytes",
//    "used_inodes", "sessions": [{"host", "mountpoint"}]} or None,
//    "backend_error": why there is no "backend" (None when it was not asked),
//    "cache_dir": where its mounts keep their cache (None until the UUID is
//    known), "cache_bytes": what "cache_dirs" take on disk, "settings": the
//    record's settings or None, "daemon": {"pid", "supervisor_pid",
//    "metrics", "read_only"} of a mounted volume or None, "autostart":
//    {"unit", "name", "system", "installed"} of the home or None,
//    "backend_reason": what the backend itself said of "backend_error", or None}
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "quarvo/core/paths.hpp"
#include "quarvo/core/text.hpp"
#include "quarvo/core/trust.hpp"
#include "quarvo/core/validation.hpp"
#include "quarvo/juicefs/doctor.hpp"
#include "quarvo/python/classes.hpp"
#include "quarvo/python/conversions.hpp"
#include "quarvo/python/instance.hpp"
#include "quarvo/python/released.hpp"
#include "quarvo/python/settings.hpp"
#include "quarvo/service/inspection.hpp"
#include "quarvo/service/intents.hpp"
#include "quarvo/service/removal.hpp"
#include "quarvo/service/service.hpp"

namespace quarvo::python {
namespace {

// Builds a dict key by key; the first failure sticks (the error stays set)
// and release() then gives NULL.
class DictBuilder {
 public:
  DictBuilder() : dict_(Ref::steal(PyDict_New())) {}

  DictBuilder& set(const char* key, Ref value) {
    if (dict_ && (!value || PyDict_SetItemString(dict_.get(), key, value.get()) < 0)) dict_ = Ref();
    return *this;
  }
  DictBuilder& text(const char* key, std::string_view value) { return set(key, text_to_py(value)); }
  DictBuilder& path(const char* key, const std::filesystem::path& value) { return text(key, path_text(value)); }
  DictBuilder& optional_text(const char* key, const std::optional<std::string>& value) {
    return set(key, optional_text_to_py(value));
  }
  DictBuilder& optional_number(const char* key, const std::optional<std::uintmax_t>& value) {
    if (!value) return set(key, Ref::newref(Py_None));
    return set(key, Ref::steal(PyLong_FromUnsignedLongLong(*value)));
  }
  DictBuilder& none(const char* key) { return set(key, Ref::newref(Py_None)); }

  Ref release() { return std::move(dict_); }

 private:
  Ref dict_;  // empty once something failed
};

std::optional<std::string> optional_path(const std::optional<std::filesystem::path>& path) {
  if (!path) return std::nullopt;
  return path_text(*path);
}

Ref list_of(std::vector<Ref> items) {
  Ref list = Ref::steal(PyList_New(0));
  for (Ref& item : items) {
    if (!list || !item || PyList_Append(list.get(), item.get()) < 0) return Ref();
  }
  return list;
}

Ref volume_to_py(const Volume& v) {
  return DictBuilder()
      .text("name", v.name)
      .text("backend", v.backend)
      .text("metadata_url", v.metadata_url)
      .text("storage", v.storage)
      .text("bucket", v.bucket)
      .set("dev", bool_to_py(v.dev))
      .optional_text("mountpoint", optional_path(v.mountpoint))
      .text("created_at", v.created_at)
      .text("updated_at", v.updated_at)
      .release();
}

Ref backend_to_py(const BackendStatus& status) {
  std::vector<Ref> sessions;
  for (const BackendSession& s : status.sessions) {
    sessions.push_back(DictBuilder().text("host", s.host).text("mountpoint", s.mountpoint).release());
  }
  return DictBuilder()
      .text("name", status.name)
      .text("uuid", status.uuid)
      .text("storage", status.storage)
      .text("bucket", status.bucket)
      .optional_number("used_bytes", status.used_bytes)
      .optional_number("used_inodes", status.used_inodes)
      .set("sessions", list_of(std::move(sessions)))
      .release();
}

Ref access_to_py(const MountAccess& a) {
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(a.mode));
  return DictBuilder()
      .set("allow_other", bool_to_py(a.allow_other))
      .text("owner", user_text(a.owner))
      .text("mode", mode)
      .text("who", a.who)
      .release();
}

// The processes serving a mount and where it serves metrics, as its
// .config says; 0 or an empty text there is None here.
Ref daemon_to_py(const MountConfig& config) {
  const auto pid = [](std::int64_t n) {
    return n > 0 ? std::optional<std::uintmax_t>(static_cast<std::uintmax_t>(n)) : std::nullopt;
  };
  return DictBuilder()
      .optional_number("pid", pid(config.pid))
      .optional_number("supervisor_pid", pid(config.supervisor_pid))
      .optional_text("metrics", config.metrics.empty() ? std::nullopt : std::optional(config.metrics))
      .set("read_only", bool_to_py(config.read_only))
      .release();
}

Ref details_to_py(const VolumeDetails& d) {
  DictBuilder out;
  out.text("name", d.name).path("record", d.record);
  if (d.volume) {
    out.none("error").set("volume", volume_to_py(*d.volume));
  } else {
    out.text("error", d.volume.error().message()).none("volume");
  }
  // A step under way or interrupted shows as status shows it (intents.hpp).
  std::optional<std::string> state;
  if (d.volume && d.volume->intent) {
    state = std::string(intent_state_word(*d.volume->intent, intent_live(*d.volume->intent)));
  } else if (d.check.state != LiveState::NotRecorded) {
    state = std::string(live_state_name(d.check.state));
  }
  out.optional_text("state", state)
      .optional_text("found", d.check.state == LiveState::Foreign ? std::optional(d.check.found_source) : std::nullopt)
      .set("access", d.access ? access_to_py(*d.access) : Ref::newref(Py_None))
      .path("log", d.log)
      .optional_number("log_bytes", d.log_bytes);
  struct stat st{};
  out.optional_text("old_log",
                    ::stat(d.old_log.c_str(), &st) == 0 ? std::optional(path_text(d.old_log)) : std::nullopt);
  if (d.dev) {
    out.set("dev_paths", DictBuilder()
                             .path("directory", d.dev->directory)
                             .path("metadata", d.dev->metadata)
                             .path("objects", d.dev->objects)
                             .release());
  } else {
    out.none("dev_paths");
  }
  std::vector<Ref> caches;
  for (const auto& dir : d.cache_dirs) caches.push_back(text_to_py(path_text(dir)));
  out.set("cache_dirs", list_of(std::move(caches)))
      .optional_text("cache_dir", optional_path(d.cache_dir))
      .optional_number("cache_bytes", d.cache_bytes)
      .set("settings", d.volume ? settings_to_py(d.volume->settings) : Ref::newref(Py_None))
      .set("daemon", d.mount ? daemon_to_py(*d.mount) : Ref::newref(Py_None));
  out.set("backend", d.backend ? backend_to_py(*d.backend) : Ref::newref(Py_None));
  out.optional_text("backend_error", d.backend_error ? std::optional(d.backend_error->message()) : std::nullopt);
  const bool said = d.backend_error && !d.backend_error->reason().empty();
  out.optional_text("backend_reason", said ? std::optional(d.backend_error->reason()) : std::nullopt);
  return out.release();
}

PyObject* module_inspect(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"name", "backend", "timeout", nullptr};
    PyObject* name = nullptr;
    PyObject* backend = nullptr;
    PyObject* timeout = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OO:inspect", const_cast<char**>(keywords), &name, &backend,
                                     &timeout)) {
      return nullptr;
    }
    std::string volume;
    bool ask_backend = true;
    std::optional<std::chrono::milliseconds> bound;
    if (!text_arg(name, "name", volume)) return nullptr;
    if (backend != nullptr && !bool_arg(backend, "backend", ask_backend)) return nullptr;
    if (!optional_seconds_arg(timeout, "timeout", bound)) return nullptr;
    Result<QuarvoHome> home = QuarvoHome::from_env();
    if (!home) return raise_quarvo_error(home.error());
    Result<VolumeDetails> details =
        without_gil([&](const Cancel& cancel) { return inspect_volume(*home, volume, ask_backend, bound, cancel); });
    return finish(details, [&](const VolumeDetails& d) -> PyObject* {
      Ref out = details_to_py(d);
      Ref autostart = autostart_to_py(*home);
      if (!out || !autostart || PyDict_SetItemString(out.get(), "autostart", autostart.get()) < 0) return nullptr;
      return out.release();
    });
  });
}

PyObject* module_check_new_volume_name(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"name", nullptr};
    PyObject* name = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:check_new_volume_name", const_cast<char**>(keywords), &name)) {
      return nullptr;
    }
    std::string volume;
    if (!text_arg(name, "name", volume)) return nullptr;
    if (Result<void> ok = validate_backend_volume_name(volume); !ok) return raise_quarvo_error(ok.error());
    Py_RETURN_NONE;
  });
}

PyObject* module_diagnose(PyObject*, PyObject*) {
  return guarded([]() -> PyObject* {
    Result<QuarvoHome> home = QuarvoHome::from_env();
    if (!home) return raise_quarvo_error(home.error());
    Result<Diagnosis> diagnosis = without_gil([&](const Cancel& cancel) { return diagnose(*home, cancel); });
    if (PyErr_Occurred() != nullptr) return nullptr;  // Ctrl-C while the backend was asked
    if (!diagnosis) return raise_quarvo_error(diagnosis.error());
    Ref report = Ref::steal(doctor_report_to_py(std::move(diagnosis->report)));
    if (!report) return nullptr;
    const auto add = [&](const char* key, const std::optional<QuarvoError>& error) {
      Ref text = optional_text_to_py(error ? std::optional(error->message()) : std::nullopt);
      return text && PyDict_SetItemString(report.get(), key, text.get()) == 0;
    };
    if (!add("config_error", diagnosis->config_error) || !add("unsafe_backend", diagnosis->unsafe_backend)) {
      return nullptr;
    }
    return report.release();
  });
}

PyObject* module_finish_removals(PyObject*, PyObject*) {
  return guarded([]() -> PyObject* {
    Result<QuarvoHome> home = QuarvoHome::from_env();
    if (!home) return raise_quarvo_error(home.error());
    Result<std::vector<std::string>> names = without_gil(
        [&](const Cancel& cancel) { return finish_removals(Registry(*home), configured_limits(*home, cancel)); });
    return finish(names, [](const std::vector<std::string>& done) {
      std::vector<Ref> items;
      for (const std::string& name : done) items.push_back(text_to_py(name));
      return list_of(std::move(items)).release();
    });
  });
}

PyMethodDef lifecycle_functions[] = {
    {"inspect", method_function(module_inspect), METH_VARARGS | METH_KEYWORDS,
     "inspect(name, *, backend=True, timeout=None)\n--\n\n"},
    {"check_new_volume_name", method_function(module_check_new_volume_name), METH_VARARGS | METH_KEYWORDS,
     "check_new_volume_name(name)\n--\n\n"},
    {"diagnose", module_diagnose, METH_NOARGS, "diagnose()\n--\n\n"},
    {"finish_removals", module_finish_removals, METH_NOARGS, "finish_removals()\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},  // sentinel
};

}  // namespace

bool add_lifecycle_functions(PyObject* module) { return PyModule_AddFunctions(module, lifecycle_functions) == 0; }

}  // namespace quarvo::python
