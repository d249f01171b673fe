#include "quarvo/python/exception.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <exception>
#include <iterator>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>

#include "quarvo/core/text.hpp"
#include "quarvo/python/conversions.hpp"

namespace quarvo::python {
namespace {

Ref none() { return Ref::newref(Py_None); }

Ref path_to_py(const std::filesystem::path& path) { return text_to_py(path_text(path)); }

// --- the fields ------------------------------------------------------------

// One attribute of the exception: how it reads from an error's fields and,
// unless it is derived from another field, how `_error` sets it from a
// Python value (false with a TypeError or ValueError set).
struct Field {
  const char* attribute;
  Ref (*get)(const ErrorFields&);
  bool (*set)(PyObject* value, ErrorFields&);  // null: derived
};

// A text field, reached from ErrorFields through the chain of members `Path`.
template <auto... Path>
constexpr Field text_field(const char* attribute) {
  return {attribute, [](const ErrorFields& f) { return text_to_py((f.*....*Path)); },
          [](PyObject* value, ErrorFields& f) { return text_arg(value, "values", (f.*....*Path)); }};
}

Ref get_path(const ErrorFields& f) { return f.path.empty() ? none() : path_to_py(f.path); }
bool set_path(PyObject* value, ErrorFields& f) {
  std::string text;
  if (!text_arg(value, "values", text)) return false;
  f.path = std::move(text);
  return true;
}

Ref get_source(const ErrorFields& f) { return text_to_py(f.os.text()); }

Ref get_errno(const ErrorFields& f) { return Ref::steal(PyLong_FromLong(f.os.code)); }
bool set_errno(PyObject* value, ErrorFields& f) {
  if (!PyLong_Check(value) || PyBool_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "_error(): errno must be int");
    return false;
  }
  int overflow = 0;
  const long code = PyLong_AsLongAndOverflow(value, &overflow);
  if (overflow != 0 || code < 0 || code > 0xFFFF) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "_error(): errno out of range");
    return false;
  }
  f.os = OsError::from_errno(static_cast<int>(code));
  return true;
}

Ref get_seconds(const ErrorFields& f) {
  return Ref::steal(PyFloat_FromDouble(static_cast<double>(f.bound.count()) / 1000.0));
}
bool set_seconds(PyObject* value, ErrorFields& f) {
  const double seconds = PyFloat_AsDouble(value);
  if (seconds == -1.0 && PyErr_Occurred()) return false;
  if (!(seconds >= 0 && seconds < 1e12)) {  // also false for NaN
    PyErr_SetString(PyExc_ValueError, "_error(): seconds must be a number of seconds, 0 or more");
    return false;
  }
  f.bound = std::chrono::milliseconds(std::llround(seconds * 1000));
  return true;
}

Ref get_held_bytes(const ErrorFields& f) { return Ref::steal(PyLong_FromLongLong(f.held_bytes)); }
bool set_held_bytes(PyObject* value, ErrorFields& f) {
  if (!PyLong_Check(value) || PyBool_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "_error(): held_bytes must be int");
    return false;
  }
  const long long bytes = PyLong_AsLongLong(value);
  if (bytes == -1 && PyErr_Occurred()) return false;
  if (bytes < 0) {
    PyErr_SetString(PyExc_ValueError, "_error(): held_bytes must be 0 or more");
    return false;
  }
  f.held_bytes = bytes;
  return true;
}

// Every field of every kind, in the order the instance's attributes are set.
constexpr Field kFields[] = {
    text_field<&ErrorFields::name>("name"),
    {"path", get_path, set_path},
    text_field<&ErrorFields::url>("url"),
    text_field<&ErrorFields::platform>("platform"),
    text_field<&ErrorFields::detail>("detail"),
    text_field<&ErrorFields::fix>("fix"),
    text_field<&ErrorFields::command, &CommandFailure::program>("program"),
    text_field<&ErrorFields::command, &CommandFailure::args>("command_args"),
    text_field<&ErrorFields::command, &CommandFailure::status>("status"),
    text_field<&ErrorFields::command, &CommandFailure::stdout_text>("stdout"),
    text_field<&ErrorFields::command, &CommandFailure::stderr_text>("stderr"),
    {"source", get_source, nullptr},
    {"errno", get_errno, set_errno},
    text_field<&ErrorFields::what>("command"),
    {"seconds", get_seconds, set_seconds},
    {"held_bytes", get_held_bytes, set_held_bytes},
};
constexpr std::size_t kFieldCount = std::size(kFields);

// The fields a kind's row names, as indexes into kFields, in the row's order;
// kFieldCount for a name that is no field.
struct FieldList {
  std::size_t index[kFieldCount]{};
  std::size_t count = 0;

  [[nodiscard]] constexpr bool has(std::size_t field) const {
    return std::find(index, index + count, field) != index + count;
  }
};

constexpr FieldList fields_named(std::string_view names) {
  FieldList list;
  while (!names.empty() && list.count < kFieldCount) {
    const std::string_view name = names.substr(0, names.find(' '));
    std::size_t i = 0;
    while (i < kFieldCount && std::string_view(kFields[i].attribute) != name) ++i;
    if (!name.empty()) list.index[list.count++] = i;
    names.remove_prefix(std::min(name.size() + 1, names.size()));
  }
  return list;
}

constexpr auto kKindFields = [] {
  std::array<FieldList, kErrorKindCount> all;
  for (std::size_t k = 0; k < kErrorKindCount; ++k) all[k] = fields_named(kErrorKinds[k].fields);
  return all;
}();

constexpr bool every_row_names_fields() {
  for (const FieldList& list : kKindFields) {
    if (list.has(kFieldCount)) return false;
  }
  return true;
}
static_assert(every_row_names_fields(), "a row of error_kinds.inc names a field the exception does not have");

// --- the instance, step by step ----------------------------------------------

// The instance, whose one argument is the message.
Ref new_instance(const QuarvoError& error) {
  Ref message = text_to_py(error.message());
  if (!message) return Ref();
  return Ref::steal(PyObject_CallFunctionObjArgs(quarvo_error_type(), message.get(), nullptr));
}

// kind, reason and log, then every field: the kind's own, the others None,
// so that `e.name` never raises.
bool set_attributes(PyObject* instance, const QuarvoError& error) {
  auto set = [&](const char* attribute, Ref value) {
    return value && PyObject_SetAttrString(instance, attribute, value.get()) == 0;
  };
  if (!set("kind", text_to_py(kind_name(error.kind()))) ||
      !set("reason", error.reason().empty() ? none() : text_to_py(error.reason())) ||
      !set("log", error.log().empty() ? none() : path_to_py(error.log()))) {
    return false;
  }
  const FieldList& own = kKindFields[static_cast<std::size_t>(error.kind())];
  for (std::size_t i = 0; i < kFieldCount; ++i) {
    if (!set(kFields[i].attribute, own.has(i) ? kFields[i].get(error.fields()) : none())) return false;
  }
  return true;
}

// PEP 678 notes, set directly so that 3.10 (no add_note) has them too; a
// traceback shows them under the message from 3.11 on.
bool set_notes(PyObject* instance, const std::string& reason) {
  if (reason.empty()) return true;
  Ref notes = Ref::steal(PyList_New(0));
  Ref text = text_to_py(reason);
  return notes && text && PyList_Append(notes.get(), text.get()) == 0 &&
         PyObject_SetAttrString(instance, "__notes__", notes.get()) == 0;
}

// --- exceptions for C++ ones -------------------------------------------------

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

}  // namespace

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
  Ref instance = new_instance(error);
  if (!instance || !set_attributes(instance.get(), error) || !set_notes(instance.get(), error.reason())) return Ref();
  return instance;
}

PyObject* raise_quarvo_error(const QuarvoError& error) {
  Ref instance = quarvo_error_to_py(error);
  // An instance (not a tuple or a str) is raised as it is.
  if (instance) PyErr_SetObject(quarvo_error_type(), instance.get());
  return nullptr;
}

Ref quarvo_error_from_values(PyObject* args) {
  const Py_ssize_t count = PyTuple_Size(args);
  std::string name;
  if (count < 1) {
    PyErr_SetString(PyExc_TypeError, "_error() needs the kind");
    return Ref();
  }
  if (!text_arg(PyTuple_GetItem(args, 0), "kind", name)) return Ref();
  std::size_t k = 0;
  while (k < kErrorKindCount && kErrorKinds[k].name != name) ++k;
  if (k == kErrorKindCount) {
    PyErr_Format(PyExc_ValueError, "_error(): no kind %s", name.c_str());
    return Ref();
  }
  ErrorFields fields;
  Py_ssize_t next = 1;
  const FieldList& own = kKindFields[k];
  for (std::size_t i = 0; i < own.count && next < count; ++i) {
    const Field& field = kFields[own.index[i]];
    if (field.set != nullptr && !field.set(PyTuple_GetItem(args, next++), fields)) return Ref();
  }
  if (next < count) {
    PyErr_Format(PyExc_TypeError, "_error(): too many values for %s", name.c_str());
    return Ref();
  }
  return quarvo_error_to_py(QuarvoError::of(static_cast<ErrorKind>(k), std::move(fields)));
}

Ref error_kinds_to_py() {
  Ref kinds = Ref::steal(PyDict_New());
  if (!kinds) return Ref();
  for (std::size_t k = 0; k < kErrorKindCount; ++k) {
    const FieldList& own = kKindFields[k];
    Ref fields = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(own.count)));
    if (!fields) return Ref();
    for (std::size_t i = 0; i < own.count; ++i) {
      Ref attribute = text_to_py(kFields[own.index[i]].attribute);
      if (!attribute) return Ref();
      PyTuple_SetItem(fields.get(), static_cast<Py_ssize_t>(i), attribute.release());
    }
    Ref name = text_to_py(kErrorKinds[k].name);
    if (!name || PyDict_SetItem(kinds.get(), name.get(), fields.get()) < 0) return Ref();
  }
  return kinds;
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

}  // namespace quarvo::python
