// quarvo/python/conversions.hpp: the boundary between Python and the service.
//
// Every callable the module exposes follows one call frame:
//
//   PyObject* Quarvo_flush(PyObject* self, PyObject* args, PyObject* kwargs) {
//     return guarded([&]() -> PyObject* {
//       ... bind with PyArg_ParseTupleAndKeywords, convert with text_arg ...
//       auto r = service.flush(name);
//       if (!r) return raise_quarvo_error(r.error());
//       Py_RETURN_NONE;
//     });
//   }
//
// `guarded` is the one place where C++ exceptions are caught, so none ever
// leaves an entry point; `raise_quarvo_error` (exception.hpp) is the one
// place where a `QuarvoError` becomes `quarvo.QuarvoError`. The argument
// converters accept exactly the Python types each parameter kind allows and
// raise a TypeError naming the parameter otherwise. The value converters build new Python
// objects from service values.
#ifndef QUARVO_PYTHON_CONVERSIONS_HPP_
#define QUARVO_PYTHON_CONVERSIONS_HPP_

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "quarvo/core/error.hpp"
#include "quarvo/juicefs/doctor.hpp"
#include "quarvo/python/exception.hpp"
#include "quarvo/python/refs.hpp"

namespace quarvo::python {

// Runs the body of an entry point. A C++ exception escaping it becomes a
// Python error (set_error_from_current_exception) and the entry point
// returns NULL.
template <class Body>
[[nodiscard]] PyObject* guarded(Body&& body) noexcept {
  try {
    return std::forward<Body>(body)();
  } catch (...) {
    set_error_from_current_exception();
    return nullptr;
  }
}

// --- arguments ----------------------------------------------------------------
// Each converter returns false with a TypeError set that names `param`.
// `value` is NULL when the argument was omitted (optional parameters only).

// A str (not bytes, not a path-like object), encoded as UTF-8; a str holding
// lone surrogates is rejected.
[[nodiscard]] bool text_arg(PyObject* value, const char* param, std::string& out);

// Omitted or None: absent; anything else converts as text.
// A path: str, its bytes as the file system encoding gives them (so a name
// read from a non-UTF-8 file name, with its bytes as lone surrogates, is
// those bytes again); false with TypeError for anything else.
[[nodiscard]] bool path_arg(PyObject* value, const char* param, std::string& out);
[[nodiscard]] bool optional_text_arg(PyObject* value, const char* param, std::optional<std::string>& out);

// True, False or a NumPy boolean scalar; omitted is false. None, integers and
// everything else are rejected.
[[nodiscard]] bool bool_arg(PyObject* value, const char* param, bool& out);

// A bound in seconds: omitted or None is absent; an int or a float (not a
// bool) that is finite, above 0 and at most 10^9 is the bound (at least
// 1 ms); another number raises QuarvoError InvalidArgument naming `param`,
// another type TypeError.
[[nodiscard]] bool optional_seconds_arg(PyObject* value, const char* param,
                                        std::optional<std::chrono::milliseconds>& out);

// --- values -----------------------------------------------------------------
// Each returns an empty Ref with a Python error set when allocation fails.

// A new str; bytes that are not valid UTF-8 become U+FFFD.
[[nodiscard]] Ref text_to_py(std::string_view text);
// None when absent.
[[nodiscard]] Ref optional_text_to_py(const std::optional<std::string>& text);
// The True or False singleton.
[[nodiscard]] Ref bool_to_py(bool value);

// The doctor's report as a new nested dictionary: "home", "config",
// "storage_backend" {found, path, version, managed}, "mount_support"
// {found, detail, fix}, keys in that order and always present (None for an
// absent value). New reference, or NULL with the error set.
[[nodiscard]] PyObject* doctor_report_to_py(DoctorReport report);

}  // namespace quarvo::python

#endif  // QUARVO_PYTHON_CONVERSIONS_HPP_
