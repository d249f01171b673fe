#include "quarvo/core/validation.hpp"

#include <algorithm>
#include <string>

namespace quarvo {
namespace {

// The longest and shortest names the backend formats.
constexpr std::size_t kBackendNameLongest = 63;
constexpr std::size_t kBackendNameShortest = 3;

}  // namespace

bool is_valid_volume_name(std::string_view name) {
  // Names become file names and command arguments; this alphabet needs no
  // quoting anywhere. Checked on bytes, so no non-ASCII byte gets through.
  const auto allowed = [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
           c == '-';
  };
  return !name.empty() && std::all_of(name.begin(), name.end(), allowed);
}

Result<void> validate_volume_name(std::string_view name) {
  if (!is_valid_volume_name(name)) return std::unexpected(QuarvoError::invalid_volume_name(std::string(name)));
  return {};
}

Result<void> validate_backend_volume_name(std::string_view name) {
  QUARVO_TRY(validate_volume_name(name));
  const auto alnum = [](char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); };
  const bool ok = name.size() >= kBackendNameShortest && name.size() <= kBackendNameLongest && alnum(name.front()) &&
                  alnum(name.back()) &&
                  std::all_of(name.begin(), name.end(), [&](char c) { return alnum(c) || c == '-'; });
  if (!ok) return std::unexpected(QuarvoError::invalid_backend_volume_name(std::string(name)));
  return {};
}

std::string temporary_volume_name(std::string_view base, std::string_view suffix) {
  const std::size_t room = kBackendNameLongest - 1 - suffix.size();
  std::string stem;
  for (const char c : base) {
    if (stem.size() == room) break;
    const char lower = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    if ((lower >= 'a' && lower <= 'z') || (lower >= '0' && lower <= '9')) {
      stem += lower;
    } else if (!stem.empty() && stem.back() != '-') {
      stem += '-';
    }
  }
  while (!stem.empty() && stem.back() == '-') stem.pop_back();
  if (stem.empty()) stem = "volume";
  return stem + '-' + std::string(suffix);
}

}  // namespace quarvo
