#include "quarvo/python/snapshot.hpp"

#include <utility>

#include "quarvo/core/secrets.hpp"

namespace quarvo::python {

Repr& Repr::field(const char* name, Ref value) {
  if (failed_) return *this;
  Ref part = value ? Ref::steal(PyUnicode_FromFormat("%s=%R", name, value.get())) : Ref();
  if (!part) {
    failed_ = true;
    return *this;
  }
  parts_.push_back(std::move(part));
  return *this;
}

Repr& Repr::url(const char* name, std::string_view value) { return text(name, mask_url(value)); }

PyObject* Repr::finish() {
  if (failed_) return nullptr;
  Ref list = Ref::steal(PyList_New(0));
  for (const Ref& part : parts_) {
    if (!list || PyList_Append(list.get(), part.get()) < 0) return nullptr;
  }
  Ref separator = Ref::steal(PyUnicode_FromString(", "));
  Ref joined = separator ? Ref::steal(PyUnicode_Join(separator.get(), list.get())) : Ref();
  if (!joined) return nullptr;
  return PyUnicode_FromFormat("%s(%U)", type_, joined.get());
}

}  // namespace quarvo::python
