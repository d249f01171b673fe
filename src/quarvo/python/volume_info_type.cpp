// The class VolumeInfo as Python sees it (final, not callable):
//
//   class VolumeInfo:  name, metadata_url, storage, bucket, dev, mountpoint
#include "quarvo/python/classes.hpp"

#include <utility>

#include "quarvo/core/text.hpp"
#include "quarvo/python/instance.hpp"

namespace quarvo::python {
namespace {

PyGetSetDef VolumeInfo_getset[] = {
    {"name", get_text<PyVolumeInfo, &PyVolumeInfo::name>, nullptr, nullptr, nullptr},
    {"metadata_url", get_text<PyVolumeInfo, &PyVolumeInfo::metadata_url>, nullptr, nullptr, nullptr},
    {"storage", get_text<PyVolumeInfo, &PyVolumeInfo::storage>, nullptr, nullptr, nullptr},
    {"bucket", get_text<PyVolumeInfo, &PyVolumeInfo::bucket>, nullptr, nullptr, nullptr},
    {"dev", get_bool<PyVolumeInfo, &PyVolumeInfo::dev>, nullptr, nullptr, nullptr},
    {"mountpoint", get_optional_text<PyVolumeInfo, &PyVolumeInfo::mountpoint>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},  // sentinel
};

PyType_Slot VolumeInfo_slots[] = {
    {Py_tp_dealloc, slot_function(dealloc_instance<PyVolumeInfo>)},
    {Py_tp_getset, VolumeInfo_getset},
    {Py_tp_doc, const_cast<char*>("")},
    {0, nullptr},  // sentinel
};

PyType_Spec VolumeInfo_spec = {
    .name = "builtins.VolumeInfo",
    .basicsize = static_cast<int>(sizeof(Instance<PyVolumeInfo>)),
    .itemsize = 0,
    .flags = kTypeFlags,
    .slots = VolumeInfo_slots,
};

// Owned for the life of the process; the module holds one more reference.
PyObject* volume_info_type_object = nullptr;

}  // namespace

PyVolumeInfo PyVolumeInfo::from(const VolumeInfo& info) {
  PyVolumeInfo out{
      .name = info.name,
      .metadata_url = info.metadata_url,
      .storage = info.storage,
      .bucket = info.bucket,
      .mountpoint = std::nullopt,
      .dev = info.dev,
  };
  if (info.mountpoint) out.mountpoint = path_text(*info.mountpoint);
  return out;
}

PyObject* volume_info_type() { return once(volume_info_type_object, &VolumeInfo_spec); }

Ref new_volume_info(PyVolumeInfo value) { return make_instance(volume_info_type(), std::move(value)); }

}  // namespace quarvo::python
