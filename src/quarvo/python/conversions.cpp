#include "quarvo/python/conversions.hpp"
#include "quarvo/core/config.hpp"
#include "quarvo/core/text.hpp"

#include <filesystem>

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

bool path_arg(PyObject* value, const char* param, std::string& out) {
  if (!PyUnicode_Check(value)) return wrong_type(value, param, "str");
  Ref bytes = Ref::steal(PyUnicode_EncodeFSDefault(value));
  if (!bytes) return false;
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) != 0) return false;
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

bool optional_seconds_arg(PyObject* value, const char* param, std::optional<std::chrono::milliseconds>& out) {
  out.reset();
  if (value == nullptr || value == Py_None) return true;
  if (PyBool_Check(value) || !(PyLong_Check(value) || PyFloat_Check(value))) {
    return wrong_type(value, param, "int, float or None");
  }
  const double seconds = PyFloat_AsDouble(value);
  if (seconds == -1.0 && PyErr_Occurred() != nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
    PyErr_Clear();  // an int too large for a float: out of range below
  }
  out = timeout_from_seconds(seconds);
  if (out) return true;
  Ref shown = Ref::steal(PyObject_Repr(value));
  std::string text;
  if (!shown || !text_arg(shown.get(), param, text)) return false;
  (void)raise_quarvo_error(
      QuarvoError::invalid_argument(std::string(param) + " must be a positive number of seconds, not " + text));
  return false;
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
