// quarvo/python/snapshot.hpp: the result objects as values.
//
// VolumeInfo, MountInfo, Status and VolumeState are immutable snapshots, so
// they behave as values: two of one type are equal when their native values
// are (`==`; a VolumeState's error by kind and message), equal ones hash
// alike, and the repr shows every field as its getter gives it:
//
//   >>> q.status("data").volumes[0]
//   VolumeInfo(name='data', metadata_url='redis://:****@db:6379/1', storage='file',
//              bucket='/srv/data', dev=False, mountpoint=None)
//
// A repr masks the passwords of URLs (tracebacks and logs print reprs); the
// attributes keep them as stored. Ordering is not defined: `<` raises
// TypeError, and so does comparing with another type's object (`==` is then
// False).
#ifndef QUARVO_PYTHON_SNAPSHOT_HPP_
#define QUARVO_PYTHON_SNAPSHOT_HPP_

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quarvo/python/instance.hpp"
#include "quarvo/python/refs.hpp"

namespace quarvo::python {

// "Type(field=repr, ...)", built field by field; the first failure sticks
// and finish() then gives NULL with the error set.
class Repr {
 public:
  explicit Repr(const char* type) : type_(type) {}

  Repr& field(const char* name, Ref value);
  Repr& text(const char* name, std::string_view value) { return field(name, text_to_py(value)); }
  Repr& optional_text(const char* name, const std::optional<std::string>& value) {
    return field(name, optional_text_to_py(value));
  }
  // A URL with its passwords masked.
  Repr& url(const char* name, std::string_view value);

  [[nodiscard]] PyObject* finish();

 private:
  const char* type_;
  std::vector<Ref> parts_;  // "name=repr" each
  bool failed_ = false;
};

// A hash mixed from the fields of a value, never -1 (CPython's error value).
class Hash {
 public:
  Hash& mix(std::size_t h) {
    // The mixing step of boost::hash_combine.
    seed_ ^= h + 0x9e3779b97f4a7c15ULL + (seed_ << 6) + (seed_ >> 2);
    return *this;
  }
  Hash& text(std::string_view text) { return mix(std::hash<std::string_view>{}(text)); }
  Hash& optional_text(const std::optional<std::string>& text) { return text ? mix(1).text(*text) : mix(0); }

  [[nodiscard]] Py_hash_t value() const {
    const auto h = static_cast<Py_hash_t>(seed_);
    return h == -1 ? -2 : h;
  }

 private:
  std::size_t seed_ = 0;
};

// tp_richcompare of a result type: == and != by T's operator==, anything
// else (another type, an order) NotImplemented.
template <class T>
PyObject* richcompare_values(PyObject* a, PyObject* b, int op) {
  if ((op != Py_EQ && op != Py_NE) || Py_TYPE(a) != Py_TYPE(b)) Py_RETURN_NOTIMPLEMENTED;
  const bool equal = value_of<T>(a) == value_of<T>(b);
  return Py_NewRef(equal == (op == Py_EQ) ? Py_True : Py_False);
}

// tp_hash of a result type, from `hash_of(const T&)`.
template <class T, Py_hash_t (*HashOf)(const T&)>
Py_hash_t hash_value(PyObject* self) {
  return HashOf(value_of<T>(self));
}

}  // namespace quarvo::python

#endif  // QUARVO_PYTHON_SNAPSHOT_HPP_
