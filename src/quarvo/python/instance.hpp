// quarvo/python/instance.hpp: what the heap types of the module share.
//
// Every instance is the object header followed by its native value, built in
// place by `make_instance` and destroyed by `dealloc_instance`; the getters
// turn one field of the value into a new Python object. Internal to the
// extension: the type files and the module include it.
#ifndef QUARVO_PYTHON_INSTANCE_HPP_
#define QUARVO_PYTHON_INSTANCE_HPP_

#include <new>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "quarvo/python/conversions.hpp"
#include "quarvo/python/refs.hpp"

namespace quarvo::python {

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
inline PyObject* once(PyObject*& type, PyType_Spec* spec) {
  if (type == nullptr) type = PyType_FromSpec(spec);
  return type;
}

// The type names carry "builtins.": a heap type takes its __module__ from the
// text before the last dot, and one without a dot has none at all (and warns
// when made). So __name__ is the bare class name and the classes print as
// <class 'builtins.Quarvo'>.
// No Py_TPFLAGS_BASETYPE: a Python subclass could not give the native value
// a meaning.
inline constexpr auto kTypeFlags =
    static_cast<unsigned int>(Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE);

// --- getters -------------------------------------------------------------------

template <class T, std::string T::* Field>
PyObject* get_text(PyObject* self, void*) {
  return guarded([&] { return text_to_py(value_of<T>(self).*Field).release(); });
}

template <class T, std::optional<std::string> T::* Field>
PyObject* get_optional_text(PyObject* self, void*) {
  return guarded([&] { return optional_text_to_py(value_of<T>(self).*Field).release(); });
}

}  // namespace quarvo::python

#endif  // QUARVO_PYTHON_INSTANCE_HPP_
