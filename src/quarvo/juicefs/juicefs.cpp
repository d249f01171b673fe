#include "quarvo/juicefs/juicefs.hpp"

#include <cerrno>
#include <utility>

#include "quarvo/core/json.hpp"
#include "quarvo/core/secrets.hpp"
#include "quarvo/core/text.hpp"
#include "quarvo/core/time.hpp"
#include "quarvo/juicefs/backend_reason.hpp"

namespace quarvo {
namespace {

// What a fresh format logs; with --no-update an engine that already holds a
// volume is left alone without it.
constexpr std::string_view kFreshFormat = "Volume is formatted as";
// The last option of every command given a metadata URL: the backend's debug
// agent would serve the process's profile on 127.0.0.1:6060 (or the next
// free port) to every local user.
constexpr char kNoAgent[] = "--no-agent";

// The error of a failed backend command with the backend's own reason, found
// in what it wrote to standard error (for a background mount: what it
// appended to its log, which the runner hands over as its standard error),
// and every field masked: the backend echoes URLs, and a password it was
// given, in what it writes.
QuarvoError explained(QuarvoError error, std::string_view secret) {
  if (error.kind() != ErrorKind::CommandFailed) return error;
  std::string reason = backend_reason(error.command().stderr_text, secret);
  ErrorFields fields = error.fields();
  for (std::string* text : {&fields.command.args, &fields.command.stdout_text, &fields.command.stderr_text}) {
    *text = mask_output(*text, secret);
  }
  QuarvoError masked = QuarvoError::of(ErrorKind::CommandFailed, std::move(fields));
  if (reason.empty()) return masked;
  return std::move(masked).with_reason(std::move(reason));
}

// "volume "n" (storage s, bucket b)" with any password in the bucket masked.
std::string describe(const BackendStatus& v) {
  return "volume " + quote(v.name) + " (storage " + v.storage + ", bucket " + mask_url(v.bucket) + ")";
}

std::string text_at(const JsonValue& doc, std::string_view section, std::string_view key) {
  const JsonValue* value = doc.at(section, key);
  return value ? value->string().value_or("") : "";
}

// A request's bucket as the backend stores it: a "file" bucket absolute
// (against the working directory, which the backend shares), lexically
// normal and ending in "/"; credentials in a bucket URL dropped.
std::string stored_bucket(std::string_view storage, std::string_view bucket) {
  if (storage != "file") return without_credentials(bucket);
  std::error_code ec;
  std::filesystem::path path = std::filesystem::absolute(std::filesystem::path(bucket), ec);
  if (ec) path = std::filesystem::path(bucket);
  std::string text = path_text(path.lexically_normal());
  if (!text.ends_with('/')) text += '/';
  return text;
}

}  // namespace

std::optional<BackendStatus> parse_backend_status(std::string_view json) {
  auto doc = parse_json(json);
  if (!doc) return std::nullopt;
  BackendStatus status;
  status.name = text_at(*doc, "Setting", "Name");
  status.uuid = text_at(*doc, "Setting", "UUID");
  status.storage = text_at(*doc, "Setting", "Storage");
  status.bucket = text_at(*doc, "Setting", "Bucket");
  if (status.uuid.empty()) return std::nullopt;
  if (const JsonValue* used = doc->at("Stat", "UsedSpace")) status.used_bytes = used->unsigned_integer();
  if (const JsonValue* used = doc->at("Stat", "UsedInodes")) status.used_inodes = used->unsigned_integer();
  if (const JsonValue* sessions = doc->find("Sessions")) {
    for (const JsonValue& s : sessions->elements()) {
      BackendSession session;
      if (const JsonValue* v = s.find("HostName")) session.host = v->string().value_or("");
      if (const JsonValue* v = s.find("MountPoint")) session.mountpoint = v->string().value_or("");
      if (const JsonValue* v = s.find("ProcessID")) session.pid = v->integer().value_or(0);
      if (const JsonValue* v = s.find("Expire")) session.expires = parse_rfc3339(v->string().value_or(""));
      status.sessions.push_back(std::move(session));
    }
  }
  return status;
}

CommandSpec JuiceFs::meta_command(std::string_view subcommand, const std::string& metadata_url) const {
  MetadataUrl split = split_metadata_password(metadata_url);
  CommandSpec spec = CommandSpec(program_).arg(std::string(subcommand)).arg(std::move(split.url));
  if (!split.password.empty()) {
    spec.env("META_PASSWORD", std::move(split.password));
    spec.env("REDIS_PASSWORD", std::nullopt);
  }
  return spec;
}

CommandSpec JuiceFs::format_spec(const Volume& volume) const {
  // The metadata URL comes before the volume name; trash is never kept.
  return meta_command("format", volume.metadata_url)
      .arg(volume.name)
      .arg("--storage")
      .arg(volume.storage)
      .arg("--bucket")
      .arg(volume.bucket)
      .arg("--trash-days")
      .arg("0")
      .arg("--no-update")
      .arg(kNoAgent);
}

CommandSpec JuiceFs::mount_spec(const Volume& volume, const MountVolume& request,
                                const std::filesystem::path& log_path) const {
  CommandSpec spec =
      meta_command("mount", volume.metadata_url).arg(path_text(request.path)).arg("--log").arg(path_text(log_path));
  for (std::string& option : mount_option_args(volume.settings)) spec.arg(std::move(option));
  if (request.check_storage) spec.arg("--check-storage");
  spec.arg(kNoAgent);
  return spec;
}

CommandSpec JuiceFs::unmount_spec(const std::filesystem::path& mountpoint, bool force, bool flush) const {
  CommandSpec spec = CommandSpec(program_).arg("umount");
  if (flush) spec.arg("--flush");
  if (force) spec.arg("--force");
  spec.arg(path_text(mountpoint));
  return spec;
}

CommandSpec JuiceFs::status_spec(const std::string& metadata_url) const {
  return meta_command("status", metadata_url).arg(kNoAgent);
}

CommandSpec JuiceFs::destroy_spec(const std::string& metadata_url, const std::string& uuid) const {
  // "--yes": the backend would otherwise ask on a terminal; the caller has
  // asked already.
  return meta_command("destroy", metadata_url).arg(uuid).arg("--yes").arg(kNoAgent);
}

Result<CommandOutput> JuiceFs::format(const Volume& volume, const WaitLimits& limits) const {
  const std::string secret = split_metadata_password(volume.metadata_url).password;
  auto output = format_spec(volume).run(limits);
  if (!output) return std::unexpected(explained(std::move(output).error(), secret));
  if (output->stderr_text.find(kFreshFormat) != std::string::npos) return output;

  // The engine already held a volume: a second machine joining a shared
  // volume, or a request that would silently get someone else's files.
  auto stored = status(volume.metadata_url, limits);
  if (!stored) return std::unexpected(std::move(stored).error());
  if (stored->name == volume.name && stored->storage == volume.storage &&
      stored_bucket(stored->storage, stored->bucket) == stored_bucket(volume.storage, volume.bucket)) {
    return output;
  }
  if (stored->name != volume.name) {
    return std::unexpected(QuarvoError::volume_mismatch(volume.name, "it holds " + describe(*stored)));
  }
  return std::unexpected(QuarvoError::volume_mismatch(
      volume.name,
      "its " + describe(*stored) + " is not on storage " + volume.storage + ", bucket " + mask_url(volume.bucket)));
}

Result<Child> JuiceFs::start_mount(const Volume& volume, const MountVolume& request,
                                   const std::filesystem::path& log_path) const {
  const CommandSpec spec = mount_spec(volume, request, log_path);
  return request.foreground ? spec.spawn() : spec.start_detached(log_path);
}

QuarvoError JuiceFs::mount_failure(const Volume& volume, const MountVolume& request,
                                   const std::filesystem::path& log_path, int wait_status, CommandOutput output) const {
  if (!request.foreground) {
    // What the daemon appended to its log is its standard error here.
    const std::string secret = split_metadata_password(volume.metadata_url).password;
    QuarvoError error =
        explained(mount_spec(volume, request, log_path).failure(wait_status, std::move(output)), secret);
    if (error.reason().empty()) return error;
    return std::move(error).with_log(log_path);
  }
  // Its output went to the caller's terminal.
  return QuarvoError::command_failed(
      CommandFailure{path_text(program_), "mount", wait_status_text(wait_status), {}, {}});
}

Result<CommandOutput> JuiceFs::unmount(const std::filesystem::path& mountpoint, bool force, bool flush,
                                       const WaitLimits& limits) const {
  auto output = unmount_spec(mountpoint, force, flush).run(limits);
  if (!output) return std::unexpected(explained(std::move(output).error(), {}));
  return output;
}

Result<BackendStatus> JuiceFs::status(const std::string& metadata_url, const WaitLimits& limits) const {
  const std::string secret = split_metadata_password(metadata_url).password;
  auto output = status_spec(metadata_url).run(limits);
  if (!output) return std::unexpected(explained(std::move(output).error(), secret));
  auto status = parse_backend_status(output->stdout_text);
  if (!status) {
    return std::unexpected(QuarvoError::io(OsError::with_message(
        EPROTO, "the storage backend's status gave no volume settings for " + quote(mask_url(metadata_url)))));
  }
  return std::move(*status);
}

Result<CommandOutput> JuiceFs::destroy(const std::string& metadata_url, const std::string& uuid,
                                       const WaitLimits& limits) const {
  const std::string secret = split_metadata_password(metadata_url).password;
  auto output = destroy_spec(metadata_url, uuid).run(limits);
  if (!output) return std::unexpected(explained(std::move(output).error(), secret));
  return output;
}

}  // namespace quarvo
