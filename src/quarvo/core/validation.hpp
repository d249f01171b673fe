// quarvo/core/validation.hpp: the volume name rule.
//
// A name is one or more bytes, each an ASCII letter, digit, '.', '_' or '-'.
// No length limit, no rule on the first or last character ("." and ".." are
// valid names; the service guards the places where that matters).
#ifndef QUARVO_CORE_VALIDATION_HPP_
#define QUARVO_CORE_VALIDATION_HPP_

#include <string_view>

#include "quarvo/core/error.hpp"

namespace quarvo {

// Whether `name` follows the rule; allocates nothing.
[[nodiscard]] bool is_valid_volume_name(std::string_view name);

// Nothing, or InvalidVolumeName carrying a copy of the whole name.
[[nodiscard]] Result<void> validate_volume_name(std::string_view name);

}  // namespace quarvo

#endif  // QUARVO_CORE_VALIDATION_HPP_
