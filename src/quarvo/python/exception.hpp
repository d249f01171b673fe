// quarvo/python/exception.hpp: QuarvoError as the Python exception, and the
// exceptions that stand for C++ ones.
//
//   class QuarvoError(Exception):
//       args == (message,)        str(e) is the message, exactly
//       kind: str                 the kind's name: "VolumeNotFound", "CommandFailed", ...
//       reason, log               the backend's own reason and the log it came from, or None
//       __notes__ == [reason]     only when there is a reason (PEP 678)
//       name, path, url, platform, detail, fix, program, command_args, status,
//       stdout, stderr, source, errno, command, seconds
//                                 the kind's fields; None where the kind has none
//
// Which fields a kind has comes from the kinds table
// (quarvo/core/error_kinds.inc); how each field reads, and how `_error` sets
// it from a Python value, from the one table of fields in exception.cpp.
// CommandFailed's argument text is `command_args`, since `args` is the
// exception's own.
#ifndef QUARVO_PYTHON_EXCEPTION_HPP_
#define QUARVO_PYTHON_EXCEPTION_HPP_

#include "quarvo/core/error.hpp"
#include "quarvo/python/refs.hpp"

namespace quarvo::python {

// quarvo.QuarvoError (base Exception), created on first need and kept for the
// life of the process. Borrowed. Throws std::runtime_error when the type
// cannot be created: an import without its exception type must not succeed.
[[nodiscard]] PyObject* quarvo_error_type();

// A new quarvo.QuarvoError instance for `error`, as above. The one place
// where the exception's instances are built, for raising and for results
// that carry an error (VolumeState.error). Empty with the Python error set
// on failure.
[[nodiscard]] Ref quarvo_error_to_py(const QuarvoError& error);

// Raises the instance above. Always returns NULL, so a caller can
// `return raise_quarvo_error(e);`.
[[nodiscard]] PyObject* raise_quarvo_error(const QuarvoError& error);

// `_error(kind, *values)`: the instance for the kind named by args[0], its
// fields set from the values in the order of the kind's row (fields not given
// stay empty). TypeError or ValueError for an unknown kind, too many values or
// a value of the wrong type. Empty with the error set on failure.
[[nodiscard]] Ref quarvo_error_from_values(PyObject* args);

// `_error_kinds()`: {kind name: (field, ...)} for every kind, in the table's
// order.
[[nodiscard]] Ref error_kinds_to_py();

// Sets the Python error for the C++ exception being handled: MemoryError for
// std::bad_alloc, PanicException with the exception's text for anything else.
void set_error_from_current_exception() noexcept;

}  // namespace quarvo::python

#endif  // QUARVO_PYTHON_EXCEPTION_HPP_
