// quarvo/python/released.hpp: service calls made without the interpreter lock.
//
// Every method that may wait (for a child program, the registry lock, a
// daemon) runs its service call with the interpreter lock released, so the
// host program's other threads go on meanwhile, as they do around
// `subprocess`. No Python object is touched while it is released: arguments
// are converted before, results after.
//
//   Result<MountedVolume> m = without_gil([&](const Cancel& cancel) { return service->mount(request, cancel); });
//   return finish(m, [](const MountedVolume& v) { return new_mount_info(PyMountInfo::from(v)).release(); });
//
// The `Cancel` handed to the call re-takes the lock for a moment whenever
// the service asks it and runs the pending signal handlers; a handler that
// raises (KeyboardInterrupt on Ctrl-C) makes it say yes. The service then ends
// what it started and returns Interrupted, and `finish` raises the handler's
// exception rather than a QuarvoError: the caller sees KeyboardInterrupt
// after the child was ended and the lock released. What the service found
// and set right on its way (a stale mount cleared) reaches Python as
// warnings: the call succeeded, and the caller may want to know.
#ifndef QUARVO_PYTHON_RELEASED_HPP_
#define QUARVO_PYTHON_RELEASED_HPP_

#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "quarvo/core/cancel.hpp"
#include "quarvo/core/error.hpp"
#include "quarvo/python/conversions.hpp"
#include "quarvo/python/refs.hpp"

namespace quarvo::python {

// ReleasedGil: the interpreter lock released for this object's life, and
// the Cancel of the call made meanwhile. Only the thread that made it may
// ask it (the service asks on the waiting thread alone).
class ReleasedGil final : public Cancel {
 public:
  ReleasedGil() : state_(PyEval_SaveThread()) {}
  ReleasedGil(const ReleasedGil&) = delete;
  ReleasedGil& operator=(const ReleasedGil&) = delete;
  ~ReleasedGil() override { PyEval_RestoreThread(state_); }

  bool requested() const override {
    if (requested_) return true;
    PyEval_RestoreThread(state_);
    // In the main thread this runs the handlers of signals that arrived;
    // the exception one raises stays set for `finish` to return.
    requested_ = PyErr_CheckSignals() < 0;
    state_ = PyEval_SaveThread();
    return requested_;
  }

  // Runs `call()` with the interpreter lock taken again for its length, on
  // this thread: a Python callback told something while the service waits.
  template <class Call>
  auto holding(Call&& call) const {
    PyEval_RestoreThread(state_);
    struct Release {
      const ReleasedGil& gil;
      ~Release() { gil.state_ = PyEval_SaveThread(); }
    } release{*this};
    return std::forward<Call>(call)();
  }

 private:
  mutable PyThreadState* state_;  // this thread's, while the lock is released
  mutable bool requested_ = false;
};

// Runs `call(cancel)` with the interpreter lock released; it is held again
// when this returns (also when the call throws).
template <class Call>
[[nodiscard]] auto without_gil(Call&& call) {
  ReleasedGil released;
  return std::forward<Call>(call)(static_cast<const Cancel&>(released));
}

// The Python result of a service call: an exception raised by a signal
// handler while it waited comes first, then the call's own error, else
// `convert(value)` (a new reference or NULL with the error set).
// A result passed as an rvalue hands its value to `convert` as one, so the
// value can be moved into the Python object rather than copied.
template <class R, class Convert>
[[nodiscard]] PyObject* finish(R&& result, Convert&& convert) {
  if (PyErr_Occurred() != nullptr) return nullptr;
  if (!result) return raise_quarvo_error(result.error());
  if constexpr (std::is_void_v<typename std::remove_cvref_t<R>::value_type>) {
    return std::forward<Convert>(convert)();
  } else {
    return std::forward<Convert>(convert)(*std::forward<R>(result));
  }
}

// Issues each note as a UserWarning (warnings may be filtered, or turned
// into errors by the host). False with the error set when one was raised.
[[nodiscard]] inline bool warn_notes(const std::vector<std::string>& notes) {
  for (const std::string& note : notes) {
    if (PyErr_WarnEx(PyExc_UserWarning, note.c_str(), 1) < 0) return false;
  }
  return true;
}

}  // namespace quarvo::python

#endif  // QUARVO_PYTHON_RELEASED_HPP_
