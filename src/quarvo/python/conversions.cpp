#include "quarvo/python/conversions.hpp"
#include "quarvo/core/text.hpp"

#include <cstdlib>
#include <exception>
#include <filesystem>
#include <new>
#include <stdexcept>

namespace quarvo::python {
namespace {

// The __name__ or __module__ of an object's type as a new str; empty with no
// error set when it cannot be read.
Ref type_attribute(PyObject* value, const char* attribute) {
  Ref text = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)), attribute));
  if (!text || !PyUnicode_Check(text.get())) {
    PyErr_Clear();
    return Ref();
  }
  return text;
}

// Raises "argument 'PARAM' must be EXPECTED, not TYPE"; returns false.
bool wrong_type(PyObject* value, const char* param, const char* expected) {
  Ref name = type_attribute(value, "__name__");
  if (name) {
    PyErr_Format(PyExc_TypeError, "argument '%s' must be %s, not %U", param, expected, name.get());
  } else {
    PyErr_Format(PyExc_TypeError, "argument '%s' must be %s", param, expected);
  }
  return false;
}

// NumPy's boolean scalar is numpy.bool_ (numpy.bool from NumPy 2 on). It is
// recognised by name so that the module never imports NumPy itself.
bool is_numpy_bool(PyObject* value) {
  Ref module = type_attribute(value, "__module__");
  if (!module || PyUnicode_CompareWithASCIIString(module.get(), "numpy") != 0) return false;
  Ref name = type_attribute(value, "__name__");
  return name && (PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
                  PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0);
}

// quarvo.PanicException (base BaseException): an internal fault that escaped
// as a C++ exception. Borrowed; NULL if it could not be created.
PyObject* panic_exception_type() noexcept {
  // Owned for the life of the process. Deliberately not in __all__: it is not
  // part of what callers are meant to catch.
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewException("quarvo.PanicException", PyExc_BaseException, nullptr);
    if (type == nullptr) PyErr_Clear();
  }
  return type;
}

void set_panic(const char* what) {
  PyObject* type = panic_exception_type();
  if (type == nullptr) {
    PyErr_SetString(PyExc_SystemError, what);
    return;
  }
  Ref text = text_to_py(what);
  if (text) PyErr_SetObject(type, text.get());
}

// The name Python sees for a kind ("VolumeNotFound").
const char* kind_name(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::InvalidVolumeName:
      return "InvalidVolumeName";
    case ErrorKind::VolumeExists:
      return "VolumeExists";
    case ErrorKind::VolumeNotFound:
      return "VolumeNotFound";
    case ErrorKind::StorageBackendMissing:
      return "StorageBackendMissing";
    case ErrorKind::AutoInstallUnsupported:
      return "AutoInstallUnsupported";
    case ErrorKind::StorageBackendInstallFailed:
      return "StorageBackendInstallFailed";
    case ErrorKind::UnsupportedStoreUrl:
      return "UnsupportedStoreUrl";
    case ErrorKind::MissingMetadataUrl:
      return "MissingMetadataUrl";
    case ErrorKind::MissingObjectStorage:
      return "MissingObjectStorage";
    case ErrorKind::MountpointNotDirectory:
      return "MountpointNotDirectory";
    case ErrorKind::VolumeNotMounted:
      return "VolumeNotMounted";
    case ErrorKind::MountSupportUnavailable:
      return "MountSupportUnavailable";
    case ErrorKind::CommandFailed:
      return "CommandFailed";
    case ErrorKind::IoAt:
      return "IoAt";
    case ErrorKind::Io:
      return "Io";
    case ErrorKind::TomlParse:
      return "TomlParse";
    case ErrorKind::TomlWrite:
      return "TomlWrite";
    case ErrorKind::TimedOut:
      return "TimedOut";
    case ErrorKind::Interrupted:
      return "Interrupted";
    case ErrorKind::VolumeMounted:
      return "VolumeMounted";
    case ErrorKind::MountFailed:
      return "MountFailed";
    case ErrorKind::VolumeMismatch:
      return "VolumeMismatch";
  }
  return "Unknown";  // unreachable: the switch covers every kind
}

Ref path_to_py(const std::filesystem::path& path) { return text_to_py(path_text(path)); }

Ref optional_path_to_py(const std::optional<std::filesystem::path>& path) {
  if (!path) return Ref::newref(Py_None);
  return path_to_py(*path);
}

// Stores `value` under `key`; false with the error set when either step failed.
bool set_item(const Ref& dict, const char* key, Ref value) {
  return value && PyDict_SetItemString(dict.get(), key, value.get()) == 0;
}

}  // namespace

// --- exception types -------------------------------------------------------

PyObject* quarvo_error_type() {
  // Owned for the life of the process; the module holds one more reference.
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewException("quarvo.QuarvoError", PyExc_Exception, nullptr);
    if (type == nullptr) {
      PyErr_Clear();
      throw std::runtime_error("Failed to initialize new exception type.");
    }
  }
  return type;
}

Ref quarvo_error_to_py(const QuarvoError& error) {
  Ref message = text_to_py(error.message());
  if (!message) return Ref();
  Ref instance = Ref::steal(PyObject_CallFunctionObjArgs(quarvo_error_type(), message.get(), nullptr));
  if (!instance) return Ref();

  // Every field, None unless the kind has it, so that `e.name` never raises.
  struct Field {
    const char* name;
    Ref value;
  };
  Field fields[] = {{"kind", text_to_py(kind_name(error.kind()))},
                    {"reason", Ref()},
                    {"log", Ref()},
                    {"name", Ref()},
                    {"path", Ref()},
                    {"url", Ref()},
                    {"platform", Ref()},
                    {"detail", Ref()},
                    {"fix", Ref()},
                    {"program", Ref()},
                    {"command_args", Ref()},
                    {"status", Ref()},
                    {"stdout", Ref()},
                    {"stderr", Ref()},
                    {"source", Ref()},
                    {"errno", Ref()},
                    {"command", Ref()},
                    {"seconds", Ref()}};
  auto set = [&](const char* name, Ref value) {
    for (Field& f : fields) {
      if (std::string_view(f.name) == name) f.value = std::move(value);
    }
  };
  if (!error.reason().empty()) set("reason", text_to_py(error.reason()));
  if (!error.log().empty()) set("log", path_to_py(error.log()));
  switch (error.kind()) {
    case ErrorKind::InvalidVolumeName:
    case ErrorKind::VolumeExists:
    case ErrorKind::VolumeNotFound:
    case ErrorKind::VolumeNotMounted:
      set("name", text_to_py(error.text()));
      break;
    case ErrorKind::AutoInstallUnsupported:
      set("platform", text_to_py(error.text()));
      break;
    case ErrorKind::StorageBackendInstallFailed:
    case ErrorKind::TomlParse:
    case ErrorKind::TomlWrite:
      set("detail", text_to_py(error.text()));
      // A TOML error read from a file names it (the text gives only line and column).
      if (!error.path().empty()) set("path", path_to_py(error.path()));
      break;
    case ErrorKind::UnsupportedStoreUrl:
      set("url", text_to_py(error.text()));
      break;
    case ErrorKind::MountpointNotDirectory:
      set("path", path_to_py(error.path()));
      break;
    case ErrorKind::MountSupportUnavailable:
      set("detail", text_to_py(error.text()));
      set("fix", text_to_py(error.fix()));
      break;
    case ErrorKind::CommandFailed: {
      const CommandFailure& c = error.command();
      set("program", text_to_py(c.program));
      set("command_args", text_to_py(c.args));
      set("status", text_to_py(c.status));
      set("stdout", text_to_py(c.stdout_text));
      set("stderr", text_to_py(c.stderr_text));
      break;
    }
    case ErrorKind::IoAt:
    case ErrorKind::Io:
      if (error.kind() == ErrorKind::IoAt) set("path", path_to_py(error.path()));
      set("source", text_to_py(error.os_error().text()));
      set("errno", Ref::steal(PyLong_FromLong(error.os_error().code)));
      break;
    case ErrorKind::TimedOut:
      set("command", text_to_py(error.text()));
      set("seconds", Ref::steal(PyFloat_FromDouble(std::strtod(error.detail().c_str(), nullptr))));
      break;
    case ErrorKind::VolumeMounted:
      set("name", text_to_py(error.text()));
      set("path", path_to_py(error.path()));
      break;
    case ErrorKind::MountFailed:
      set("name", text_to_py(error.text()));
      set("path", path_to_py(error.path()));
      set("detail", text_to_py(error.detail()));
      break;
    case ErrorKind::VolumeMismatch:
      set("name", text_to_py(error.text()));
      set("detail", text_to_py(error.detail()));
      break;
    case ErrorKind::StorageBackendMissing:
    case ErrorKind::MissingMetadataUrl:
    case ErrorKind::MissingObjectStorage:
    case ErrorKind::Interrupted:
      break;
  }
  if (PyErr_Occurred()) return Ref();  // a value above could not be made
  for (Field& f : fields) {
    PyObject* value = f.value ? f.value.get() : Py_None;
    if (PyObject_SetAttrString(instance.get(), f.name, value) < 0) return Ref();
  }
  // PEP 678 notes, set directly so that 3.10 (no add_note) has them too;
  // a traceback shows them under the message from 3.11 on.
  if (!error.reason().empty()) {
    Ref notes = Ref::steal(PyList_New(0));
    Ref reason = text_to_py(error.reason());
    if (!notes || !reason || PyList_Append(notes.get(), reason.get()) < 0 ||
        PyObject_SetAttrString(instance.get(), "__notes__", notes.get()) < 0) {
      return Ref();
    }
  }
  return instance;
}

PyObject* raise_quarvo_error(const QuarvoError& error) {
  Ref instance = quarvo_error_to_py(error);
  // An instance (not a tuple or a str) is raised as it is.
  if (instance) PyErr_SetObject(quarvo_error_type(), instance.get());
  return nullptr;
}

void set_error_from_current_exception() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    set_panic(e.what());
  } catch (...) {
    set_panic("unknown C++ exception");
  }
}

// --- arguments -------------------------------------------------------------

bool text_arg(PyObject* value, const char* param, std::string& out) {
  if (!PyUnicode_Check(value)) return wrong_type(value, param, "str");
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(value, &size);
  if (data == nullptr) {
    // A lone surrogate has no UTF-8 form; any other failure (memory) stays.
    if (PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "argument '%s' must be str encodable as UTF-8 (it holds a lone surrogate)", param);
    }
    return false;
  }
  out.assign(data, static_cast<std::size_t>(size));
  return true;
}

bool optional_text_arg(PyObject* value, const char* param, std::optional<std::string>& out) {
  if (value == nullptr || value == Py_None) {
    out.reset();
    return true;
  }
  if (!PyUnicode_Check(value)) return wrong_type(value, param, "str or None");
  std::string text;
  if (!text_arg(value, param, text)) return false;
  out = std::move(text);
  return true;
}

bool bool_arg(PyObject* value, const char* param, bool& out) {
  if (value == nullptr || value == Py_False) {
    out = false;
    return true;
  }
  if (value == Py_True) {
    out = true;
    return true;
  }
  if (is_numpy_bool(value)) {
    int truth = PyObject_IsTrue(value);  // numpy.bool_.__bool__
    if (truth < 0) return false;
    out = truth != 0;
    return true;
  }
  return wrong_type(value, param, "bool");
}

// --- values ----------------------------------------------------------------

Ref text_to_py(std::string_view text) {
  return Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

Ref optional_text_to_py(const std::optional<std::string>& text) {
  if (!text) return Ref::newref(Py_None);
  return text_to_py(*text);
}

Ref bool_to_py(bool value) { return Ref::steal(PyBool_FromLong(value ? 1 : 0)); }

PyObject* doctor_report_to_py(DoctorReport report) {
  Ref out = Ref::steal(PyDict_New());
  if (!out) return nullptr;
  if (!set_item(out, "home", path_to_py(report.home))) return nullptr;
  if (!set_item(out, "config", path_to_py(report.config))) return nullptr;

  const StorageBackendReport& backend_report = report.storage_backend;
  Ref backend = Ref::steal(PyDict_New());
  if (!backend) return nullptr;
  if (!set_item(backend, "found", bool_to_py(backend_report.found)) ||
      !set_item(backend, "path", optional_path_to_py(backend_report.path)) ||
      !set_item(backend, "version", optional_text_to_py(backend_report.version)) ||
      !set_item(backend, "managed", bool_to_py(backend_report.managed)) ||
      !set_item(out, "storage_backend", std::move(backend))) {
    return nullptr;
  }

  const MountSupport& mount_report = report.mount_support;
  Ref mount = Ref::steal(PyDict_New());
  if (!mount) return nullptr;
  if (!set_item(mount, "found", bool_to_py(mount_report.found)) ||
      !set_item(mount, "detail", text_to_py(mount_report.detail)) ||
      !set_item(mount, "fix", optional_text_to_py(mount_report.fix)) ||
      !set_item(out, "mount_support", std::move(mount))) {
    return nullptr;
  }
  return out.release();
}

}  // namespace quarvo::python
