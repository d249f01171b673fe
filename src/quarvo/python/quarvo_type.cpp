// The class Quarvo as Python sees it (final, not callable):
//
//   class Quarvo:
//       @staticmethod
//       def from_env(*, command_timeout=None) -> Quarvo: ...
//       def doctor(self) -> dict: ...
//       def init(self, name, *, dev=False, metadata=None, store=None,
//                storage=None, bucket=None, metadata_password=None,
//                settings=None) -> VolumeInfo: ...
//       def ensure_volume(self, name, *, dev=False, metadata=None, store=None,
//                         storage=None, bucket=None, metadata_password=None,
//                         settings=None) -> VolumeInfo: ...
//       def mount(self, name, path, *, foreground=False,
//                 check_storage=False, settings=None) -> MountInfo: ...
//       def flush(self, name) -> None: ...
//       def unmount(self, name, *, force=False) -> None: ...
//       def status(self, name=None) -> Status: ...
//       def volume_states(self, name=None) -> list[VolumeState]: ...
//       def remove(self, name, *, force=False, destroy=False) -> None: ...
//       def mount_all(self, *, on_result=None) -> dict[str, MountInfo | QuarvoError]: ...
//       def mounted(self, name, path=None, *, temporary=False,
//                   **options) -> ContextManager[MountInfo]: ...  # mounted_method.cpp
//       def configure(self, name, settings) -> dict[str, str | bool]: ...
//       def _settle_interrupted(self) -> dict[str, list[str] | QuarvoError]: ...
//
// Every method but from_env's lookup runs its service call with the
// interpreter lock released (see released.hpp); what a mount or unmount
// found and set right on its way is issued as a UserWarning.
#include "quarvo/python/classes.hpp"

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "quarvo/python/instance.hpp"
#include "quarvo/python/released.hpp"
#include "quarvo/python/settings.hpp"

namespace quarvo::python {

const Quarvo* service_of(PyObject* self) {
  PyObject* type = quarvo_type();
  if (type == nullptr) return nullptr;
  if (self == nullptr || !PyObject_TypeCheck(self, reinterpret_cast<PyTypeObject*>(type))) {
    PyErr_SetString(PyExc_TypeError, "the method needs a Quarvo instance");
    return nullptr;
  }
  return &value_of<PyQuarvo>(self).service;
}

namespace {

PyObject* Quarvo_from_env(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"command_timeout", nullptr};
    PyObject* timeout = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$O:from_env", const_cast<char**>(keywords), &timeout)) {
      return nullptr;
    }
    std::optional<std::chrono::milliseconds> bound;
    if (!optional_seconds_arg(timeout, "command_timeout", bound)) return nullptr;
    Result<Quarvo> service = without_gil([&](const Cancel&) { return Quarvo::from_env(bound); });
    return finish(service, [&](const Quarvo&) { return new_quarvo(PyQuarvo{std::move(*service)}).release(); });
  });
}

PyObject* Quarvo_doctor(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const Quarvo* service = service_of(self);
    if (service == nullptr) return nullptr;
    Result<DoctorReport> report = without_gil([&](const Cancel& cancel) { return service->doctor(cancel); });
    return finish(report, [&](const DoctorReport&) { return doctor_report_to_py(std::move(*report)); });
  });
}

// init and ensure_volume differ only in the service operation they call.
PyObject* provision(PyObject* self, PyObject* args, PyObject* kwargs, const char* format, bool existing_ok) {
  static const char* keywords[] = {"name",     "dev",  "metadata", "store", "storage", "bucket", "metadata_password",
                                   "settings", nullptr};
  PyObject* name = nullptr;
  PyObject* dev = nullptr;
  PyObject* metadata = nullptr;
  PyObject* store = nullptr;
  PyObject* storage = nullptr;
  PyObject* bucket = nullptr;
  PyObject* password = nullptr;
  PyObject* settings = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords), &name, &dev, &metadata, &store,
                                   &storage, &bucket, &password, &settings)) {
    return nullptr;
  }
  const Quarvo* service = service_of(self);
  if (service == nullptr) return nullptr;
  InitVolume request;
  if (!text_arg(name, "name", request.name) || !bool_arg(dev, "dev", request.dev) ||
      !optional_text_arg(metadata, "metadata", request.metadata) || !optional_text_arg(store, "store", request.store) ||
      !optional_text_arg(storage, "storage", request.storage) || !optional_text_arg(bucket, "bucket", request.bucket) ||
      !optional_text_arg(password, "metadata_password", request.metadata_password) ||
      !settings_arg(settings, "settings", request.settings)) {
    return nullptr;
  }
  Result<VolumeInfo> info = without_gil([&](const Cancel& cancel) {
    return existing_ok ? service->ensure_volume(request, cancel) : service->init(request, cancel);
  });
  return finish(std::move(info),
                [](VolumeInfo&& v) { return new_volume_info(PyVolumeInfo::from(std::move(v))).release(); });
}

PyObject* Quarvo_init(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&] { return provision(self, args, kwargs, "O|$OOOOOOO:init", false); });
}

PyObject* Quarvo_ensure_volume(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&] { return provision(self, args, kwargs, "O|$OOOOOOO:ensure_volume", true); });
}

PyObject* Quarvo_mount(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"name", "path", "foreground", "check_storage", "settings", nullptr};
    PyObject* name = nullptr;
    PyObject* path = nullptr;
    PyObject* foreground = nullptr;
    PyObject* check_storage = nullptr;
    PyObject* settings = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$OOO:mount", const_cast<char**>(keywords), &name, &path,
                                     &foreground, &check_storage, &settings)) {
      return nullptr;
    }
    const Quarvo* service = service_of(self);
    if (service == nullptr) return nullptr;
    MountVolume request;
    std::string path_text;
    if (!text_arg(name, "name", request.name) || !path_arg(path, "path", path_text) ||
        !bool_arg(foreground, "foreground", request.foreground) ||
        !bool_arg(check_storage, "check_storage", request.check_storage) ||
        !settings_arg(settings, "settings", request.settings)) {
      return nullptr;
    }
    // The text's bytes as the path, exactly as given (os.fsencode's): no "~"
    // expansion and no normalisation; the service makes a relative path
    // absolute, and refuses one that is not UTF-8.
    request.path = std::filesystem::path(std::move(path_text));
    Result<MountedVolume> mounted = without_gil([&](const Cancel& cancel) { return service->mount(request, cancel); });
    return finish(mounted, [](const MountedVolume& m) -> PyObject* {
      if (!warn_notes(m.notes)) return nullptr;
      return new_mount_info(PyMountInfo::from(m)).release();
    });
  });
}

PyObject* Quarvo_flush(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"name", nullptr};
    PyObject* name = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:flush", const_cast<char**>(keywords), &name)) {
      return nullptr;
    }
    const Quarvo* service = service_of(self);
    if (service == nullptr) return nullptr;
    std::string volume;
    if (!text_arg(name, "name", volume)) return nullptr;
    Result<Notes> flushed = without_gil([&](const Cancel& cancel) { return service->flush(volume, cancel); });
    return finish(flushed, [](const Notes& notes) { return warn_notes(notes) ? Py_NewRef(Py_None) : nullptr; });
  });
}

PyObject* Quarvo_unmount(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"name", "force", nullptr};
    PyObject* name = nullptr;
    PyObject* force = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$O:unmount", const_cast<char**>(keywords), &name, &force)) {
      return nullptr;
    }
    const Quarvo* service = service_of(self);
    if (service == nullptr) return nullptr;
    std::string volume;
    bool forced = false;
    if (!text_arg(name, "name", volume) || !bool_arg(force, "force", forced)) return nullptr;
    Result<Notes> unmounted =
        without_gil([&](const Cancel& cancel) { return service->unmount(volume, forced, cancel); });
    return finish(unmounted, [](const Notes& notes) { return warn_notes(notes) ? Py_NewRef(Py_None) : nullptr; });
  });
}

// The Python value of one volume's outcome of mount_all: a MountInfo, or
// the QuarvoError it failed with.
Ref mount_outcome_to_py(const Result<MountedVolume>& result) {
  if (result) return new_mount_info(PyMountInfo::from(*result));
  return quarvo_error_to_py(result.error());
}

PyObject* Quarvo_mount_all(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"on_result", nullptr};
    PyObject* callback = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$O:mount_all", const_cast<char**>(keywords), &callback)) {
      return nullptr;
    }
    if (callback == Py_None) callback = nullptr;
    if (callback != nullptr && PyCallable_Check(callback) == 0) {
      PyErr_SetString(PyExc_TypeError, "argument 'on_result' must be callable or None");
      return nullptr;
    }
    const Quarvo* service = service_of(self);
    if (service == nullptr) return nullptr;
    Result<std::vector<MountAttempt>> attempts = [&] {
      ReleasedGil released;
      // Each outcome as it comes, on this thread, the interpreter lock taken;
      // the first exception the callback raises stops the rest and is raised.
      bool raised = false;
      const OnMountResult tell = [&](const std::string& name, const Result<MountedVolume>& result) {
        if (callback == nullptr) return true;
        if (raised) return false;
        return released.holding([&] {
          Ref key = text_to_py(name);
          Ref value = mount_outcome_to_py(result);
          Ref said = key && value ? Ref::steal(PyObject_CallFunctionObjArgs(callback, key.get(), value.get(), nullptr))
                                  : Ref();
          raised = !said;
          return !raised;
        });
      };
      return service->mount_all(tell, released);
    }();
    return finish(attempts, [](const std::vector<MountAttempt>& all) -> PyObject* {
      Ref out = Ref::steal(PyDict_New());
      if (!out) return nullptr;
      for (const MountAttempt& attempt : all) {
        if (attempt.result && !warn_notes(attempt.result->notes)) return nullptr;
        Ref value = mount_outcome_to_py(attempt.result);
        Ref key = text_to_py(attempt.name);
        if (!value || !key || PyDict_SetItem(out.get(), key.get(), value.get()) < 0) return nullptr;
      }
      return out.release();
    });
  });
}

// A new list of str.
Ref texts_to_py(const std::vector<std::string>& texts) {
  Ref list = Ref::steal(PyList_New(0));
  if (!list) return list;
  for (const std::string& text : texts) {
    Ref item = text_to_py(text);
    if (!item || PyList_Append(list.get(), item.get()) < 0) return Ref();
  }
  return list;
}

// For prune: every step a killed call left, settled; {name: notes or error}.
PyObject* Quarvo_settle_interrupted(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const Quarvo* service = service_of(self);
    if (service == nullptr) return nullptr;
    Result<std::vector<SettledVolume>> settled =
        without_gil([&](const Cancel& cancel) { return service->settle_interrupted(cancel); });
    return finish(settled, [](const std::vector<SettledVolume>& all) -> PyObject* {
      Ref out = Ref::steal(PyDict_New());
      if (!out) return nullptr;
      for (const SettledVolume& one : all) {
        Ref value = one.outcome ? texts_to_py(*one.outcome) : quarvo_error_to_py(one.outcome.error());
        Ref key = text_to_py(one.name);
        if (!value || !key || PyDict_SetItem(out.get(), key.get(), value.get()) < 0) return nullptr;
      }
      return out.release();
    });
  });
}

PyObject* Quarvo_status(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"name", nullptr};
    PyObject* name = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:status", const_cast<char**>(keywords), &name)) {
      return nullptr;
    }
    const Quarvo* service = service_of(self);
    if (service == nullptr) return nullptr;
    std::optional<std::string> volume;
    if (!optional_text_arg(name, "name", volume)) return nullptr;
    Result<std::vector<VolumeInfo>> infos = without_gil([&](const Cancel&) { return service->status(volume); });
    return finish(std::move(infos),
                  [](std::vector<VolumeInfo>&& v) { return new_status(PyStatus::from(std::move(v))).release(); });
  });
}

PyObject* Quarvo_volume_states(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"name", nullptr};
    PyObject* name = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:volume_states", const_cast<char**>(keywords), &name)) {
      return nullptr;
    }
    const Quarvo* service = service_of(self);
    if (service == nullptr) return nullptr;
    std::optional<std::string> volume;
    if (!optional_text_arg(name, "name", volume)) return nullptr;
    return volume_states_to_py(service->home(), volume, kLiveStateBound);
  });
}

PyObject* Quarvo_remove(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"name", "force", "destroy", nullptr};
    PyObject* name = nullptr;
    PyObject* force = nullptr;
    PyObject* destroy = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OO:remove", const_cast<char**>(keywords), &name, &force,
                                     &destroy)) {
      return nullptr;
    }
    const Quarvo* service = service_of(self);
    if (service == nullptr) return nullptr;
    std::string volume;
    bool forced = false;
    bool destroying = false;
    if (!text_arg(name, "name", volume) || !bool_arg(force, "force", forced) ||
        !bool_arg(destroy, "destroy", destroying)) {
      return nullptr;
    }
    Result<Notes> removed =
        without_gil([&](const Cancel& cancel) { return service->remove(volume, forced, destroying, cancel); });
    return finish(removed, [](const Notes& notes) { return warn_notes(notes) ? Py_NewRef(Py_None) : nullptr; });
  });
}

PyObject* Quarvo_configure(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"name", "settings", nullptr};
    PyObject* name = nullptr;
    PyObject* settings = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:configure", const_cast<char**>(keywords), &name, &settings)) {
      return nullptr;
    }
    const Quarvo* service = service_of(self);
    if (service == nullptr) return nullptr;
    std::string volume;
    SettingChanges changes;
    if (!text_arg(name, "name", volume)) return nullptr;
    if (settings == Py_None) {
      PyErr_SetString(PyExc_TypeError, "argument 'settings' must be a mapping of settings, not None");
      return nullptr;
    }
    if (!settings_arg(settings, "settings", changes)) return nullptr;
    Result<ConfiguredVolume> configured =
        without_gil([&](const Cancel& cancel) { return service->configure(volume, changes, cancel); });
    return finish(configured, [](const ConfiguredVolume& c) -> PyObject* {
      if (!warn_notes(c.notes)) return nullptr;
      return settings_to_py(c.settings).release();
    });
  });
}

PyMethodDef Quarvo_methods[] = {
    {"from_env", method_function(Quarvo_from_env), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "from_env(*, command_timeout=None)\n--\n\nA Quarvo for the home of QUARVO_HOME; command_timeout bounds every "
     "backend command, in seconds (None: QUARVO_COMMAND_TIMEOUT, else config.toml's command_timeout, else none)."},
    {"doctor", method_function(Quarvo_doctor), METH_NOARGS, "doctor($self)\n--\n\n"},
    {"init", method_function(Quarvo_init), METH_VARARGS | METH_KEYWORDS,
     "init($self, name, *, dev=False, metadata=None, store=None, storage=None, bucket=None, "
     "metadata_password=None, settings=None)\n--\n\n"},
    {"ensure_volume", method_function(Quarvo_ensure_volume), METH_VARARGS | METH_KEYWORDS,
     "ensure_volume($self, name, *, dev=False, metadata=None, store=None, storage=None, bucket=None, "
     "metadata_password=None, settings=None)\n--\n\n"},
    {"mount", method_function(Quarvo_mount), METH_VARARGS | METH_KEYWORDS,
     "mount($self, name, path, *, foreground=False, check_storage=False, settings=None)\n--\n\n"},
    {"flush", method_function(Quarvo_flush), METH_VARARGS | METH_KEYWORDS, "flush($self, name)\n--\n\n"},
    {"unmount", method_function(Quarvo_unmount), METH_VARARGS | METH_KEYWORDS,
     "unmount($self, name, *, force=False)\n--\n\n"},
    {"status", method_function(Quarvo_status), METH_VARARGS | METH_KEYWORDS, "status($self, name=None)\n--\n\n"},
    {"volume_states", method_function(Quarvo_volume_states), METH_VARARGS | METH_KEYWORDS,
     "volume_states($self, name=None)\n--\n\n"},
    {"remove", method_function(Quarvo_remove), METH_VARARGS | METH_KEYWORDS,
     "remove($self, name, *, force=False, destroy=False)\n--\n\n"},
    {"mount_all", method_function(Quarvo_mount_all), METH_VARARGS | METH_KEYWORDS,
     "mount_all($self, *, on_result=None)\n--\n\nMounts again every volume whose record names a mountpoint where it "
     "is no longer mounted, up to 4 at once, each with the command's bound of its own; calls on_result(name, "
     "MountInfo or QuarvoError) as each ends; returns {name: MountInfo or QuarvoError}."},
    {"mounted", method_function(Quarvo_mounted), METH_VARARGS | METH_KEYWORDS,
     "mounted($self, name, path=None, *, temporary=False, **options)\n--\n\nA context manager: the volume ensured "
     "(options: ensure_volume's) and mounted at `path` or at a private temporary directory, its MountInfo yielded, "
     "unmounted on exit; with temporary=True a new development volume, removed with its data on exit."},
    {"configure", method_function(Quarvo_configure), METH_VARARGS | METH_KEYWORDS,
     "configure($self, name, settings)\n--\n\nChanges a volume's mount settings (a mapping of key to str, bool, or "
     "None to unset it); returns them all. A mounted volume gets them at its next mount."},
    {"_settle_interrupted", method_function(Quarvo_settle_interrupted), METH_NOARGS,
     "_settle_interrupted($self)\n--\n\nFinishes or undoes every step a killed call left on a volume; returns "
     "{name: [what was done] or QuarvoError}."},
    {nullptr, nullptr, 0, nullptr},  // sentinel
};

PyType_Slot Quarvo_slots[] = {
    {Py_tp_dealloc, slot_function(dealloc_instance<PyQuarvo>)},
    {Py_tp_methods, Quarvo_methods},
    {Py_tp_doc, const_cast<char*>("")},
    {0, nullptr},  // sentinel
};

PyType_Spec Quarvo_spec = {
    .name = "builtins.Quarvo",
    .basicsize = static_cast<int>(sizeof(Instance<PyQuarvo>)),
    .itemsize = 0,
    .flags = kTypeFlags,
    .slots = Quarvo_slots,
};

// Owned for the life of the process; the module holds one more reference.
PyObject* quarvo_type_object = nullptr;

}  // namespace

PyObject* quarvo_type() { return once(quarvo_type_object, &Quarvo_spec); }

Ref new_quarvo(PyQuarvo value) { return make_instance(quarvo_type(), std::move(value)); }

}  // namespace quarvo::python
