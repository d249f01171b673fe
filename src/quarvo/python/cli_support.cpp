// What the `quarvo` command asks of the native side, so that every fact it
// shows has one owner here (a message, the masking rule, the configuration):
//
//   _mask_url(url: str) -> str            # a URL with its passwords as "****"
//   _mask_secrets(text: str) -> str       # every URL in a text masked so
//   _error(kind: str, *texts: str) -> QuarvoError
//                                         # the error a kind renders, to raise
//   _storage_backend_version(path: str) -> str | None
//                                         # what `path version` tells, None if nothing
//   _command_timeout() -> float | None    # seconds from QUARVO_COMMAND_TIMEOUT or config.toml
//
// They are module attributes outside __all__: not part of the library.
#include <string>
#include <vector>

#include "quarvo/core/config.hpp"
#include "quarvo/core/paths.hpp"
#include "quarvo/core/secrets.hpp"
#include "quarvo/juicefs/doctor.hpp"
#include "quarvo/python/classes.hpp"
#include "quarvo/python/conversions.hpp"

namespace quarvo::python {
namespace {

PyObject* mask_url_function(PyObject*, PyObject* arg) {
  return guarded([&]() -> PyObject* {
    std::string text;
    if (!text_arg(arg, "url", text)) return nullptr;
    return text_to_py(mask_url(text)).release();
  });
}

PyObject* mask_secrets_function(PyObject*, PyObject* arg) {
  return guarded([&]() -> PyObject* {
    std::string text;
    if (!text_arg(arg, "text", text)) return nullptr;
    return text_to_py(mask_secrets(text)).release();
  });
}

// The kinds whose payload is texts, each with the number of texts it takes.
std::optional<QuarvoError> error_of(std::string_view kind, std::vector<std::string>& t) {
  auto n = [&](size_t count) { return t.size() == count; };
  if (kind == "InvalidVolumeName" && n(1)) return QuarvoError::invalid_volume_name(t[0]);
  if (kind == "VolumeExists" && n(1)) return QuarvoError::volume_exists(t[0]);
  if (kind == "VolumeNotFound" && n(1)) return QuarvoError::volume_not_found(t[0]);
  if (kind == "StorageBackendMissing" && n(0)) return QuarvoError::storage_backend_missing();
  if (kind == "AutoInstallUnsupported" && n(1)) return QuarvoError::auto_install_unsupported(t[0]);
  if (kind == "StorageBackendInstallFailed" && n(1)) return QuarvoError::storage_backend_install_failed(t[0]);
  if (kind == "UnsupportedStoreUrl" && n(1)) return QuarvoError::unsupported_store_url(t[0]);
  if (kind == "MissingMetadataUrl" && n(0)) return QuarvoError::missing_metadata_url();
  if (kind == "MissingObjectStorage" && n(0)) return QuarvoError::missing_object_storage();
  if (kind == "VolumeNotMounted" && n(1)) return QuarvoError::volume_not_mounted(t[0]);
  if (kind == "MountSupportUnavailable" && n(2)) return QuarvoError::mount_support_unavailable(t[0], t[1]);
  if (kind == "Interrupted" && n(0)) return QuarvoError::interrupted();
  if (kind == "VolumeMismatch" && n(2)) return QuarvoError::volume_mismatch(t[0], t[1]);
  return std::nullopt;
}

PyObject* error_function(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    const Py_ssize_t count = PyTuple_Size(args);
    if (count < 1) {
      PyErr_SetString(PyExc_TypeError, "_error() needs the kind");
      return nullptr;
    }
    std::string kind;
    if (!text_arg(PyTuple_GetItem(args, 0), "kind", kind)) return nullptr;
    std::vector<std::string> texts(static_cast<size_t>(count - 1));
    for (Py_ssize_t i = 1; i < count; ++i) {
      if (!text_arg(PyTuple_GetItem(args, i), "texts", texts[static_cast<size_t>(i - 1)])) return nullptr;
    }
    auto error = error_of(kind, texts);
    if (!error) {
      PyErr_Format(PyExc_ValueError, "_error(): no kind %s with %zd texts", kind.c_str(), count - 1);
      return nullptr;
    }
    return quarvo_error_to_py(*error).release();
  });
}

PyObject* storage_backend_version_function(PyObject*, PyObject* arg) {
  return guarded([&]() -> PyObject* {
    std::string path;
    if (!text_arg(arg, "path", path)) return nullptr;
    return optional_text_to_py(storage_backend_version(path)).release();
  });
}

PyObject* command_timeout_function(PyObject*, PyObject*) {
  return guarded([&]() -> PyObject* {
    auto home = QuarvoHome::from_env();
    if (!home) return raise_quarvo_error(home.error());
    auto config = Config::load(*home);
    if (!config) return raise_quarvo_error(config.error());
    if (!config->command_timeout) Py_RETURN_NONE;
    return PyFloat_FromDouble(static_cast<double>(config->command_timeout->count()) / 1000.0);
  });
}

PyMethodDef cli_support_defs[] = {
    {"_mask_url", mask_url_function, METH_O, "_mask_url($module, url, /)\n--\n\n"},
    {"_mask_secrets", mask_secrets_function, METH_O, "_mask_secrets($module, text, /)\n--\n\n"},
    {"_error", error_function, METH_VARARGS, "_error($module, kind, /, *texts)\n--\n\n"},
    {"_storage_backend_version", storage_backend_version_function, METH_O,
     "_storage_backend_version($module, path, /)\n--\n\n"},
    {"_command_timeout", command_timeout_function, METH_NOARGS, "_command_timeout($module, /)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},  // sentinel
};

}  // namespace

bool add_cli_support(PyObject* module) {
  Ref module_name = Ref::steal(PyModule_GetNameObject(module));
  if (!module_name) return false;
  for (PyMethodDef* def = cli_support_defs; def->ml_name != nullptr; ++def) {
    Ref function = Ref::steal(PyCFunction_NewEx(def, module, module_name.get()));
    if (!function || PyModule_AddObjectRef(module, def->ml_name, function.get()) < 0) return false;
  }
  return true;
}

}  // namespace quarvo::python
