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
// leaves an entry point; `raise_quarvo_error` is the one place where a
// `QuarvoError` becomes `quarvo.QuarvoError`. The argument converters accept
// exactly the Python types each parameter kind allows and raise a TypeError
// naming the parameter otherwise. The value converters build new Python
// objects from service values.
#ifndef QUARVO_PYTHON_CONVERSIONS_HPP_
#define QUARVO_PYTHON_CONVERSIONS_HPP_

#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "quarvo/core/error.hpp"
#include "quarvo/juicefs/doctor.hpp"
#include "quarvo/python/refs.hpp"

namespace quarvo::python {

// --- exception types -------------------------------------------------------

// quarvo.QuarvoError (base Exception), created on first need and kept for the
// life of the process. Borrowed. Throws std::runtime_error when the type
// cannot be created: an import without its exception type must not succeed.
[[nodiscard]] PyObject* quarvo_error_type();

// A new quarvo.QuarvoError instance for `error`:
//
//   e.args == (message,)         str(e) is the message, exactly
//   e.kind                       the kind's name: "VolumeNotFound", "CommandFailed", ...
//   e.reason, e.log              the backend's own reason and the log it came from, or None
//   e.__notes__ == [reason]      only when there is a reason (PEP 678)
//   e.name, e.path, e.url, e.platform, e.detail, e.fix,
//   e.program, e.command_args, e.status, e.stdout, e.stderr,
//   e.source, e.errno, e.command, e.seconds
//                                the kind's fields; None where the kind has none
//
// CommandFailed's argument text is `command_args`, since `args` is the
// exception's own. The one place where the exception's instances are built,
// for raising and for results that carry an error (VolumeState.error).
// Empty with the Python error set on failure.
[[nodiscard]] Ref quarvo_error_to_py(const QuarvoError& error);

// Raises the instance above. Always returns NULL, so a caller can
// `return raise_quarvo_error(e);`.
[[nodiscard]] PyObject* raise_quarvo_error(const QuarvoError& error);

// Sets the Python error for the C++ exception being handled: MemoryError for
// std::bad_alloc, PanicException with the exception's text for anything else.
void set_error_from_current_exception() noexcept;

// Runs the body of an entry point. A C++ exception escaping it becomes a
// Python error (see above) and the entry point returns NULL.
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
[[nodiscard]] bool optional_text_arg(PyObject* value, const char* param, std::optional<std::string>& out);

// True, False or a NumPy boolean scalar; omitted is false. None, integers and
// everything else are rejected.
[[nodiscard]] bool bool_arg(PyObject* value, const char* param, bool& out);

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
