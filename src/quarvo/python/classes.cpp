// The classes as Python sees them (all final, none callable):
//
//   class Quarvo:
//       @staticmethod
//       def from_env() -> Quarvo: ...
//       def doctor(self) -> dict: ...
//       def init(self, name, *, dev=False, metadata=None, store=None,
//                storage=None, bucket=None) -> VolumeInfo: ...
//       def ensure_volume(self, name, *, dev=False, metadata=None, store=None,
//                         storage=None, bucket=None) -> VolumeInfo: ...
//       def mount(self, name, path, *, foreground=False,
//                 check_storage=False) -> MountInfo: ...
//       def flush(self, name) -> None: ...
//       def unmount(self, name, *, force=False) -> None: ...
//       def status(self, name=None) -> Status: ...
//
//   class VolumeInfo:  name, metadata_url, storage, bucket, dev, mountpoint
//   class MountInfo:   name, mountpoint
//   class Status:      volumes (a new list of new VolumeInfo on every read)
#include "quarvo/python/classes.hpp"

#include <cstddef>
#include <new>
#include <type_traits>
#include <utility>

#include "quarvo/python/conversions.hpp"

namespace quarvo::python {
namespace {

// --- instances ---------------------------------------------------------------

// The layout of every instance: the object header, then the native value.
template <class T>
struct Instance {
  PyObject ob_base;
  T value;  // built in place by make_instance, destroyed by dealloc_instance
};

template <class T>
T& value_of(PyObject* self) {
  return reinterpret_cast<Instance<T>*>(self)->value;
}

// A function slot of a heap type, at its own function type.
template <class Fn>
Fn type_slot(PyTypeObject* type, int slot) {
  return reinterpret_cast<Fn>(PyType_GetSlot(type, slot));
}

// A function pointer as the untyped `pfunc` of a PyType_Slot.
template <class Fn>
void* slot_function(Fn* fn) {
  return reinterpret_cast<void*>(fn);
}

// A method implementation at the PyCFunction type the method table stores;
// the flags of its entry tell CPython the real signature.
template <class Fn>
PyCFunction method_function(Fn* fn) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

template <class T>
Ref make_instance(PyObject* type_object, T value) {
  // Nothing may throw between the allocation and the value's construction:
  // freeing a half-made object would destroy a value that was never built.
  static_assert(std::is_nothrow_move_constructible_v<T>);
  if (type_object == nullptr) return Ref();
  auto* type = reinterpret_cast<PyTypeObject*>(type_object);
  Ref self = Ref::steal(type_slot<allocfunc>(type, Py_tp_alloc)(type, 0));
  if (!self) return Ref();
  new (&value_of<T>(self.get())) T(std::move(value));
  return self;
}

template <class T>
void dealloc_instance(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  value_of<T>(self).~T();
  type_slot<freefunc>(type, Py_tp_free)(self);
  // Every instance of a heap type holds a reference to its type.
  Py_DECREF(type);
}

// Creates a type once; later calls return the same object.
PyObject* once(PyObject*& type, PyType_Spec* spec) {
  if (type == nullptr) type = PyType_FromSpec(spec);
  return type;
}

// The names are bare for Python ("Quarvo", shown as <class 'Quarvo'>). A heap
// type takes its __module__ from the text before the last dot, and one
// without a dot has none at all (and warns when made), hence "builtins.".
// No Py_TPFLAGS_BASETYPE: a Python subclass could not give the native value
// a meaning.
constexpr auto kTypeFlags = static_cast<unsigned int>(Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION |
                                                     Py_TPFLAGS_IMMUTABLETYPE);

// --- getters -------------------------------------------------------------------

template <class T, std::string T::*Field>
PyObject* get_text(PyObject* self, void*) {
  return guarded([&] { return text_to_py(value_of<T>(self).*Field).release(); });
}

template <class T, std::optional<std::string> T::*Field>
PyObject* get_optional_text(PyObject* self, void*) {
  return guarded([&] { return optional_text_to_py(value_of<T>(self).*Field).release(); });
}

template <class T, bool T::*Field>
PyObject* get_bool(PyObject* self, void*) {
  return guarded([&] { return bool_to_py(value_of<T>(self).*Field).release(); });
}

// --- Quarvo ----------------------------------------------------------------------

// The wrapped service, or NULL with a TypeError when `self` is no Quarvo.
const Quarvo* service_of(PyObject* self) {
  PyObject* type = quarvo_type();
  if (type == nullptr) return nullptr;
  if (self == nullptr || !PyObject_TypeCheck(self, reinterpret_cast<PyTypeObject*>(type))) {
    PyErr_SetString(PyExc_TypeError, "the method needs a Quarvo instance");
    return nullptr;
  }
  return &value_of<PyQuarvo>(self).service;
}

PyObject* Quarvo_from_env(PyObject*, PyObject*) {
  return guarded([]() -> PyObject* {
    Result<Quarvo> service = Quarvo::from_env();
    if (!service) return raise_quarvo_error(service.error());
    return new_quarvo(PyQuarvo{std::move(*service)}).release();
  });
}

PyObject* Quarvo_doctor(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const Quarvo* service = service_of(self);
    if (service == nullptr) return nullptr;
    Result<DoctorReport> report = service->doctor();
    if (!report) return raise_quarvo_error(report.error());
    return doctor_report_to_py(std::move(*report));
  });
}

// init and ensure_volume differ only in the service operation they call.
PyObject* provision(PyObject* self, PyObject* args, PyObject* kwargs, const char* format, bool existing_ok) {
  static const char* keywords[] = {"name", "dev", "metadata", "store", "storage", "bucket", nullptr};
  PyObject* name = nullptr;
  PyObject* dev = nullptr;
  PyObject* metadata = nullptr;
  PyObject* store = nullptr;
  PyObject* storage = nullptr;
  PyObject* bucket = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(keywords), &name, &dev, &metadata,
                                   &store, &storage, &bucket)) {
    return nullptr;
  }
  const Quarvo* service = service_of(self);
  if (service == nullptr) return nullptr;
  InitVolume request;
  if (!text_arg(name, "name", request.name) || !bool_arg(dev, "dev", request.dev) ||
      !optional_text_arg(metadata, "metadata", request.metadata) ||
      !optional_text_arg(store, "store", request.store) ||
      !optional_text_arg(storage, "storage", request.storage) ||
      !optional_text_arg(bucket, "bucket", request.bucket)) {
    return nullptr;
  }
  Result<VolumeInfo> info = existing_ok ? service->ensure_volume(request) : service->init(request);
  if (!info) return raise_quarvo_error(info.error());
  return new_volume_info(PyVolumeInfo::from(*info)).release();
}

PyObject* Quarvo_init(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&] { return provision(self, args, kwargs, "O|$OOOOO:init", false); });
}

PyObject* Quarvo_ensure_volume(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&] { return provision(self, args, kwargs, "O|$OOOOO:ensure_volume", true); });
}

PyObject* Quarvo_mount(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"name", "path", "foreground", "check_storage", nullptr};
    PyObject* name = nullptr;
    PyObject* path = nullptr;
    PyObject* foreground = nullptr;
    PyObject* check_storage = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$OO:mount", const_cast<char**>(keywords), &name, &path,
                                     &foreground, &check_storage)) {
      return nullptr;
    }
    const Quarvo* service = service_of(self);
    if (service == nullptr) return nullptr;
    MountVolume request;
    std::string path_text;
    if (!text_arg(name, "name", request.name) || !text_arg(path, "path", path_text) ||
        !bool_arg(foreground, "foreground", request.foreground) ||
        !bool_arg(check_storage, "check_storage", request.check_storage)) {
      return nullptr;
    }
    // The text's bytes as the path, exactly as given: no "~" expansion and
    // no normalisation; the service makes a relative path absolute.
    request.path = std::filesystem::path(std::move(path_text));
    Result<MountedVolume> mounted = service->mount(request);
    if (!mounted) return raise_quarvo_error(mounted.error());
    return new_mount_info(PyMountInfo::from(*mounted)).release();
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
    Result<void> flushed = service->flush(volume);
    if (!flushed) return raise_quarvo_error(flushed.error());
    Py_RETURN_NONE;
  });
}

PyObject* Quarvo_unmount(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"name", "force", nullptr};
    PyObject* name = nullptr;
    PyObject* force = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$O:unmount", const_cast<char**>(keywords), &name,
                                     &force)) {
      return nullptr;
    }
    const Quarvo* service = service_of(self);
    if (service == nullptr) return nullptr;
    std::string volume;
    bool forced = false;
    if (!text_arg(name, "name", volume) || !bool_arg(force, "force", forced)) return nullptr;
    Result<void> unmounted = service->unmount(volume, forced);
    if (!unmounted) return raise_quarvo_error(unmounted.error());
    Py_RETURN_NONE;
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
    Result<std::vector<VolumeInfo>> infos = service->status(volume);
    if (!infos) return raise_quarvo_error(infos.error());
    return new_status(PyStatus::from(*infos)).release();
  });
}

PyMethodDef Quarvo_methods[] = {
    {"from_env", method_function(Quarvo_from_env), METH_NOARGS | METH_STATIC, "from_env()\n--\n\n"},
    {"doctor", method_function(Quarvo_doctor), METH_NOARGS, "doctor($self)\n--\n\n"},
    {"init", method_function(Quarvo_init), METH_VARARGS | METH_KEYWORDS,
     "init($self, name, *, dev=False, metadata=None, store=None, storage=None, bucket=None)\n--\n\n"},
    {"ensure_volume", method_function(Quarvo_ensure_volume), METH_VARARGS | METH_KEYWORDS,
     "ensure_volume($self, name, *, dev=False, metadata=None, store=None, storage=None, bucket=None)\n--\n\n"},
    {"mount", method_function(Quarvo_mount), METH_VARARGS | METH_KEYWORDS,
     "mount($self, name, path, *, foreground=False, check_storage=False)\n--\n\n"},
    {"flush", method_function(Quarvo_flush), METH_VARARGS | METH_KEYWORDS, "flush($self, name)\n--\n\n"},
    {"unmount", method_function(Quarvo_unmount), METH_VARARGS | METH_KEYWORDS,
     "unmount($self, name, *, force=False)\n--\n\n"},
    {"status", method_function(Quarvo_status), METH_VARARGS | METH_KEYWORDS, "status($self, name=None)\n--\n\n"},
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

// --- VolumeInfo ------------------------------------------------------------------

PyGetSetDef VolumeInfo_getset[] = {
    {"name", get_text<PyVolumeInfo, &PyVolumeInfo::name>, nullptr, nullptr, nullptr},
    {"metadata_url", get_text<PyVolumeInfo, &PyVolumeInfo::metadata_url>, nullptr, nullptr, nullptr},
    {"storage", get_text<PyVolumeInfo, &PyVolumeInfo::storage>, nullptr, nullptr, nullptr},
    {"bucket", get_text<PyVolumeInfo, &PyVolumeInfo::bucket>, nullptr, nullptr, nullptr},
    {"dev", get_bool<PyVolumeInfo, &PyVolumeInfo::dev>, nullptr, nullptr, nullptr},
    {"mountpoint", get_optional_text<PyVolumeInfo, &PyVolumeInfo::mountpoint>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},  // sentinel
};

PyType_Slot VolumeInfo_slots[] = {
    {Py_tp_dealloc, slot_function(dealloc_instance<PyVolumeInfo>)},
    {Py_tp_getset, VolumeInfo_getset},
    {Py_tp_doc, const_cast<char*>("")},
    {0, nullptr},  // sentinel
};

PyType_Spec VolumeInfo_spec = {
    .name = "builtins.VolumeInfo",
    .basicsize = static_cast<int>(sizeof(Instance<PyVolumeInfo>)),
    .itemsize = 0,
    .flags = kTypeFlags,
    .slots = VolumeInfo_slots,
};

// --- MountInfo -------------------------------------------------------------------

PyGetSetDef MountInfo_getset[] = {
    {"name", get_text<PyMountInfo, &PyMountInfo::name>, nullptr, nullptr, nullptr},
    {"mountpoint", get_text<PyMountInfo, &PyMountInfo::mountpoint>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},  // sentinel
};

PyType_Slot MountInfo_slots[] = {
    {Py_tp_dealloc, slot_function(dealloc_instance<PyMountInfo>)},
    {Py_tp_getset, MountInfo_getset},
    {Py_tp_doc, const_cast<char*>("")},
    {0, nullptr},  // sentinel
};

PyType_Spec MountInfo_spec = {
    .name = "builtins.MountInfo",
    .basicsize = static_cast<int>(sizeof(Instance<PyMountInfo>)),
    .itemsize = 0,
    .flags = kTypeFlags,
    .slots = MountInfo_slots,
};

// --- Status ------------------------------------------------------------------------

// A new list of new VolumeInfo objects, so that callers who change the list
// or its elements never change the Status itself.
PyObject* Status_volumes(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    const std::vector<PyVolumeInfo>& volumes = value_of<PyStatus>(self).volumes;
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(volumes.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < volumes.size(); ++i) {
      Ref item = new_volume_info(volumes[i]);
      if (!item) return nullptr;
      // PyList_SetItem takes the reference even when it fails.
      if (PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item.release()) < 0) return nullptr;
    }
    return list.release();
  });
}

PyGetSetDef Status_getset[] = {
    {"volumes", Status_volumes, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},  // sentinel
};

PyType_Slot Status_slots[] = {
    {Py_tp_dealloc, slot_function(dealloc_instance<PyStatus>)},
    {Py_tp_getset, Status_getset},
    {Py_tp_doc, const_cast<char*>("")},
    {0, nullptr},  // sentinel
};

PyType_Spec Status_spec = {
    .name = "builtins.Status",
    .basicsize = static_cast<int>(sizeof(Instance<PyStatus>)),
    .itemsize = 0,
    .flags = kTypeFlags,
    .slots = Status_slots,
};

// Each owned for the life of the process; the module holds one more reference.
PyObject* quarvo_type_object = nullptr;
PyObject* volume_info_type_object = nullptr;
PyObject* mount_info_type_object = nullptr;
PyObject* status_type_object = nullptr;

}  // namespace

// --- native values ---------------------------------------------------------------

PyVolumeInfo PyVolumeInfo::from(const VolumeInfo& info) {
  PyVolumeInfo out{
      .name = info.name,
      .metadata_url = info.metadata_url,
      .storage = info.storage,
      .bucket = info.bucket,
      .mountpoint = std::nullopt,
      .dev = info.dev,
  };
  if (info.mountpoint) out.mountpoint = path_text(*info.mountpoint);
  return out;
}

PyMountInfo PyMountInfo::from(const MountedVolume& mounted) {
  return PyMountInfo{.name = mounted.name, .mountpoint = path_text(mounted.mountpoint)};
}

PyStatus PyStatus::from(const std::vector<VolumeInfo>& infos) {
  PyStatus out;
  out.volumes.reserve(infos.size());
  for (const VolumeInfo& info : infos) out.volumes.push_back(PyVolumeInfo::from(info));
  return out;
}

// --- types and instances ---------------------------------------------------------

PyObject* quarvo_type() { return once(quarvo_type_object, &Quarvo_spec); }
PyObject* volume_info_type() { return once(volume_info_type_object, &VolumeInfo_spec); }
PyObject* mount_info_type() { return once(mount_info_type_object, &MountInfo_spec); }
PyObject* status_type() { return once(status_type_object, &Status_spec); }

Ref new_quarvo(PyQuarvo value) { return make_instance(quarvo_type(), std::move(value)); }
Ref new_volume_info(PyVolumeInfo value) { return make_instance(volume_info_type(), std::move(value)); }
Ref new_mount_info(PyMountInfo value) { return make_instance(mount_info_type(), std::move(value)); }
Ref new_status(PyStatus value) { return make_instance(status_type(), std::move(value)); }

}  // namespace quarvo::python
