// quarvo/python/refs.hpp: ownership of Python object references.
//
// Rules of use in the binding:
//   - A new reference returned by the C API goes straight into a `Ref` with
//     `Ref::steal(p)`; to keep a borrowed pointer alive, use `Ref::newref(p)`.
//   - Borrowed references stay plain `PyObject*` and are never released.
//   - A `Ref` is released exactly once, when it goes out of scope, unless its
//     reference is handed back to CPython with `release()` (a return value,
//     or an argument of a stealing call such as PyList_SetItem).
//
//   Ref text = Ref::steal(PyUnicode_FromString("x"));
//   if (!text) return nullptr;                      // error already set
//   if (PyDict_SetItemString(dict.get(), "k", text.get()) < 0) return nullptr;
//   return dict.release();
//
// There is deliberately no implicit conversion to `PyObject*`: a wrapped
// pointer cannot reach Py_DECREF or a stealing call by accident, so every
// hand-over is spelled `get()` (borrow) or `release()` (give away).
#ifndef QUARVO_PYTHON_REFS_HPP_
#define QUARVO_PYTHON_REFS_HPP_

#ifndef PY_SSIZE_T_CLEAN
#define PY_SSIZE_T_CLEAN
#endif
#include <Python.h>

namespace quarvo::python {

class [[nodiscard]] Ref {
 public:
  Ref() = default;
  Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(p_);
      p_ = other.p_;
      other.p_ = nullptr;
    }
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(p_); }

  // Takes over a new reference (may be NULL, for a failed API call).
  static Ref steal(PyObject* p) { return Ref(p); }
  // Adds a reference to a borrowed pointer (may be NULL).
  static Ref newref(PyObject* p) {
    Py_XINCREF(p);
    return Ref(p);
  }

  // Borrowed: valid while this Ref holds it.
  [[nodiscard]] PyObject* get() const { return p_; }
  // The reference goes to the caller; this Ref is left empty.
  [[nodiscard]] PyObject* release() {
    PyObject* p = p_;
    p_ = nullptr;
    return p;
  }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  explicit Ref(PyObject* p) : p_(p) {}
  PyObject* p_ = nullptr;  // owned; NULL when empty
};

}  // namespace quarvo::python

#endif  // QUARVO_PYTHON_REFS_HPP_
