// The class VolumeInfo as Python sees it (final, not callable; a value, see
// snapshot.hpp):
//
//   class VolumeInfo:  name, metadata_url, storage, bucket, dev, mountpoint
#include "quarvo/python/classes.hpp"

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "quarvo/core/text.hpp"
#include "quarvo/python/instance.hpp"
#include "quarvo/python/snapshot.hpp"

namespace quarvo::python {
namespace {

// Each getter builds a new Python value from the shared view.
template <std::string VolumeInfo::* Field>
PyObject* VolumeInfo_text(PyObject* self, void*) {
  return guarded([&] { return text_to_py(value_of<PyVolumeInfo>(self).info.get()->*Field).release(); });
}

PyObject* VolumeInfo_dev(PyObject* self, void*) {
  return guarded([&] { return bool_to_py(value_of<PyVolumeInfo>(self).info->dev).release(); });
}

PyObject* VolumeInfo_mountpoint(PyObject* self, void*) {
  return guarded([&] {
    const auto& mountpoint = value_of<PyVolumeInfo>(self).info->mountpoint;
    return (mountpoint ? text_to_py(path_text(*mountpoint)) : Ref::newref(Py_None)).release();
  });
}

PyObject* VolumeInfo_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    const VolumeInfo& v = *value_of<PyVolumeInfo>(self).info;
    return Repr("VolumeInfo")
        .text("name", v.name)
        .url("metadata_url", v.metadata_url)
        .text("storage", v.storage)
        .url("bucket", v.bucket)
        .field("dev", bool_to_py(v.dev))
        .optional_text("mountpoint", v.mountpoint ? std::optional(path_text(*v.mountpoint)) : std::nullopt)
        .finish();
  });
}

Py_hash_t hash_of(const PyVolumeInfo& value) { return Hash().mix(hash_volume_info(*value.info)).value(); }

PyGetSetDef VolumeInfo_getset[] = {
    {"name", VolumeInfo_text<&VolumeInfo::name>, nullptr, nullptr, nullptr},
    {"metadata_url", VolumeInfo_text<&VolumeInfo::metadata_url>, nullptr, nullptr, nullptr},
    {"storage", VolumeInfo_text<&VolumeInfo::storage>, nullptr, nullptr, nullptr},
    {"bucket", VolumeInfo_text<&VolumeInfo::bucket>, nullptr, nullptr, nullptr},
    {"dev", VolumeInfo_dev, nullptr, nullptr, nullptr},
    {"mountpoint", VolumeInfo_mountpoint, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},  // sentinel
};

PyType_Slot VolumeInfo_slots[] = {
    {Py_tp_dealloc, slot_function(dealloc_instance<PyVolumeInfo>)},
    {Py_tp_getset, VolumeInfo_getset},
    {Py_tp_repr, slot_function(VolumeInfo_repr)},
    {Py_tp_richcompare, slot_function(richcompare_values<PyVolumeInfo>)},
    {Py_tp_hash, slot_function(hash_value<PyVolumeInfo, hash_of>)},
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
  return PyVolumeInfo{std::make_shared<const VolumeInfo>(info)};
}

PyVolumeInfo PyVolumeInfo::from(VolumeInfo&& info) {
  return PyVolumeInfo{std::make_shared<const VolumeInfo>(std::move(info))};
}

std::size_t hash_volume_info(const VolumeInfo& v) {
  Hash h;
  h.text(v.name).text(v.metadata_url).text(v.storage).text(v.bucket).mix(v.dev ? 1 : 0);
  h.optional_text(v.mountpoint ? std::optional(v.mountpoint->native()) : std::nullopt);
  return static_cast<std::size_t>(h.value());
}

PyObject* volume_info_type() { return once(volume_info_type_object, &VolumeInfo_spec); }

Ref new_volume_info(PyVolumeInfo value) { return make_instance(volume_info_type(), std::move(value)); }

}  // namespace quarvo::python
