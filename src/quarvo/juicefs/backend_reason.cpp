#include "quarvo/juicefs/backend_reason.hpp"

#include <algorithm>
#include <optional>
#include <vector>

#include "quarvo/core/secrets.hpp"

namespace quarvo {
namespace {

constexpr size_t kMaxReason = 1000;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Whether `text` starts with a date and time "YYYY/MM/DD HH:MM:SS".
bool starts_with_timestamp(std::string_view text) {
  constexpr std::string_view kShape = "0000/00/00 00:00:00";
  if (text.size() < kShape.size()) return false;
  for (size_t i = 0; i < kShape.size(); ++i) {
    if (kShape[i] == '0' ? !is_digit(text[i]) : text[i] != kShape[i]) return false;
  }
  return true;
}

// A record's first line: "DATE TIME PROGRAM[PID] <LEVEL>: words".
struct Header {
  std::string_view level;
  size_t words = 0;  // where the words begin
};

std::optional<Header> record_header(std::string_view line) {
  if (!starts_with_timestamp(line)) return std::nullopt;
  const size_t open = line.find(" <");
  const size_t close = open == std::string_view::npos ? open : line.find(">: ", open);
  if (close == std::string_view::npos) return std::nullopt;
  const std::string_view level = line.substr(open + 2, close - open - 2);
  if (level.empty() || !std::all_of(level.begin(), level.end(), [](char c) { return c >= 'A' && c <= 'Z'; })) {
    return std::nullopt;
  }
  return Header{level, close + 3};
}

// Whether a line opens a record of some other logger inside the backend
// ("redis: 2026/12/06 17:49:32 pool.go:617: ..."): a timestamp near its start.
bool opens_foreign_record(std::string_view line) {
  const size_t limit = std::min<size_t>(line.size(), 32);
  for (size_t i = 0; i < limit; ++i) {
    if (starts_with_timestamp(line.substr(i))) return true;
  }
  return false;
}

// Where a record's closing source position " [function@file.go:123]" starts
// in `line`, or npos when the line does not end with one.
size_t source_position(std::string_view line) {
  if (!line.ends_with(']')) return std::string_view::npos;
  const size_t open = line.rfind(" [");
  if (open == std::string_view::npos) return open;
  const std::string_view inside = line.substr(open + 2, line.size() - open - 3);
  const size_t at = inside.find('@');
  const size_t colon = inside.rfind(':');
  if (at == std::string_view::npos || colon == std::string_view::npos || colon < at || colon + 1 == inside.size()) {
    return std::string_view::npos;
  }
  const std::string_view line_number = inside.substr(colon + 1);
  return std::all_of(line_number.begin(), line_number.end(), is_digit) ? open : std::string_view::npos;
}

std::string_view trim(std::string_view text) {
  const size_t begin = text.find_first_not_of(" \t\r");
  if (begin == std::string_view::npos) return {};
  return text.substr(begin, text.find_last_not_of(" \t\r") - begin + 1);
}

void replace_all(std::string& text, std::string_view what, std::string_view with) {
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + with.size())) {
    text.replace(at, what.size(), with);
  }
}

// The text cut to end at `end`, or before, at the start of the character
// that `end` falls in.
void cut_at(std::string& text, size_t end) {
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  text.resize(end);
}

// The start of the secret (4 bytes or more of it) at the end of the text, as
// a cut leaves a password it broke off, taken off, again and again.
void drop_secret_start(std::string& text, std::string_view secret) {
  for (bool dropped = true; dropped;) {
    dropped = false;
    for (size_t k = std::min(secret.size(), text.size()); k >= kMinSecretToReplace; --k) {
      if (text.ends_with(secret.substr(0, k))) {
        cut_at(text, text.size() - k);
        dropped = true;
        break;
      }
    }
  }
}

}  // namespace

std::string backend_reason(std::string_view output, std::string_view secret) {
  std::vector<std::string_view> last;     // the lines of the last FATAL or ERROR record
  std::vector<std::string_view> current;  // the record being read
  bool open = false;                      // `current` may still go on
  while (!output.empty()) {
    const size_t newline = output.find('\n');
    std::string_view line = output.substr(0, newline);
    output.remove_prefix(newline == std::string_view::npos ? output.size() : newline + 1);

    if (auto header = record_header(line)) {
      open = header->level == "FATAL" || header->level == "ERROR" || header->level == "PANIC";
      if (!open) continue;
      current.assign(1, line.substr(header->words));
    } else if (!open || opens_foreign_record(line)) {
      open = false;
      continue;
    } else {
      current.push_back(line);
    }
    if (const size_t at = source_position(current.back()); at != std::string_view::npos) {
      current.back() = current.back().substr(0, at);
      open = false;
    }
    last = current;
  }

  std::string reason;
  for (std::string_view piece : last) {
    piece = trim(piece);
    if (piece.empty()) continue;
    if (!reason.empty()) reason += ' ';
    reason.append(piece);
  }
  // Masked, cut to the bound, and masked again: the cut's "..." may complete
  // a password that ends in dots, and a password the cut broke off leaves
  // its start at the end, which goes too.
  reason = mask_output(reason, secret);
  const bool too_long = reason.size() > kMaxReason;
  if (too_long) cut_at(reason, kMaxReason);
  if (secret.size() < kMinSecretToReplace) return too_long ? reason + "..." : reason;
  drop_secret_start(reason, secret);
  if (too_long) reason += "...";
  replace_all(reason, secret, kSecretMask);
  drop_secret_start(reason, secret);
  return reason;
}

}  // namespace quarvo
