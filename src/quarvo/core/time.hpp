// quarvo/core/time.hpp: timestamps for volume records, and bounds as the user reads them.
#ifndef QUARVO_CORE_TIME_HPP_
#define QUARVO_CORE_TIME_HPP_

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace quarvo {

// The current UTC time in RFC 3339: 2026-12-05T07:08:06Z, with a fraction of
// one to nine digits (trailing zeros removed) only when it is non-zero.
[[nodiscard]] std::string now_rfc3339();

// The same rendering for a given time; "1970-01-01T00:00:00Z" when the year
// falls outside 0 to 9999.
[[nodiscard]] std::string format_rfc3339(std::chrono::system_clock::time_point when);

// Reads an RFC 3339 time as other programs write it: YYYY-MM-DDTHH:MM:SS
// ('t' or ' ' also separating date and time), an optional fraction, then "Z"
// or an offset such as "+02:00". nullopt for anything else.
[[nodiscard]] std::optional<std::chrono::system_clock::time_point> parse_rfc3339(std::string_view text);

// "30", "1.5", "0.005": a bound in seconds as the user gave it, to the
// millisecond, without trailing zeros.
[[nodiscard]] std::string seconds_text(std::chrono::milliseconds bound);

}  // namespace quarvo

#endif  // QUARVO_CORE_TIME_HPP_
