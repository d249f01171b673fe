// quarvo/core/validation.hpp: the volume name rule.
//
// A name is one or more bytes, each an ASCII letter, digit, '.', '_' or '-'.
// No length limit, no rule on the first or last character ("." and ".." are
// valid names; the service guards the places where that matters).
#ifndef QUARVO_CORE_VALIDATION_HPP_
#define QUARVO_CORE_VALIDATION_HPP_

#include <string>
#include <string_view>

#include "quarvo/core/error.hpp"

namespace quarvo {

// Whether `name` follows the rule; allocates nothing.
[[nodiscard]] bool is_valid_volume_name(std::string_view name);

// Nothing, or InvalidVolumeName carrying a copy of the whole name.
[[nodiscard]] Result<void> validate_volume_name(std::string_view name);

// The stricter rule of the storage backend, which formats only names of
// kBackendVolumeNameRule. The command line holds a new volume's name to it
// before any work; the API keeps the rule above. Nothing; InvalidVolumeName
// for a name Quarvo's own rule refuses; else InvalidBackendVolumeName, whose
// message states the backend's rule.
[[nodiscard]] Result<void> validate_backend_volume_name(std::string_view name);

// A name for a volume that lives only a while (Quarvo.mounted with
// temporary=True), made from any text `base` within the backend's rule:
// lower-cased; each run of other characters than letters and digits ('_',
// '.', a space, a byte outside ASCII) one '-', none at either end; cut so
// that '-' and `suffix` fit in 63 characters ("volume" when nothing is
// left); then '-' and `suffix`, which holds 1 to 16 lowercase letters or
// digits (the caller's random part).
//
//   temporary_volume_name("My_Test.case", "1a2b3c4d")  // "my-test-case-1a2b3c4d"
[[nodiscard]] std::string temporary_volume_name(std::string_view base, std::string_view suffix);

// The backend's rule in words, as its error and the command's help state it.
inline constexpr char kBackendVolumeNameRule[] =
    "3 to 63 characters: lowercase letters, digits and '-', beginning and ending with a letter or digit";

}  // namespace quarvo

#endif  // QUARVO_CORE_VALIDATION_HPP_
