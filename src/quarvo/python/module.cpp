// quarvo._native, as Python sees it:
//
//   __all__ = ["QuarvoError", "doctor", "Quarvo", "VolumeInfo", "MountInfo", "Status"]
//
//   class QuarvoError(Exception): ...   # args == (message,); kind and fields: exception.hpp
//
//   def doctor() -> dict:               # needs no storage backend program
//       home = QuarvoHome.from_env()
//       return doctor_report_to_py(quarvo.doctor(home))
//
//   # Quarvo, VolumeInfo, MountInfo, Status: see classes.hpp
//
//   # Not in __all__: the registry with each mount's live state, readable
//   # with no backend program installed (see volume_state_type.cpp).
//   def volume_states(name=None, *, timeout=None) -> list[VolumeState]:
//       return volume_states_of(QuarvoHome.from_env(), name)   # mounts asked within
//                                                              # min(timeout, 1 s)
//
//   # _mask_url, _mask_secrets, _error, ...: the command's helpers, cli_support.cpp
//   # Also not in __all__: inspect, check_new_volume_name, diagnose and
//   # finish_removals (see lifecycle_functions.cpp).
//
// The entry point PyInit__native is the only exported symbol. The module is
// initialised once per process, in one interpreter: a repeated initialisation
// in that interpreter returns the first module, any other interpreter gets an
// ImportError (the types and exception are process-wide and cannot be shared
// between interpreters).
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "quarvo/core/paths.hpp"
#include "quarvo/juicefs/doctor.hpp"
#include "quarvo/python/classes.hpp"
#include "quarvo/python/conversions.hpp"
#include "quarvo/python/instance.hpp"
#include "quarvo/python/refs.hpp"
#include "quarvo/python/released.hpp"
#include "quarvo/python/settings.hpp"

namespace quarvo::python {
namespace {

PyObject* module_doctor(PyObject*, PyObject*) {
  return guarded([]() -> PyObject* {
    Result<DoctorReport> report = without_gil([](const Cancel& cancel) -> Result<DoctorReport> {
      Result<QuarvoHome> home = QuarvoHome::from_env();
      if (!home) return std::unexpected(std::move(home).error());
      return doctor(*home, cancel);
    });
    return finish(report, [&](const DoctorReport&) { return doctor_report_to_py(std::move(*report)); });
  });
}

PyMethodDef doctor_def = {"doctor", module_doctor, METH_NOARGS, "doctor()\n--\n\n"};

PyObject* module_volume_states(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"name", "timeout", nullptr};
    PyObject* name = nullptr;
    PyObject* timeout = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O$O:volume_states", const_cast<char**>(keywords), &name,
                                     &timeout)) {
      return nullptr;
    }
    std::optional<std::string> volume;
    std::optional<std::chrono::milliseconds> bound;
    if (!optional_text_arg(name, "name", volume) || !optional_seconds_arg(timeout, "timeout", bound)) return nullptr;
    Result<QuarvoHome> home = QuarvoHome::from_env();
    if (!home) return raise_quarvo_error(home.error());
    // The mounts' answers within the caller's bound, never longer than today's.
    return volume_states_to_py(*home, volume, bound ? std::min(*bound, kLiveStateBound) : kLiveStateBound);
  });
}

// The module's functions outside __all__.
PyMethodDef beside_all[] = {
    {"volume_states", method_function(module_volume_states), METH_VARARGS | METH_KEYWORDS,
     "volume_states(name=None, *, timeout=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},  // sentinel
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_native",  // m_name
    "",         // m_doc
    // 0, not -1: for a module without per-module state CPython then calls the
    // entry point again on every further initialisation instead of copying
    // the first module's dictionary, so the entry point decides what happens.
    0,        // m_size
    nullptr,  // m_methods: added one by one below, in __all__ order
    nullptr,  // m_slots: single-phase initialisation
    nullptr,  // m_traverse
    nullptr,  // m_clear
    nullptr,  // m_free
};

// The first module and the interpreter it belongs to. The module is owned for
// the life of the process: nothing tears it down.
PyObject* first_module = nullptr;
std::int64_t first_interpreter = -1;

// Appends `name` to the module's __all__ (made on first use), then sets the
// attribute. `value` is borrowed; NULL means its creation failed with an error
// set. False with the error set on failure.
bool add_name(PyObject* module, const char* name, PyObject* value) {
  if (value == nullptr) return false;
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = Ref::steal(PyList_New(0));
    if (!all || PyModule_AddObjectRef(module, "__all__", all.get()) < 0) return false;
  }
  Ref text = Ref::steal(PyUnicode_FromString(name));
  if (!text || PyList_Append(all.get(), text.get()) < 0) return false;
  return PyModule_AddObjectRef(module, name, value) == 0;
}

PyObject* create_module() {
  const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (first_module != nullptr) {
    if (interpreter != first_interpreter) {
      PyErr_SetString(PyExc_ImportError, "quarvo._native can be loaded in only one interpreter per process");
      return nullptr;
    }
    return Ref::newref(first_module).release();
  }

  Ref module = Ref::steal(PyModule_Create(&module_def));
  if (!module) return nullptr;
  Ref module_name = Ref::steal(PyModule_GetNameObject(module.get()));
  if (!module_name) return nullptr;
  Ref doctor_function = Ref::steal(PyCFunction_NewEx(&doctor_def, module.get(), module_name.get()));
  if (!doctor_function) return nullptr;

  if (!add_name(module.get(), "QuarvoError", quarvo_error_type()) ||
      !add_name(module.get(), "doctor", doctor_function.get()) || !add_name(module.get(), "Quarvo", quarvo_type()) ||
      !add_name(module.get(), "VolumeInfo", volume_info_type()) ||
      !add_name(module.get(), "MountInfo", mount_info_type()) || !add_name(module.get(), "Status", status_type()) ||
      !add_cli_support(module.get())) {
    return nullptr;
  }
  // Beside __all__, which keeps its six names.
  if (PyModule_AddFunctions(module.get(), beside_all) < 0 || volume_state_type() == nullptr ||
      PyModule_AddObjectRef(module.get(), "VolumeState", volume_state_type()) < 0 ||
      !add_lifecycle_functions(module.get()) || !add_settings_functions(module.get())) {
    return nullptr;
  }
  first_module = Ref::newref(module.get()).release();
  first_interpreter = interpreter;
  return module.release();
}

}  // namespace
}  // namespace quarvo::python

PyMODINIT_FUNC PyInit__native(void) { return quarvo::python::guarded(quarvo::python::create_module); }
