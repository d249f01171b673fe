#include "quarvo/service/service.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <system_error>
#include <utility>

#include "quarvo/core/config.hpp"
#include "quarvo/core/file_io.hpp"
#include "quarvo/core/secrets.hpp"
#include "quarvo/core/store.hpp"
#include "quarvo/core/text.hpp"
#include "quarvo/core/time.hpp"
#include "quarvo/core/validation.hpp"
#include "quarvo/juicefs/command.hpp"
#include "quarvo/service/daemons.hpp"
#include "quarvo/service/in_mount.hpp"
#include "quarvo/service/intents.hpp"
#include "quarvo/service/mount_checks.hpp"
#include "quarvo/service/mount_settings.hpp"
#include "quarvo/service/step_points.hpp"

namespace quarvo {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kBackendName = "juicefs";
// Values the backend would read as options where it expects a name or a
// URL: "-h" as a metadata URL has it print its help and exit 0, having
// formatted nothing.
[[nodiscard]] bool reads_as_option(std::string_view value) { return !value.empty() && value.front() == '-'; }

[[nodiscard]] QuarvoError option_like(std::string_view what, std::string_view value) {
  return QuarvoError::invalid_argument(std::string(what) + " " + quote(mask_secrets(value)) +
                                       " begins with '-', which the storage backend would read as an option");
}

// A development volume lives in dev_dir()/NAME, so "." and ".." would put
// its data in the home's "dev" directory itself or in the home root. The
// names obey the volume name rule, so its message would contradict itself.
[[nodiscard]] bool escapes_dev_dir(std::string_view name) { return name == "." || name == ".."; }

[[nodiscard]] Result<void> check_dev_name(const InitVolume& request) {
  if (request.dev && escapes_dev_dir(request.name)) {
    return std::unexpected(QuarvoError::invalid_argument("a development volume cannot be named " + quote(request.name) +
                                                         ": its data would not have a directory of its own"));
  }
  return {};
}

// The metadata URL of a development volume is "sqlite3://" + its path, and
// the backend reads a "?" in it as the start of its options ("#" may start
// a fragment): such a home would put the database somewhere else.
[[nodiscard]] Result<void> check_sqlite_path(const fs::path& volume_dir) {
  const std::string& text = volume_dir.native();
  const size_t at = text.find_first_of("?#");
  if (at == std::string::npos) return {};
  return std::unexpected(QuarvoError::invalid_argument(
      "a development volume cannot live at " + escape_unprintable(text) + ": its metadata URL would read \"" +
          std::string(1, text[at]) + "\" as the start of options; use a Quarvo home without '?' or '#'",
      volume_dir));
}

// The metadata URL a shared volume is recorded with: `url` as given, or
// with the password given apart from it in its credentials (see
// build_volume in service.hpp).
[[nodiscard]] Result<std::string> metadata_with_password(const std::string& url,
                                                         const std::optional<std::string>& given) {
  const MetadataUrl split = split_metadata_password(url);
  if (split.ambiguous) {
    return std::unexpected(QuarvoError::invalid_argument(
        "the metadata URL " + quote(mask_url(url)) +
        " holds two passwords (in its credentials and as a password= parameter, or twice as a parameter); keep one"));
  }
  if (split.at_after_host) {
    return std::unexpected(QuarvoError::invalid_argument(
        "the metadata URL " + quote(mask_url(url)) +
        " has an \"@\" after its host, where the storage backend would put its password; write it as %40"));
  }
  const char* variable = std::getenv("META_PASSWORD");
  const bool from_environment = variable != nullptr && *variable != '\0';
  if (given && from_environment) {
    return std::unexpected(QuarvoError::invalid_argument(
        "a metadata password was given and META_PASSWORD is set too; give it one way (unset META_PASSWORD)"));
  }
  if (!given && !from_environment) return url;
  return with_metadata_password(url, given ? *given : std::string(variable));
}

// The storage kind and bucket of a configured (non-development) volume.
[[nodiscard]] Result<StoreSpec> configured_store(const InitVolume& request) {
  if (request.store) {
    if (request.storage || request.bucket) return std::unexpected(QuarvoError::missing_object_storage());
    return parse_store_url(*request.store);
  }
  if (!request.storage || !request.bucket) return std::unexpected(QuarvoError::missing_object_storage());
  return StoreSpec{*request.storage, *request.bucket};
}

}  // namespace

Result<Quarvo> Quarvo::from_env(std::optional<std::chrono::milliseconds> command_timeout) {
  auto home = QuarvoHome::from_env();
  if (!home) return std::unexpected(std::move(home).error());
  return create(std::move(*home), command_timeout);
}

Result<Quarvo> Quarvo::create(QuarvoHome home, std::optional<std::chrono::milliseconds> command_timeout) {
  QUARVO_TRY(home.ensure_layout());
  auto config = Config::load(home);
  if (!config) return std::unexpected(std::move(config).error());
  auto program = trusted_storage_backend_bin(home, config->storage_backend_bin);
  if (!program) return std::unexpected(std::move(program).error());
  // What daemons ended while nobody watched (a command killed mid-way)
  // left in /tmp goes with the next command.
  remove_dead_daemon_files();
  return Quarvo(std::move(home), std::move(*program), command_timeout ? command_timeout : config->command_timeout);
}

Result<DoctorReport> Quarvo::doctor(const Cancel& cancel) const { return ::quarvo::doctor(home_, cancel); }

Result<VolumeInfo> Quarvo::init(const InitVolume& request, const Cancel& cancel) const {
  return provision(request, false, cancel);
}

Result<VolumeInfo> Quarvo::ensure_volume(const InitVolume& request, const Cancel& cancel) const {
  return provision(request, true, cancel);
}

Result<VolumeInfo> Quarvo::provision(const InitVolume& request, bool existing_ok, const Cancel& cancel) const {
  QUARVO_TRY(validate_volume_name(request.name));
  // Records of such names stay readable; new ones are refused before
  // anything runs (ensure_volume of an existing one returns it below).
  if (reads_as_option(request.name) && !existing_ok)
    return std::unexpected(QuarvoError::invalid_volume_name(request.name));
  // init can only fail for such a name (it exists, or it would be created
  // outside the dev directory), so it fails before taking the lock;
  // ensure_volume still returns an existing record of that name and refuses
  // only to create one (build_volume).
  if (!existing_ok) QUARVO_TRY(check_dev_name(request));
  auto settings = apply_setting_changes({}, request.settings);
  if (!settings) return std::unexpected(std::move(settings).error());
  QUARVO_TRY(check_allow_other(*settings));

  const WaitLimits limits = call_limits(cancel);
  auto lock = registry_.lock(limits);
  if (!lock) return std::unexpected(std::move(lock).error());

  auto exists = registry_.exists(request.name);
  if (!exists) return std::unexpected(std::move(exists).error());
  if (*exists) {
    auto stored = registry_.read(request.name);
    // A creation a killed call left is undone first; one under way refuses.
    Notes ignored;
    auto kept = stored ? settle_intent(*stored, limits, ignored) : Result<bool>(true);
    if (!kept) return std::unexpected(std::move(kept).error());
    if (*kept) {
      if (!existing_ok) return std::unexpected(QuarvoError::volume_exists(request.name));
      if (!stored) return std::unexpected(std::move(stored).error());
      QUARVO_TRY(store_settings(*stored, request.settings));
      return VolumeInfo::from(*stored);
    }
  }

  auto volume = build_volume(request);
  if (!volume) return std::unexpected(std::move(volume).error());
  volume->settings = std::move(*settings);
  // The name is claimed before anything is made for it: a call killed from
  // here on leaves a record the next call undoes (intents.hpp).
  const VolumeIntent intent = begin_intent(kInitStep, std::nullopt);
  volume->intent = intent;
  QUARVO_TRY(registry_.write(*volume));
  reach("init:intent");
  // A directory of the name that was there before is not this call's to delete.
  struct stat st{};
  const bool had_directory = volume->dev && ::lstat(home_.dev_paths(volume->name).directory.c_str(), &st) == 0;
  auto made = make_volume(*volume, limits);
  if (!made) {
    if (had_directory) {
      (void)registry_.remove(volume->name);
    } else {
      (void)undo_init(*volume);
    }
    return std::unexpected(std::move(made).error());
  }
  reach("init:formatted");
  volume->intent.reset();
  QUARVO_TRY(registry_.write(*volume));
  return VolumeInfo::from(*volume);
}

Result<void> Quarvo::make_volume(const Volume& volume, const WaitLimits& limits) const {
  if (volume.dev) {
    const DevPaths dev = home_.dev_paths(volume.name);
    if (int err = quarvo::create_directories(dev.objects, kPrivateDirectoryMode)) {
      return std::unexpected(QuarvoError::io_at_errno(dev.objects, err));
    }
  }
  auto formatted = juicefs_.format(volume, limits);
  if (!formatted) return std::unexpected(std::move(formatted).error());
  return {};
}

Result<Volume> Quarvo::build_volume(const InitVolume& request) const {
  if (reads_as_option(request.name)) return std::unexpected(QuarvoError::invalid_volume_name(request.name));
  Volume volume;
  volume.name = request.name;
  volume.backend = std::string(kBackendName);
  volume.dev = request.dev;
  volume.created_at = now_rfc3339();
  volume.updated_at = volume.created_at;

  if (!request.dev) {
    if (!request.metadata) return std::unexpected(QuarvoError::missing_metadata_url());
    auto store = configured_store(request);
    if (!store) return std::unexpected(std::move(store).error());
    if (reads_as_option(*request.metadata)) return std::unexpected(option_like("metadata URL", *request.metadata));
    if (reads_as_option(store->storage)) return std::unexpected(option_like("storage", store->storage));
    if (reads_as_option(store->bucket)) return std::unexpected(option_like("bucket", store->bucket));
    auto metadata = metadata_with_password(*request.metadata, request.metadata_password);
    if (!metadata) return std::unexpected(std::move(metadata).error());
    volume.metadata_url = std::move(*metadata);
    volume.storage = std::move(store->storage);
    volume.bucket = std::move(store->bucket);
    // Local files as the caller meant them, from this directory: the
    // backend runs later from any other (and would find, or make, others).
    std::error_code ec;
    if (const fs::path here = fs::current_path(ec); !ec) {
      volume.metadata_url = absolute_sqlite_url(volume.metadata_url, here);
      if (volume.storage == "file") volume.bucket = absolute_file_bucket(volume.bucket, here);
    }
    return volume;
  }

  QUARVO_TRY(check_dev_name(request));
  if (request.metadata_password) {
    return std::unexpected(QuarvoError::invalid_argument(
        "a development volume takes no metadata password: its metadata is a file under the home"));
  }
  const DevPaths dev = home_.dev_paths(request.name);
  QUARVO_TRY(check_sqlite_path(dev.directory));
  StoreSpec store = dev_store(dev.objects);
  volume.metadata_url = "sqlite3://" + path_text(dev.metadata);
  volume.storage = std::move(store.storage);
  volume.bucket = std::move(store.bucket);
  return volume;
}

WaitLimits configured_limits(const QuarvoHome& home, const Cancel& cancel) {
  auto config = Config::load(home);
  return WaitLimits(Deadline::after(config ? config->command_timeout : std::nullopt), cancel);
}

Result<std::vector<VolumeInfo>> Quarvo::status(const std::optional<std::string>& name) const {
  if (!name) return registry_.list_info();
  auto volume = registry_.read(*name);
  if (!volume) return std::unexpected(std::move(volume).error());
  std::vector<VolumeInfo> infos;
  infos.push_back(VolumeInfo::from(std::move(*volume)));
  return infos;
}

}  // namespace quarvo
