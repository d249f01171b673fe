#include "quarvo/juicefs/mount_options.hpp"

#include <algorithm>
#include <cstdint>
#include <iterator>

#include "quarvo/core/text.hpp"

namespace quarvo {
namespace {

enum class Kind { Flag, Mebibytes, Megabits, Ratio, Duration, Directory, Subdir };

struct Spec {
  std::string_view key;
  Kind kind;
};

// The allow-list, in the order messages name the keys.
constexpr Spec kSpecs[] = {
    {"read-only", Kind::Flag},        {"subdir", Kind::Subdir},          {"cache-dir", Kind::Directory},
    {"cache-size", Kind::Mebibytes},  {"free-space-ratio", Kind::Ratio}, {"writeback", Kind::Flag},
    {"buffer-size", Kind::Mebibytes}, {"upload-limit", Kind::Megabits},  {"download-limit", Kind::Megabits},
    {"attr-cache", Kind::Duration},   {"entry-cache", Kind::Duration},   {"dir-entry-cache", Kind::Duration},
    {"allow-other", Kind::Flag},      {"usage-report", Kind::Flag},
};

// What each kind takes, for messages.
std::string_view takes(Kind kind) {
  switch (kind) {
    case Kind::Flag:
      return "true or false";
    case Kind::Mebibytes:
      return "a whole number of MiB";
    case Kind::Megabits:
      return "a whole number of Mbps (0: no limit)";
    case Kind::Ratio:
      return "a decimal number from 0 up to, not including, 1";
    case Kind::Duration:
      return "a duration: seconds (\"2\", \"0.5\") or with units h, m, s, ms, us, ns (\"1m30s\")";
    case Kind::Directory:
      return "one absolute directory path without ':' or '*' (the block cache goes in its subdirectory named "
             "after the volume's UUID)";
    case Kind::Subdir:
      return "a directory inside the volume, such as \"projects/web\" (created when missing)";
  }
  return "";
}

const Spec* find_spec(std::string_view key) {
  const auto* spec = std::find_if(std::begin(kSpecs), std::end(kSpecs), [&](const Spec& s) { return s.key == key; });
  return spec == std::end(kSpecs) ? nullptr : spec;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Digits only; the value without leading zeros ("0" for zeros only), or
// empty when it is no whole number or an absurd one (more than 15 digits).
std::string whole_number(std::string_view text) {
  if (text.empty() || !std::all_of(text.begin(), text.end(), is_digit)) return {};
  const size_t first = std::min(text.find_first_not_of('0'), text.size() - 1);
  const std::string_view digits = text.substr(first);
  return digits.size() > 15 ? std::string() : std::string(digits);
}

// DIGITS, DIGITS.DIGITS or .DIGITS: how many characters of `text` make one,
// 0 for none.
size_t decimal_length(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && is_digit(text[i])) ++i;
  size_t fraction = 0;
  if (i < text.size() && text[i] == '.') {
    while (i + 1 + fraction < text.size() && is_digit(text[i + 1 + fraction])) ++fraction;
    if (fraction == 0) return i;  // "1." stops before the point
    return i + 1 + fraction;
  }
  return i;
}

bool is_ratio(std::string_view text) {
  if (decimal_length(text) != text.size() || text.empty()) return false;
  // [0, 1): the integral part, if any, is zeros.
  const size_t point = text.find('.');
  const std::string_view integral = text.substr(0, point);
  return std::all_of(integral.begin(), integral.end(), [](char c) { return c == '0'; });
}

// Seconds as a plain decimal, or a sequence of DECIMAL UNIT as the backend's
// duration parser takes (no sign: a negative cache time means nothing).
bool is_duration(std::string_view text) {
  if (text.empty()) return false;
  if (decimal_length(text) == text.size()) return true;
  static constexpr std::string_view kUnits[] = {"ns", "us", "\u00B5s", "ms", "s", "m", "h"};
  while (!text.empty()) {
    const size_t n = decimal_length(text);
    if (n == 0) return false;
    text.remove_prefix(n);
    const auto* unit = std::find_if(std::begin(kUnits), std::end(kUnits), [&](std::string_view u) {
      // "m" must not take the "m" of "ms".
      return text.starts_with(u) && !(u == "m" && text.starts_with("ms"));
    });
    if (unit == std::end(kUnits)) return false;
    text.remove_prefix(unit->size());
  }
  return true;
}

bool has_control(std::string_view text) {
  return std::any_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
}

// "a/b" from "/a//b/./" : no empty or "." components, none that is "..".
// Empty when it names no directory below the root, or climbs out of it.
std::string subdir_path(std::string_view text) {
  std::string out;
  while (!text.empty()) {
    const size_t slash = text.find('/');
    const std::string_view part = text.substr(0, slash);
    text = slash == std::string_view::npos ? std::string_view() : text.substr(slash + 1);
    if (part.empty() || part == ".") continue;
    if (part == "..") return {};
    if (!out.empty()) out += '/';
    out += part;
  }
  return out;
}

QuarvoError bad_value(const Spec& spec, std::string_view text, std::string_view why = {}) {
  std::string detail = "setting " + std::string(spec.key) + " = " + quote(text) + ": ";
  detail += why.empty() ? "expected " + std::string(takes(spec.kind)) : std::string(why);
  return QuarvoError::invalid_argument(std::move(detail));
}

Result<SettingValue> parse_known(const Spec& spec, std::string_view text) {
  if (has_control(text)) return std::unexpected(bad_value(spec, text, "a value cannot hold control characters"));
  switch (spec.kind) {
    case Kind::Flag:
      if (text == "true") return SettingValue{true};
      if (text == "false") return SettingValue{false};
      break;
    case Kind::Mebibytes:
    case Kind::Megabits:
      if (std::string number = whole_number(text); !number.empty()) return SettingValue{std::move(number)};
      break;
    case Kind::Ratio:
      if (is_ratio(text)) return SettingValue{std::string(text)};
      break;
    case Kind::Duration:
      if (is_duration(text)) return SettingValue{std::string(text)};
      break;
    case Kind::Directory:
      if (text == "memory")
        return std::unexpected(
            bad_value(spec, text, "a cache in memory is not taken; expected " + std::string(takes(spec.kind))));
      if (text.starts_with('/') && text.find_first_of(":*") == std::string_view::npos) {
        return SettingValue{std::string(text)};
      }
      break;
    case Kind::Subdir:
      if (std::string path = subdir_path(text); !path.empty()) return SettingValue{std::move(path)};
      if (text.find("..") == std::string_view::npos) {
        return std::unexpected(bad_value(spec, text, "that is the volume's root; unset subdir to mount all of it"));
      }
      break;
  }
  return std::unexpected(bad_value(spec, text));
}

}  // namespace

std::vector<std::string_view> setting_keys() {
  std::vector<std::string_view> keys;
  for (const Spec& spec : kSpecs) keys.push_back(spec.key);
  return keys;
}

std::string known_setting_keys() {
  std::string keys;
  for (const std::string_view key : setting_keys()) {
    if (!keys.empty()) keys += ", ";
    keys += key;
  }
  return keys;
}

Result<SettingValue> parse_setting(std::string_view key, std::string_view text) {
  const Spec* spec = find_spec(key);
  if (spec == nullptr) {
    return std::unexpected(
        QuarvoError::invalid_argument("unknown setting " + quote(key) + "; the settings are: " + known_setting_keys()));
  }
  return parse_known(*spec, text);
}

Result<SettingValue> check_setting(std::string_view key, const SettingValue& value) {
  if (const auto* text = std::get_if<std::string>(&value)) return parse_setting(key, *text);
  const Spec* spec = find_spec(key);
  if (spec != nullptr && spec->kind != Kind::Flag) {
    return std::unexpected(bad_value(*spec, std::get<bool>(value) ? "true" : "false"));
  }
  auto checked = parse_setting(key, std::get<bool>(value) ? "true" : "false");
  if (!checked) return std::unexpected(std::move(checked).error());
  return value;
}

Result<VolumeSettings> check_settings(const VolumeSettings& settings) {
  VolumeSettings checked;
  for (const auto& [key, value] : settings) {
    auto one = check_setting(key, value);
    if (!one) return std::unexpected(std::move(one).error());
    checked.emplace(key, std::move(*one));
  }
  return checked;
}

Result<VolumeSettings> apply_setting_changes(VolumeSettings settings, const SettingChanges& changes) {
  for (const auto& [key, change] : changes) {
    if (change) {
      auto value = check_setting(key, *change);
      if (!value) return std::unexpected(std::move(value).error());
      settings.insert_or_assign(key, std::move(*value));
    } else if (settings.erase(key) == 0 && find_spec(key) == nullptr) {
      auto refused = parse_setting(key, "");
      return std::unexpected(std::move(refused).error());
    }
  }
  return settings;
}

bool setting_flag(const VolumeSettings& settings, std::string_view key) {
  const auto found = settings.find(key);
  if (found == settings.end()) return false;
  const bool* flag = std::get_if<bool>(&found->second);
  return flag != nullptr && *flag;
}

std::vector<std::string> mount_option_args(const VolumeSettings& settings) {
  std::vector<std::string> args;
  for (const auto& [key, value] : settings) {
    if (key == "usage-report") continue;
    if (const auto* text = std::get_if<std::string>(&value)) {
      args.push_back("--" + key + "=" + *text);
    } else if (std::get<bool>(value)) {
      if (key == kAllowOtherSetting) {
        args.insert(args.end(), {"-o", "allow_other"});
      } else {
        args.push_back("--" + key);
      }
    }
  }
  if (!setting_flag(settings, "usage-report")) args.push_back("--no-usage-report");
  return args;
}

}  // namespace quarvo
