// quarvo/python/classes.hpp: the five classes of quarvo._native.
//
//   q = Quarvo.from_env()                  # Quarvo wraps one service object
//   v = q.init("data", dev=True)           # VolumeInfo
//   m = q.mount("data", "/mnt/data")       # MountInfo
//   s = q.status()                         # Status, s.volumes: list[VolumeInfo]
//   l = q.volume_states()                  # list[VolumeState]
//
// All five are heap types with the same traits: base object, not
// subclassable, no constructor callable from Python, no instance dictionary
// or weak references, read-only getters only. Quarvo compares by identity;
// the four result types are values (snapshot.hpp: equality, hash, repr). Each
// instance owns its native value below, built in place when the object is
// made and destroyed when Python frees it. Each type is created on its first
// need and kept for the life of the process.
#ifndef QUARVO_PYTHON_CLASSES_HPP_
#define QUARVO_PYTHON_CLASSES_HPP_

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "quarvo/core/models.hpp"
#include "quarvo/core/paths.hpp"
#include "quarvo/python/refs.hpp"
#include "quarvo/service/live_state.hpp"
#include "quarvo/service/service.hpp"

namespace quarvo::python {

// The native value of a Python `Quarvo`: the service object, fixed by
// from_env and never changed.
struct PyQuarvo {
  Quarvo service;
};

// The native value of a Python `VolumeInfo`: the service's view of a record,
// never changed once made, so objects may share one: the VolumeInfo objects
// a Status hands out point into its list (no text is copied to make them),
// and keep that list alive as long as any of them lives.
struct PyVolumeInfo {
  std::shared_ptr<const VolumeInfo> info;  // never null

  // A view of its own, copied from or moved out of `info`.
  static PyVolumeInfo from(const VolumeInfo& info);
  static PyVolumeInfo from(VolumeInfo&& info);
  friend bool operator==(const PyVolumeInfo& a, const PyVolumeInfo& b) { return *a.info == *b.info; }
};

// The native value of a Python `MountInfo`.
struct PyMountInfo {
  std::string name;
  std::string mountpoint;  // absolute, as text

  static PyMountInfo from(const MountedVolume& mounted);
  bool operator==(const PyMountInfo&) const = default;
};

// The native value of a Python `Status`: the volumes in the service's order,
// moved in whole and never changed; each read of `volumes` wraps every
// element in a new VolumeInfo sharing it.
struct PyStatus {
  std::shared_ptr<const std::vector<VolumeInfo>> volumes;  // never null

  static PyStatus from(std::vector<VolumeInfo>&& infos);
  friend bool operator==(const PyStatus& a, const PyStatus& b) { return *a.volumes == *b.volumes; }
};

// The native value of a Python `VolumeState`: one record as listed, with
// the live state of its mount, everything already rendered for Python.
struct PyVolumeState {
  std::string name;
  std::string path;                    // the record file, as text
  std::optional<PyVolumeInfo> volume;  // absent when the record cannot be read
  std::optional<QuarvoError> error;    // present exactly when `volume` is absent
  std::optional<std::string> state;    // absent when no mountpoint is recorded
  std::optional<std::string> found;    // what is on top at the mountpoint, when foreign

  // Moves the texts and the view out of `state`.
  static PyVolumeState from(VolumeState&& state);
  // Every field equal; errors by kind and message.
  friend bool operator==(const PyVolumeState& a, const PyVolumeState& b);
};

// The type objects, created on first need. Borrowed; NULL with the error set
// when the type cannot be created.
[[nodiscard]] PyObject* quarvo_type();
[[nodiscard]] PyObject* volume_info_type();
[[nodiscard]] PyObject* mount_info_type();
[[nodiscard]] PyObject* status_type();
[[nodiscard]] PyObject* volume_state_type();

// New Python objects owning the given values; empty with the error set on
// failure (the value is then dropped).
[[nodiscard]] Ref new_quarvo(PyQuarvo value);
[[nodiscard]] Ref new_volume_info(PyVolumeInfo value);
[[nodiscard]] Ref new_mount_info(PyMountInfo value);
[[nodiscard]] Ref new_status(PyStatus value);
[[nodiscard]] Ref new_volume_state(PyVolumeState value);

// The hash of a volume's six fields, which VolumeInfo, Status and
// VolumeState mix into theirs.
[[nodiscard]] std::size_t hash_volume_info(const VolumeInfo& info);

// The wrapped service, or NULL with a TypeError when `self` is no Quarvo.
[[nodiscard]] const Quarvo* service_of(PyObject* self);

// Quarvo.mounted (mounted_method.cpp), appended to the class's methods.
[[nodiscard]] PyObject* Quarvo_mounted(PyObject* self, PyObject* args, PyObject* kwargs);

// The body shared by Quarvo.volume_states and the module's volume_states: a
// new list of VolumeState for the records of `home` (one, given a name),
// their mounts checked within `bound` with the interpreter lock released.
// NULL with the error set when the listing itself fails.
[[nodiscard]] PyObject* volume_states_to_py(const QuarvoHome& home, const std::optional<std::string>& name,
                                            std::chrono::milliseconds bound);

// Adds the private helpers of the `quarvo` command (cli_support.cpp) to the
// module, outside __all__. False with the error set on failure.
[[nodiscard]] bool add_cli_support(PyObject* module);

// Adds the module functions of a volume's life (lifecycle_functions.cpp:
// inspect, check_new_volume_name, diagnose, finish_removals), beside __all__.
// False with the error set.
[[nodiscard]] bool add_lifecycle_functions(PyObject* module);

}  // namespace quarvo::python

#endif  // QUARVO_PYTHON_CLASSES_HPP_
