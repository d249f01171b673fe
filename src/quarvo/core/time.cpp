#include "quarvo/core/time.hpp"

#include <cstdio>
#include <ctime>

namespace quarvo {

std::string format_rfc3339(std::chrono::system_clock::time_point when) {
  using namespace std::chrono;
  constexpr const char* kFallback = "1970-01-01T00:00:00Z";
  // floor, not truncation: a time before 1970 still has a non-negative
  // fraction of its (earlier) second.
  const auto seconds = floor<std::chrono::seconds>(when);
  const auto nanos = duration_cast<nanoseconds>(when - seconds).count();
  const std::time_t t = system_clock::to_time_t(seconds);
  std::tm tm{};
  if (::gmtime_r(&t, &tm) == nullptr) return kFallback;
  const long long year = 1900LL + tm.tm_year;
  if (year < 0 || year > 9999) return kFallback;
  char buf[64];
  int n = std::snprintf(buf, sizeof buf, "%04lld-%02d-%02dT%02d:%02d:%02d", year, tm.tm_mon + 1, tm.tm_mday,
                        tm.tm_hour, tm.tm_min, tm.tm_sec);
  std::string out(buf, static_cast<size_t>(n));
  if (nanos != 0) {
    n = std::snprintf(buf, sizeof buf, ".%09lld", static_cast<long long>(nanos));
    std::string fraction(buf, static_cast<size_t>(n));
    fraction.erase(fraction.find_last_not_of('0') + 1);
    out += fraction;
  }
  out += 'Z';
  return out;
}

std::string now_rfc3339() { return format_rfc3339(std::chrono::system_clock::now()); }

}  // namespace quarvo
