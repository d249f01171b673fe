// The volume service's settings: configure, and the settings that
// ensure_volume stores in an existing record.
#include <utility>

#include "quarvo/core/text.hpp"
#include "quarvo/core/time.hpp"
#include "quarvo/core/validation.hpp"
#include "quarvo/service/mount_checks.hpp"
#include "quarvo/service/mount_settings.hpp"
#include "quarvo/service/service.hpp"

namespace quarvo {

Result<void> Quarvo::store_settings(Volume& volume, const SettingChanges& changes) const {
  auto settings = apply_setting_changes(volume.settings, changes);
  if (!settings) return std::unexpected(std::move(settings).error());
  QUARVO_TRY(check_allow_other(*settings));
  if (*settings == volume.settings) return {};
  volume.settings = std::move(*settings);
  volume.updated_at = now_rfc3339();
  return registry_.write(volume);
}

Result<ConfiguredVolume> Quarvo::configure(std::string_view name, const SettingChanges& changes,
                                           const Cancel& cancel) const {
  QUARVO_TRY(validate_volume_name(name));
  // Every new value is checked before anything; an unset needs the record.
  for (const auto& [key, value] : changes) {
    if (!value) continue;
    if (auto checked = check_setting(key, *value); !checked) return std::unexpected(std::move(checked).error());
  }
  const WaitLimits limits = call_limits(cancel);
  auto lock = registry_.lock(limits);
  if (!lock) return std::unexpected(std::move(lock).error());
  auto volume = registry_.read(name);
  if (!volume) return std::unexpected(std::move(volume).error());
  const VolumeSettings before = volume->settings;
  QUARVO_TRY(store_settings(*volume, changes));
  ConfiguredVolume configured{volume->name, volume->settings};
  if (volume->settings != before && volume->mountpoint &&
      is_served(state_at(volume->name, *volume->mountpoint, limits).state)) {
    configured.notes.push_back("it is mounted at " + path_text(*volume->mountpoint) +
                               " with the settings it had then; the change reaches it at its next mount");
  }
  return configured;
}

}  // namespace quarvo
