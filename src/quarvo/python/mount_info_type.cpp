// The class MountInfo as Python sees it (final, not callable):
//
//   class MountInfo:   name, mountpoint
#include "quarvo/python/classes.hpp"

#include <utility>

#include "quarvo/core/text.hpp"
#include "quarvo/python/instance.hpp"

namespace quarvo::python {
namespace {

PyGetSetDef MountInfo_getset[] = {
    {"name", get_text<PyMountInfo, &PyMountInfo::name>, nullptr, nullptr, nullptr},
    {"mountpoint", get_text<PyMountInfo, &PyMountInfo::mountpoint>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},  // sentinel
};

PyType_Slot MountInfo_slots[] = {
    {Py_tp_dealloc, slot_function(dealloc_instance<PyMountInfo>)},
    {Py_tp_getset, MountInfo_getset},
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
