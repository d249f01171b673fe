// The class VolumeState as Python sees it (final, not callable; a value, see
// snapshot.hpp, whose error compares by kind and message):
//
//   class VolumeState:
//       name: str                  # the volume; the record file's stem when unreadable
//       volume: VolumeInfo | None  # None when the record cannot be read
//       error: QuarvoError | None  # why it cannot be read
//       path: str                  # the record file
//       state: str | None          # "mounted", "stale", "unresponsive", "not mounted",
//                                  # "foreign"; "mounting", "unmounting", "creating" while
//                                  # a call is at that step, "interrupted" when it was
//                                  # killed (intents.hpp); None when no mountpoint is recorded
//       found: str | None          # foreign: the source of what is mounted there
//
//   def volume_states(name=None) -> list[VolumeState]   # module and Quarvo method
#include "quarvo/python/classes.hpp"

#include <cstddef>
#include <utility>
#include <vector>

#include "quarvo/core/registry.hpp"
#include "quarvo/core/text.hpp"
#include "quarvo/python/instance.hpp"
#include "quarvo/python/released.hpp"
#include "quarvo/python/snapshot.hpp"

namespace quarvo::python {
namespace {

PyObject* VolumeState_volume(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    const std::optional<PyVolumeInfo>& volume = value_of<PyVolumeState>(self).volume;
    if (!volume) Py_RETURN_NONE;
    return new_volume_info(*volume).release();
  });
}

PyObject* VolumeState_error(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    const std::optional<QuarvoError>& error = value_of<PyVolumeState>(self).error;
    if (!error) Py_RETURN_NONE;
    return quarvo_error_to_py(*error).release();
  });
}

PyObject* VolumeState_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    const PyVolumeState& s = value_of<PyVolumeState>(self);
    return Repr("VolumeState")
        .text("name", s.name)
        .field("volume", Ref::steal(VolumeState_volume(self, nullptr)))
        .field("error", Ref::steal(VolumeState_error(self, nullptr)))
        .text("path", s.path)
        .optional_text("state", s.state)
        .optional_text("found", s.found)
        .finish();
  });
}

Py_hash_t hash_of(const PyVolumeState& s) {
  Hash h;
  h.text(s.name).text(s.path).optional_text(s.state).optional_text(s.found);
  h.mix(s.volume ? hash_volume_info(*s.volume->info) : 0);
  if (s.error) h.mix(static_cast<std::size_t>(s.error->kind())).text(s.error->message());
  return h.value();
}

PyGetSetDef VolumeState_getset[] = {
    {"name", get_text<PyVolumeState, &PyVolumeState::name>, nullptr, nullptr, nullptr},
    {"volume", VolumeState_volume, nullptr, nullptr, nullptr},
    {"error", VolumeState_error, nullptr, nullptr, nullptr},
    {"path", get_text<PyVolumeState, &PyVolumeState::path>, nullptr, nullptr, nullptr},
    {"state", get_optional_text<PyVolumeState, &PyVolumeState::state>, nullptr, nullptr, nullptr},
    {"found", get_optional_text<PyVolumeState, &PyVolumeState::found>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},  // sentinel
};

PyType_Slot VolumeState_slots[] = {
    {Py_tp_dealloc, slot_function(dealloc_instance<PyVolumeState>)},
    {Py_tp_getset, VolumeState_getset},
    {Py_tp_repr, slot_function(VolumeState_repr)},
    {Py_tp_richcompare, slot_function(richcompare_values<PyVolumeState>)},
    {Py_tp_hash, slot_function(hash_value<PyVolumeState, hash_of>)},
    {Py_tp_doc, const_cast<char*>("")},
    {0, nullptr},  // sentinel
};

PyType_Spec VolumeState_spec = {
    .name = "builtins.VolumeState",
    .basicsize = static_cast<int>(sizeof(Instance<PyVolumeState>)),
    .itemsize = 0,
    .flags = kTypeFlags,
    .slots = VolumeState_slots,
};

// Owned for the life of the process; the module holds one more reference.
PyObject* volume_state_type_object = nullptr;

}  // namespace

PyVolumeState PyVolumeState::from(VolumeState&& state) {
  PyVolumeState out{
      .name = std::move(state.name),
      .path = path_text(state.record),
      .volume = std::nullopt,
      .error = std::nullopt,
      .state = std::nullopt,
      .found = std::nullopt,
  };
  if (state.volume) {
    out.volume = PyVolumeInfo::from(std::move(*state.volume));
  } else {
    out.error = std::move(state.volume).error();
  }
  if (!state.state_word().empty()) out.state = std::string(state.state_word());
  if (state.check.state == LiveState::Foreign) out.found = state.check.found_source;
  return out;
}

bool operator==(const PyVolumeState& a, const PyVolumeState& b) {
  const auto same_error = [](const std::optional<QuarvoError>& x, const std::optional<QuarvoError>& y) {
    if (!x || !y) return x.has_value() == y.has_value();
    return x->kind() == y->kind() && x->message() == y->message();
  };
  return a.name == b.name && a.path == b.path && a.volume == b.volume && same_error(a.error, b.error) &&
         a.state == b.state && a.found == b.found;
}

PyObject* volume_state_type() { return once(volume_state_type_object, &VolumeState_spec); }

Ref new_volume_state(PyVolumeState value) { return make_instance(volume_state_type(), std::move(value)); }

PyObject* volume_states_to_py(const QuarvoHome& home, const std::optional<std::string>& name,
                              std::chrono::milliseconds bound) {
  // The type first, while the lock is held: creating it may need Python.
  if (volume_state_type() == nullptr) return nullptr;
  Result<std::vector<VolumeState>> states =
      without_gil([&](const Cancel&) { return volume_states(Registry(home), name, bound); });
  if (!states) return raise_quarvo_error(states.error());
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(states->size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < states->size(); ++i) {
    Ref item = new_volume_state(PyVolumeState::from(std::move((*states)[i])));
    if (!item) return nullptr;
    // PyList_SetItem takes the reference even when it fails.
    if (PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item.release()) < 0) return nullptr;
  }
  return list.release();
}

}  // namespace quarvo::python
