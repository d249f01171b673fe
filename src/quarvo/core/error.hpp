// quarvo/core/error.hpp: the one error type of the core and the volume service.
//
// Every fallible operation below the Python boundary returns
// `Result<T>` = `std::expected<T, QuarvoError>`. A `QuarvoError` is one of a
// closed set of kinds, each with a fixed payload and one user-facing message
// rendered by `message()`, the only rendering there is. Nothing here throws.
// The kinds, their fields and their messages have one home, the table in
// quarvo/core/error_kinds.inc; everything that lists kinds is expanded from it.
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

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <iterator>
#include <string>
#include <string_view>

namespace quarvo {

// The kinds, in the order of quarvo/core/error_kinds.inc, whose rows say
// when each is raised. The order has no meaning beyond that.
enum class ErrorKind {
#define QUARVO_ERROR_KIND(kind, fields, ...) kind,
#include "quarvo/core/error_kinds.inc"
#undef QUARVO_ERROR_KIND
};

// A kind's row of the table: its name as Python sees it ("VolumeNotFound")
// and the fields it carries, by the exception's attribute names,
// space-separated ("name path detail"; empty for a kind with none).
struct ErrorKindRow {
  std::string_view name;
  std::string_view fields;
};

inline constexpr ErrorKindRow kErrorKinds[] = {
#define QUARVO_ERROR_KIND(kind, fields, ...) {#kind, fields},
#include "quarvo/core/error_kinds.inc"
#undef QUARVO_ERROR_KIND
};
inline constexpr std::size_t kErrorKindCount = std::size(kErrorKinds);

[[nodiscard]] constexpr const ErrorKindRow& kind_row(ErrorKind kind) {
  return kErrorKinds[static_cast<std::size_t>(kind)];
}
[[nodiscard]] constexpr std::string_view kind_name(ErrorKind kind) { return kind_row(kind).name; }

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

// The payload of every kind, one member per field; a kind fills the fields
// its row of the table names and leaves the others empty. The exception's
// attribute of each member is named beside it.
struct ErrorFields {
  std::string name{};                  // name: the volume's
  std::filesystem::path path{};        // path: a file or mountpoint
  std::string url{};                   // url
  std::string platform{};              // platform
  std::string detail{};                // detail
  std::string fix{};                   // fix
  CommandFailure command{};            // program, command_args, status, stdout, stderr
  OsError os{};                        // errno, and source: its text
  std::string what{};                  // command: the step that ran out of time
  std::chrono::milliseconds bound{0};  // seconds: the bound it ran out of
  std::int64_t held_bytes = 0;         // held_bytes: data a client had not written out
};

// QuarvoError: a kind with its payload. Build it with the named constructors;
// `message()` renders the user-facing text exactly as the product states it.
class [[nodiscard]] QuarvoError {
 public:
  // Any kind with the fields given; the named constructors below fill them.
  static QuarvoError of(ErrorKind kind, ErrorFields fields);

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
  // `what` names the step ("juicefs format", "the mount probe"); `bound` is
  // the time it had, shown in seconds as the user gave it ("2.5").
  static QuarvoError timed_out(std::string what, std::chrono::milliseconds bound);
  static QuarvoError interrupted();
  static QuarvoError volume_mounted(std::string name, std::filesystem::path mountpoint);
  // `detail` says what was found instead ("nothing is mounted there").
  static QuarvoError mount_failed(std::string name, std::filesystem::path mountpoint, std::string detail);
  // `detail` describes the volume the engine holds.
  static QuarvoError volume_mismatch(std::string name, std::string detail);
  // `detail` is the whole message: which value, and why it is refused;
  // `path` the path refused, when the value is one.
  static QuarvoError invalid_argument(std::string detail, std::filesystem::path path = {});
  static QuarvoError invalid_backend_volume_name(std::string name);
  // `detail` says what `path` is, its owner and mode; `fix` what to do.
  static QuarvoError unsafe_path(std::filesystem::path path, std::string detail, std::string fix);
  // `held_bytes` what the client at `mountpoint` still held when `bound` ran out.
  static QuarvoError flush_incomplete(std::string name, std::filesystem::path mountpoint, std::int64_t held_bytes,
                                      std::chrono::milliseconds bound);
  // `detail` names the process at work ("a daemon of it still runs: pid 4310 ...").
  static QuarvoError volume_busy(std::string name, std::string detail);

  // Shorthands for the common OS cases: errno taken as it stands.
  static QuarvoError io_at_errno(std::filesystem::path path, int code) {
    return io_at(std::move(path), OsError::from_errno(code));
  }
  static QuarvoError io_errno(int code) { return io(OsError::from_errno(code)); }

  [[nodiscard]] ErrorKind kind() const { return kind_; }

  // The user-facing message; one line, two for MountSupportUnavailable.
  [[nodiscard]] std::string message() const;

  // The payload, for callers and tests; empty where the kind has no field.
  [[nodiscard]] const ErrorFields& fields() const { return fields_; }
  [[nodiscard]] const std::filesystem::path& path() const { return fields_.path; }
  [[nodiscard]] const OsError& os_error() const { return fields_.os; }
  [[nodiscard]] const CommandFailure& command() const { return fields_.command; }

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
    if (fields_.path.empty()) fields_.path = std::move(file);
    return std::move(*this);
  }

 private:
  QuarvoError(ErrorKind kind, ErrorFields fields) : kind_(kind), fields_(std::move(fields)) {}

  ErrorKind kind_;
  ErrorFields fields_;
  std::string reason_;         // the backend's own words, when known
  std::filesystem::path log_;  // where reason_ came from, when a log file
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
