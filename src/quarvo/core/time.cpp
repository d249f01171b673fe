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
  int n = std::snprintf(buf, sizeof buf, "%04lld-%02d-%02dT%02d:%02d:%02d", year, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                        tm.tm_min, tm.tm_sec);
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

namespace {

using std::chrono::system_clock;

// A cursor over an RFC 3339 text, read part by part.
class Rfc3339Reader {
 public:
  explicit Rfc3339Reader(std::string_view text) : text_(text) {}

  [[nodiscard]] bool at_end() const { return pos_ == text_.size(); }

  // "YYYY-MM-DD", 'T' (or 't' or ' '), "HH:MM:SS": a valid date and time
  // (a leap second allowed), as UTC for now.
  std::optional<system_clock::time_point> date_time() {
    using namespace std::chrono;
    const int y = number(4);
    if (y < 0 || !sep("-")) return std::nullopt;
    const int mo = number(2);
    if (mo < 0 || !sep("-")) return std::nullopt;
    const int d = number(2);
    if (d < 0 || !sep("Tt ")) return std::nullopt;
    const int h = number(2);
    if (h < 0 || !sep(":")) return std::nullopt;
    const int mi = number(2);
    if (mi < 0 || !sep(":")) return std::nullopt;
    const int s = number(2);
    if (s < 0 || h > 23 || mi > 59 || s > 60) return std::nullopt;
    const year_month_day date{year{y}, month{static_cast<unsigned>(mo)}, day{static_cast<unsigned>(d)}};
    if (!date.ok()) return std::nullopt;
    return sys_days(date) + hours(h) + minutes(mi) + seconds(s);
  }

  // ".DIGITS" when there (none is zero); nullopt for a '.' without digits.
  std::optional<std::chrono::nanoseconds> fraction() {
    std::chrono::nanoseconds fraction{0};
    if (!sep(".")) return fraction;
    long long scale = 100000000;
    const size_t start = pos_;
    while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9') {
      fraction += std::chrono::nanoseconds((text_[pos_] - '0') * scale);
      scale /= 10;
      ++pos_;
    }
    if (pos_ == start) return std::nullopt;
    return fraction;
  }

  // "Z" (or "z"), or "+HH:MM" or "-HH:MM": what to add to the local time to
  // have UTC.
  std::optional<std::chrono::minutes> to_utc() {
    using namespace std::chrono;
    if (sep("Zz")) return minutes(0);
    if (pos_ >= text_.size() || (text_[pos_] != '+' && text_[pos_] != '-')) return std::nullopt;
    const bool ahead = text_[pos_++] == '+';
    const int oh = number(2);
    if (oh < 0 || !sep(":")) return std::nullopt;
    const int om = number(2);
    if (om < 0 || oh > 23 || om > 59) return std::nullopt;
    // Local time ahead of UTC: UTC is earlier by the offset.
    const minutes offset = hours(oh) + minutes(om);
    return ahead ? -offset : offset;
  }

 private:
  // `width` digits at the cursor, else -1.
  int number(size_t width) {
    if (pos_ + width > text_.size()) return -1;
    int n = 0;
    for (size_t i = 0; i < width; ++i) {
      const char c = text_[pos_ + i];
      if (c < '0' || c > '9') return -1;
      n = n * 10 + (c - '0');
    }
    pos_ += width;
    return n;
  }

  // One of the characters `any` at the cursor, taken.
  bool sep(std::string_view any) {
    if (pos_ >= text_.size() || any.find(text_[pos_]) == std::string_view::npos) return false;
    ++pos_;
    return true;
  }

  std::string_view text_;
  size_t pos_ = 0;
};

}  // namespace

std::optional<system_clock::time_point> parse_rfc3339(std::string_view text) {
  Rfc3339Reader reader(text);
  const auto when = reader.date_time();
  if (!when) return std::nullopt;
  const auto fraction = reader.fraction();
  if (!fraction) return std::nullopt;
  const auto to_utc = reader.to_utc();
  if (!to_utc || !reader.at_end()) return std::nullopt;
  return *when + std::chrono::duration_cast<system_clock::duration>(*fraction) + *to_utc;
}

std::string now_rfc3339() { return format_rfc3339(std::chrono::system_clock::now()); }

std::string seconds_text(std::chrono::milliseconds bound) {
  const long long ms = bound.count();
  std::string text = std::to_string(ms / 1000);
  if (const long long frac = ms % 1000; frac != 0) {
    std::string digits = std::to_string(1000 + frac).substr(1);  // three digits, leading zeros kept
    while (digits.back() == '0') digits.pop_back();
    text += "." + digits;
  }
  return text;
}

}  // namespace quarvo
