// Quarvo.mounted, the last method of the class:
//
//   def mounted(self, name, path=None, *, temporary=False, **options) -> Mounted:
//       """A context manager: `with q.mounted("data") as m:` ensures the
//       volume (options: ensure_volume's), mounts it at `path` or at a
//       private directory under the system's temporary directory, yields
//       the MountInfo and unmounts on the way out, whatever ends the block.
//       With temporary=True a new development volume, named from `name`
//       within the backend's rule, is made and removed with its data."""
//
// The arguments are checked here, before anything is done, and the
// temporary volume's name is made here, by the rule's owner; what happens
// on entry and exit (leftovers of a run that died, the directories, the
// order of the steps) is quarvo/_mounted.py's Mounted.
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "quarvo/core/text.hpp"
#include "quarvo/core/validation.hpp"
#include "quarvo/python/classes.hpp"
#include "quarvo/python/conversions.hpp"
#include "quarvo/python/instance.hpp"

namespace quarvo::python {
namespace {

// ensure_volume's keywords, which mounted passes on.
constexpr std::array<std::string_view, 5> kVolumeOptions = {"dev", "metadata", "store", "storage", "bucket"};

bool is_volume_option(PyObject* key) {
  for (std::string_view option : kVolumeOptions) {
    if (PyUnicode_CompareWithASCIIString(key, std::string(option).c_str()) == 0) return true;
  }
  return false;
}

// Eight lowercase hex digits from the system's random source; empty with
// OSError set when it cannot be read.
std::optional<std::string> random_suffix() {
  std::array<unsigned char, 4> bytes{};
  const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  const ssize_t n = fd < 0 ? -1 : ::read(fd, bytes.data(), bytes.size());
  const int saved = errno;
  if (fd >= 0) ::close(fd);
  if (n != static_cast<ssize_t>(bytes.size())) {
    errno = n < 0 ? saved : EIO;
    PyErr_SetFromErrnoWithFilename(PyExc_OSError, "/dev/urandom");
    return std::nullopt;
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (const unsigned char b : bytes) {
    out += kHex[b >> 4];
    out += kHex[b & 0xf];
  }
  return out;
}

// Splits the keywords into ensure_volume's options and the rest; false with
// the error set.
bool split_keywords(PyObject* kwargs, Ref& options, Ref& rest) {
  options = Ref::steal(PyDict_New());
  rest = Ref::steal(PyDict_New());
  if (!options || !rest) return false;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  Py_ssize_t pos = 0;
  while (kwargs != nullptr && PyDict_Next(kwargs, &pos, &key, &value)) {
    PyObject* into = is_volume_option(key) ? options.get() : rest.get();
    if (PyDict_SetItem(into, key, value) < 0) return false;
  }
  return true;
}

// The options' types, as ensure_volume would check them, now rather than on
// entry; for a temporary volume only dev=True may be given. False with the
// error set.
bool check_options(PyObject* options, bool temporary) {
  bool dev = temporary;
  PyObject* given_dev = PyDict_GetItemString(options, "dev");  // borrowed
  if (given_dev != nullptr && !bool_arg(given_dev, "dev", dev)) return false;
  for (const char* key : {"metadata", "store", "storage", "bucket"}) {
    std::optional<std::string> text;
    if (!optional_text_arg(PyDict_GetItemString(options, key), key, text)) return false;
    if (temporary && text) {
      raise_quarvo_error(QuarvoError::invalid_argument(
          std::string("a temporary volume is a new development volume: mounted() takes no ") + key + " with it"));
      return false;
    }
  }
  if (temporary && !dev) {
    raise_quarvo_error(QuarvoError::invalid_argument("a temporary volume is a development volume: dev=False"));
    return false;
  }
  return true;
}

}  // namespace

PyObject* Quarvo_mounted(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    const Quarvo* service = service_of(self);
    if (service == nullptr) return nullptr;
    Ref options, rest;
    if (!split_keywords(kwargs, options, rest)) return nullptr;
    static const char* keywords[] = {"name", "path", "temporary", nullptr};
    PyObject *name = nullptr, *path = nullptr, *temporary = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, rest.get(), "O|O$O:mounted", const_cast<char**>(keywords), &name, &path,
                                     &temporary)) {
      return nullptr;
    }
    std::string volume;
    std::optional<std::string> where;
    bool is_temporary = false;
    if (!text_arg(name, "name", volume) || !optional_text_arg(path, "path", where) ||
        !bool_arg(temporary, "temporary", is_temporary) || !check_options(options.get(), is_temporary)) {
      return nullptr;
    }
    if (is_temporary) {
      const std::optional<std::string> suffix = random_suffix();
      if (!suffix) return nullptr;
      volume = temporary_volume_name(volume, *suffix);
    }
    Ref module = Ref::steal(PyImport_ImportModule("quarvo._mounted"));
    Ref mounted = module ? Ref::steal(PyObject_GetAttrString(module.get(), "Mounted")) : Ref();
    Ref volume_text = text_to_py(volume);
    Ref home = text_to_py(path_text(service->home().root()));
    if (!mounted || !volume_text || !home) return nullptr;
    PyObject* at = path != nullptr ? path : Py_None;
    return PyObject_CallFunction(mounted.get(), "OOOOOO", self, volume_text.get(), at,
                                 is_temporary ? Py_True : Py_False, options.get(), home.get());
  });
}

}  // namespace quarvo::python
