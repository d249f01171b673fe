// The class MountInfo as Python sees it (final, not callable; a value, see
// snapshot.hpp):
//
//   class MountInfo:   name, mountpoint
#include "quarvo/python/classes.hpp"

#include <utility>

#include "quarvo/core/text.hpp"
#include "quarvo/python/instance.hpp"
#include "quarvo/python/snapshot.hpp"

namespace quarvo::python {
namespace {

PyObject* MountInfo_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    const PyMountInfo& m = value_of<PyMountInfo>(self);
    return Repr("MountInfo").text("name", m.name).text("mountpoint", m.mountpoint).finish();
  });
}

Py_hash_t hash_of(const PyMountInfo& m) { return Hash().text(m.name).text(m.mountpoint).value(); }

PyGetSetDef MountInfo_getset[] = {
    {"name", get_text<PyMountInfo, &PyMountInfo::name>, nullptr, nullptr, nullptr},
    {"mountpoint", get_text<PyMountInfo, &PyMountInfo::mountpoint>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},  // sentinel
};

PyType_Slot MountInfo_slots[] = {
    {Py_tp_dealloc, slot_function(dealloc_instance<PyMountInfo>)},
    {Py_tp_getset, MountInfo_getset},
    {Py_tp_repr, slot_function(MountInfo_repr)},
    {Py_tp_richcompare, slot_function(richcompare_values<PyMountInfo>)},
    {Py_tp_hash, slot_function(hash_value<PyMountInfo, hash_of>)},
    {Py_tp_doc, const_cast<char*>("")},
    {0, nullptr},  // sentinel
};

PyType_Spec MountInfo_spec = {
    .name = "builtins.MountInfo",
    .basicsize = static_cast<int>(sizeof(Instance<PyMountInfo>)),
    .itemsize = 0,
    .flags = kTypeFlags,
    .slots = MountInfo_slots,
};

// Owned for the life of the process; the module holds one more reference.
PyObject* mount_info_type_object = nullptr;

}  // namespace

PyMountInfo PyMountInfo::from(const MountedVolume& mounted) {
  return PyMountInfo{.name = mounted.name, .mountpoint = path_text(mounted.mountpoint)};
}

PyObject* mount_info_type() { return once(mount_info_type_object, &MountInfo_spec); }

Ref new_mount_info(PyMountInfo value) { return make_instance(mount_info_type(), std::move(value)); }

}  // namespace quarvo::python
