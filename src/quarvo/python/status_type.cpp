// The class Status as Python sees it (final, not callable; a value, see
// snapshot.hpp):
//
//   class Status:      volumes (a new list of new VolumeInfo on every read)
#include "quarvo/python/classes.hpp"

#include <cstddef>
#include <memory>
#include <utility>
#include <vector>

#include "quarvo/python/instance.hpp"
#include "quarvo/python/snapshot.hpp"

namespace quarvo::python {
namespace {

// A new list of new VolumeInfo objects, so that callers who change the list
// or its elements' bindings never change the Status itself.
PyObject* Status_volumes(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    const std::shared_ptr<const std::vector<VolumeInfo>>& volumes = value_of<PyStatus>(self).volumes;
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(volumes->size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < volumes->size(); ++i) {
      // Shares the element (and, through it, the list): views never change.
      Ref item = new_volume_info(PyVolumeInfo{std::shared_ptr<const VolumeInfo>(volumes, &(*volumes)[i])});
      if (!item) return nullptr;
      // PyList_SetItem takes the reference even when it fails.
      if (PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item.release()) < 0) return nullptr;
    }
    return list.release();
  });
}

PyObject* Status_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    return Repr("Status").field("volumes", Ref::steal(Status_volumes(self, nullptr))).finish();
  });
}

Py_hash_t hash_of(const PyStatus& s) {
  Hash h;
  for (const VolumeInfo& v : *s.volumes) h.mix(hash_volume_info(v));
  return h.value();
}

PyGetSetDef Status_getset[] = {
    {"volumes", Status_volumes, nullptr, nullptr, nullptr}, {nullptr, nullptr, nullptr, nullptr, nullptr},  // sentinel
};

PyType_Slot Status_slots[] = {
    {Py_tp_dealloc, slot_function(dealloc_instance<PyStatus>)},
    {Py_tp_getset, Status_getset},
    {Py_tp_repr, slot_function(Status_repr)},
    {Py_tp_richcompare, slot_function(richcompare_values<PyStatus>)},
    {Py_tp_hash, slot_function(hash_value<PyStatus, hash_of>)},
    {Py_tp_doc, const_cast<char*>("")},
    {0, nullptr},  // sentinel
};

PyType_Spec Status_spec = {
    .name = "builtins.Status",
    .basicsize = static_cast<int>(sizeof(Instance<PyStatus>)),
    .itemsize = 0,
    .flags = kTypeFlags,
    .slots = Status_slots,
};

// Owned for the life of the process; the module holds one more reference.
PyObject* status_type_object = nullptr;

}  // namespace

PyStatus PyStatus::from(std::vector<VolumeInfo>&& infos) {
  return PyStatus{std::make_shared<const std::vector<VolumeInfo>>(std::move(infos))};
}

PyObject* status_type() { return once(status_type_object, &Status_spec); }

Ref new_status(PyStatus value) { return make_instance(status_type(), std::move(value)); }

}  // namespace quarvo::python
