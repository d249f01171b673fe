#include "quarvo/juicefs/juicefs.hpp"
#include "quarvo/core/text.hpp"

#include <cerrno>
#include <utility>

#include "quarvo/core/json.hpp"
#include "quarvo/core/time.hpp"

namespace quarvo {
namespace {

// Where the metadata engine's password would travel to the child instead of
// the command line. For now it passes nothing: the URL goes as it is.
void backend_env(CommandSpec& spec, const std::string& metadata_url) {
  (void)spec;
  (void)metadata_url;
}

std::string text_at(const JsonValue& doc, std::string_view section, std::string_view key) {
  const JsonValue* value = doc.at(section, key);
  return value ? value->string().value_or("") : "";
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

CommandSpec JuiceFs::format_spec(const Volume& volume) const {
  // The metadata URL comes before the volume name; trash is never kept.
  return CommandSpec(program_)
      .arg("format")
      .arg(volume.metadata_url)
      .arg(volume.name)
      .arg("--storage")
      .arg(volume.storage)
      .arg("--bucket")
      .arg(volume.bucket)
      .arg("--trash-days")
      .arg("0")
      .arg("--no-update");
}

CommandSpec JuiceFs::mount_spec(const Volume& volume, const MountVolume& request,
                                const std::filesystem::path& log_path) const {
  CommandSpec spec = CommandSpec(program_)
                         .arg("mount")
                         .arg(volume.metadata_url)
                         .arg(path_text(request.path))
                         .arg("--log")
                         .arg(path_text(log_path));
  if (!request.foreground) spec.arg("-d");
  if (request.check_storage) spec.arg("--check-storage");
  return spec;
}

CommandSpec JuiceFs::unmount_spec(const std::filesystem::path& mountpoint, bool force) const {
  CommandSpec spec = CommandSpec(program_).arg("umount").arg("--flush");
  if (force) spec.arg("--force");
  spec.arg(path_text(mountpoint));
  return spec;
}

Result<CommandOutput> JuiceFs::format(const Volume& volume) const { return format_spec(volume).run(); }

Result<void> JuiceFs::mount(const Volume& volume, const MountVolume& request,
                            const std::filesystem::path& log_path) const {
  const CommandSpec spec = mount_spec(volume, request, log_path);
  if (!request.foreground) {
    // "-d": the backend detaches its daemon and exits once the mount is up.
    auto output = spec.run();
    if (!output) return std::unexpected(std::move(output).error());
    return {};
  }
  // Attached to the caller's terminal; returns when the file system is unmounted.
  auto child = spec.spawn();
  if (!child) return std::unexpected(std::move(child).error());
  auto status = child->wait();
  if (!status) return std::unexpected(std::move(status).error());
  if (*status == 0) return {};
  return std::unexpected(QuarvoError::command_failed(CommandFailure{
      path_text(program_),
      "mount",
      wait_status_text(*status),
      {},
      {},
  }));
}

Result<CommandOutput> JuiceFs::unmount(const std::filesystem::path& mountpoint, bool force) const {
  return unmount_spec(mountpoint, force).run();
}

CommandSpec JuiceFs::status_spec(const std::string& metadata_url) const {
  CommandSpec spec = CommandSpec(program_).arg("status").arg(metadata_url);
  backend_env(spec, metadata_url);
  return spec;
}

CommandSpec JuiceFs::destroy_spec(const std::string& metadata_url, const std::string& uuid) const {
  // "--yes": the backend would otherwise ask on a terminal; the caller has
  // asked already.
  CommandSpec spec = CommandSpec(program_).arg("destroy").arg(metadata_url).arg(uuid).arg("--yes");
  backend_env(spec, metadata_url);
  return spec;
}

Result<BackendStatus> JuiceFs::status(const std::string& metadata_url) const {
  // Unbounded until the runner has deadlines; the callers that must not wait
  // (inspect) want 2 s here.
  auto output = status_spec(metadata_url).run();
  if (!output) return std::unexpected(std::move(output).error());
  auto status = parse_backend_status(output->stdout_text);
  if (!status) return std::unexpected(QuarvoError::io(OsError::with_message(EPROTO, "the storage backend's status printed no volume settings")));
  return std::move(*status);
}

Result<CommandOutput> JuiceFs::destroy(const std::string& metadata_url, const std::string& uuid) const {
  return destroy_spec(metadata_url, uuid).run();
}

}  // namespace quarvo
