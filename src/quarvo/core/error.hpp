// quarvo/core/error.hpp: the one error type of the core and the volume service.
//
// Every fallible operation below the Python boundary returns
// `Result<T>` = `std::expected<T, QuarvoError>`. A `QuarvoError` is one of a
// closed set of kinds, each with a fixed payload and one user-facing message
// rendered by `message()`, the only rendering there is. Nothing here throws.
//
//   Result<Volume> read(std::string_view name) {
//     if (auto ok = validate_volume_name(name); !ok) return std::unexpected(ok.error());
//     ...
//   }
//   if (!r) std::cerr << r.error().message() << '\n';
//
// Messages are built from the text helpers of quarvo/core/text.hpp: quoted
// names and paths as lossy UTF-8 text.
#ifndef QUARVO_CORE_ERROR_HPP_
#define QUARVO_CORE_ERROR_HPP_

#include <expected>
#include <filesystem>
#include <string>
#include <string_view>
#include <variant>

namespace quarvo {

// The kinds, in declaration order. The order has no meaning beyond that.
enum class ErrorKind {
  InvalidVolumeName,            // a name broke the volume name rule
  VolumeExists,                 // provisioning a name that has a record
  VolumeNotFound,               // reading a record that has no file
  StorageBackendMissing,        // no backend program could be resolved
  AutoInstallUnsupported,       // no backend build for this platform
  StorageBackendInstallFailed,  // installing the managed backend failed
  UnsupportedStoreUrl,          // a store URL with an unknown scheme
  MissingMetadataUrl,           // a non-development volume without metadata
  MissingObjectStorage,         // no usable store URL or storage+bucket pair
  MountpointNotDirectory,       // the mount path exists and is not a directory
  VolumeNotMounted,             // flush/unmount of a volume without mountpoint
  MountSupportUnavailable,      // the host cannot mount user-space file systems
  CommandFailed,                // a child program ended unsuccessfully
  IoAt,                         // an OS error while working on a known path
  Io,                           // an OS error without a path
  TomlParse,                    // a TOML document could not be read
  TomlWrite,                    // a record could not be serialised
  TimedOut,                     // a bounded command or file operation ran out of time
  Interrupted,                  // the caller asked to stop (Ctrl-C) while we waited
  VolumeMounted,                // the volume is live at a mountpoint (mount elsewhere, remove)
  MountFailed,                  // the backend returned, but the mount is not this volume's
  VolumeMismatch,               // the metadata engine holds a different volume than asked for
};

// An operating-system error: an errno value, or, for the few failures the
// system detects itself ("could not determine home directory", an unexpected
// probe content), a message of its own together with the errno class that
// best describes it.
struct OsError {
  int code = 0;
  std::string custom;  // empty: render strerror(code) + " (os error N)"

  static OsError from_errno(int code) { return OsError{code, {}}; }
  static OsError with_message(int code, std::string message) { return OsError{code, std::move(message)}; }
  // "No such file or directory (os error 2)", or the custom message alone.
  [[nodiscard]] std::string text() const;
};

// The fields a failed child program leaves behind; only `status` reaches the
// message, the rest is carried for callers that want to show more.
struct CommandFailure {
  std::string program;
  std::string args;
  std::string status;
  std::string stdout_text;
  std::string stderr_text;
};

// The error of the TOML reader, already rendered in its frame
// ("TOML parse error at line L, column C", the line, a caret, a description).
struct TomlParseError {
  std::string text;
};

// The error of the record writer ("path contains invalid UTF-8 characters").
struct TomlWriteError {
  std::string text;
};

// QuarvoError: a kind with its payload. Build it with the named constructors;
// `message()` renders the user-facing text exactly as the product states it.
class [[nodiscard]] QuarvoError {
 public:
  static QuarvoError invalid_volume_name(std::string name);
  static QuarvoError volume_exists(std::string name);
  static QuarvoError volume_not_found(std::string name);
  static QuarvoError storage_backend_missing();
  static QuarvoError auto_install_unsupported(std::string platform);
  static QuarvoError storage_backend_install_failed(std::string detail);
  static QuarvoError unsupported_store_url(std::string url);
  static QuarvoError missing_metadata_url();
  static QuarvoError missing_object_storage();
  static QuarvoError mountpoint_not_directory(std::filesystem::path path);
  static QuarvoError volume_not_mounted(std::string name);
  static QuarvoError mount_support_unavailable(std::string detail, std::string fix);
  static QuarvoError command_failed(CommandFailure failure);
  static QuarvoError io_at(std::filesystem::path path, OsError source);
  static QuarvoError io(OsError source);
  static QuarvoError toml_parse(TomlParseError error);
  static QuarvoError toml_write(TomlWriteError error);
  // `what` names the step ("juicefs format", "the mount probe"); `seconds` is
  // the bound as the user gave it.
  static QuarvoError timed_out(std::string what, std::string seconds);
  static QuarvoError interrupted();
  static QuarvoError volume_mounted(std::string name, std::filesystem::path mountpoint);
  // `detail` says what was found instead ("nothing is mounted there").
  static QuarvoError mount_failed(std::string name, std::filesystem::path mountpoint, std::string detail);
  // `detail` describes the volume the engine holds.
  static QuarvoError volume_mismatch(std::string name, std::string detail);

  // Shorthands for the common OS cases: errno taken as it stands.
  static QuarvoError io_at_errno(std::filesystem::path path, int code) {
    return io_at(std::move(path), OsError::from_errno(code));
  }
  static QuarvoError io_errno(int code) { return io(OsError::from_errno(code)); }

  [[nodiscard]] ErrorKind kind() const { return kind_; }

  // The user-facing message; one line, two for MountSupportUnavailable.
  [[nodiscard]] std::string message() const;

  // Payload access for callers and tests. Each returns the empty value when
  // the kind has no such field.
  [[nodiscard]] const std::string& text() const { return text_; }  // name, url, platform, detail
  [[nodiscard]] const std::string& fix() const { return fix_; }
  // The second text of TimedOut (seconds), MountFailed and VolumeMismatch.
  [[nodiscard]] const std::string& detail() const { return detail_; }
  [[nodiscard]] const std::filesystem::path& path() const { return path_; }
  [[nodiscard]] const OsError& os_error() const { return os_; }
  [[nodiscard]] const CommandFailure& command() const { return command_; }

  // What the backend itself said about the failure (its last error line),
  // when it said anything. Not part of the message: shown beside it.
  [[nodiscard]] const std::string& reason() const { return reason_; }
  [[nodiscard]] QuarvoError with_reason(std::string reason) && {
    reason_ = std::move(reason);
    return std::move(*this);
  }
  // The log file the reason was read from (a background mount's), when it
  // was read from one: where the user finds the rest of the story.
  [[nodiscard]] const std::filesystem::path& log() const { return log_; }
  [[nodiscard]] QuarvoError with_log(std::filesystem::path log) && {
    log_ = std::move(log);
    return std::move(*this);
  }

  // The file a TOML error was found in, for callers that show it beside the
  // message (the reader's own text does not name it). The message is
  // unchanged; kinds that carry a path of their own keep it.
  [[nodiscard]] QuarvoError in_file(std::filesystem::path file) && {
    if (path_.empty()) path_ = std::move(file);
    return std::move(*this);
  }

 private:
  explicit QuarvoError(ErrorKind kind) : kind_(kind) {}
  // The kinds whose one payload is a text.
  static QuarvoError with_text(ErrorKind kind, std::string text);

  ErrorKind kind_;
  std::string text_;            // name, url, platform, detail, or TOML text
  std::string fix_;             // MountSupportUnavailable only
  std::string detail_;          // TimedOut, MountFailed, VolumeMismatch
  std::string reason_;          // the backend's own words, when known
  std::filesystem::path log_;   // where reason_ came from, when a log file
  std::filesystem::path path_;  // MountpointNotDirectory, IoAt, VolumeMounted, MountFailed; TomlParse's file
  OsError os_;                  // IoAt, Io
  CommandFailure command_;      // CommandFailed
};

template <class T>
using Result = std::expected<T, QuarvoError>;

// Returns the error of a failed Result from the enclosing function.
#define QUARVO_TRY(expr)                                                                                       \
  do {                                                                                                         \
    if (auto quarvo_try_r_ = (expr); !quarvo_try_r_) return std::unexpected(std::move(quarvo_try_r_).error()); \
  } while (0)

}  // namespace quarvo

#endif  // QUARVO_CORE_ERROR_HPP_
