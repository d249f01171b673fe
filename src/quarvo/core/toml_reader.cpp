#include "quarvo/core/toml_reader.hpp"
#include "quarvo/core/text.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <optional>
#include <toml++/toml.h>

namespace quarvo {
namespace {

TomlPosition position_of(const toml::source_position& p) {
  // Every parsed node has a position; a zero would only come from a node
  // built in code, and the frame needs 1-based numbers either way.
  return TomlPosition{std::max<std::uint32_t>(p.line, 1), std::max<std::uint32_t>(p.column, 1)};
}

bool before(TomlPosition a, TomlPosition b) {
  return a.line != b.line ? a.line < b.line : a.column < b.column;
}

// A float the way a type error shows it: shortest round-trip digits, with
// ".0" added to integral values so they do not read as integers.
std::string float_text(double value) {
  if (std::isnan(value)) return "NaN";
  char buf[64];
  const auto end = std::to_chars(buf, buf + sizeof buf, value).ptr;
  std::string out(buf, end);
  if (out.find_first_not_of("-0123456789") == std::string::npos) out += ".0";
  return out;
}

std::string date_text(const toml::date& d) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04u-%02u-%02u", unsigned{d.year}, unsigned{d.month}, unsigned{d.day});
  return buf;
}

std::string time_text(const toml::time& t) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "%02u:%02u:%02u", unsigned{t.hour}, unsigned{t.minute}, unsigned{t.second});
  std::string out = buf;
  if (t.nanosecond != 0) {
    std::snprintf(buf, sizeof buf, ".%09u", static_cast<unsigned>(t.nanosecond));
    std::string fraction = buf;
    fraction.erase(fraction.find_last_not_of('0') + 1);
    out += fraction;
  }
  return out;
}

std::string date_time_text(const toml::date_time& dt) {
  std::string out = date_text(dt.date) + "T" + time_text(dt.time);
  if (dt.offset) {
    const int minutes = dt.offset->minutes;
    if (minutes == 0) {
      out += "Z";
    } else {
      char buf[16];
      const int a = minutes < 0 ? -minutes : minutes;
      std::snprintf(buf, sizeof buf, "%c%02d:%02d", minutes < 0 ? '-' : '+', a / 60, a % 60);
      out += buf;
    }
  }
  return out;
}

TomlEntry make_entry(const toml::key& key, const toml::node& value) {
  TomlEntry e;
  e.key = std::string(key.str());
  e.key_at = position_of(key.source().begin);
  e.value_at = position_of(value.source().begin);
  switch (value.type()) {
    case toml::node_type::string:
      e.type = TomlType::String;
      e.string = value.as_string()->get();  // shown only when it is the wrong type
      break;
    case toml::node_type::integer:
      e.type = TomlType::Integer;
      e.shown = "integer `" + std::to_string(value.as_integer()->get()) + "`";
      break;
    case toml::node_type::floating_point:
      e.type = TomlType::Float;
      e.shown = "floating point `" + float_text(value.as_floating_point()->get()) + "`";
      break;
    case toml::node_type::boolean:
      e.type = TomlType::Boolean;
      e.boolean = value.as_boolean()->get();
      e.shown = e.boolean ? "boolean `true`" : "boolean `false`";
      break;
    case toml::node_type::date:
      e.type = TomlType::Date;
      e.shown = "date `" + date_text(value.as_date()->get()) + "`";
      break;
    case toml::node_type::time:
      e.type = TomlType::Time;
      e.shown = "time `" + time_text(value.as_time()->get()) + "`";
      break;
    case toml::node_type::date_time:
      e.type = TomlType::DateTime;
      e.shown = "date-time `" + date_time_text(value.as_date_time()->get()) + "`";
      break;
    case toml::node_type::array:
      e.type = TomlType::Array;
      e.shown = "sequence";
      break;
    case toml::node_type::table:
    case toml::node_type::none:
      e.type = TomlType::Table;
      e.shown = "map";
      break;
  }
  return e;
}

// toml++ 3.3 reaches __builtin_unreachable (undefined behaviour: a wrong
// answer or a crash) when it asks whether certain non-ASCII characters are
// white space, which it does in many places, on valid and invalid documents
// alike: most of U+00A1 to U+0499, of U+2C8E to U+3087 and of U+FB26 to
// U+FEFE. The parser is therefore never shown them. Each is replaced by a
// stand-in, U+F0000 plus its code point (private use, plane 15), which the
// parser takes alike: one character, allowed exactly where the original is,
// so positions and the document's structure do not change. Keys, string
// values and error descriptions get the originals back.
constexpr char32_t kStandInBase = 0xF0000;

bool needs_stand_in(char32_t c) {
  // The library's own test, minus the cases it answers without the fault.
  if (c <= 0xA0 || c >= 0xFEFF || c == 0x3000) return false;
  const auto block = (static_cast<std::uint64_t>(c) - 0xA0) / 0x3FA;
  if ((1ull << block) & 0x7FFFFFFFFFFFF75Eull) return false;
  return block != 5 && block != 7;
}

// Calls `on_char(begin, length, code point)` for every well-formed UTF-8
// character and `on_char(begin, 1, -1)` for every other byte.
template <class OnChar>
void for_each_char(std::string_view text, OnChar&& on_char) {
  for (size_t i = 0; i < text.size();) {
    char32_t c = 0;
    const int n = decode_utf8(text.substr(i), c);
    if (n < 0) {
      on_char(i, 1, -1);
      ++i;
      continue;
    }
    on_char(i, static_cast<size_t>(n), static_cast<std::int64_t>(c));
    i += static_cast<size_t>(n);
  }
}

// The text with stand-ins, or nullopt when it needs none. Where the text
// already holds a plane-15 character (or an escape that makes one), stand-ins
// could not be told from it: such a document gets the position of that
// character in `clash`.
std::optional<std::string> with_stand_ins(std::string_view text, std::optional<size_t>& clash) {
  bool needed = false;
  std::string out;
  out.reserve(text.size() + 8);
  for_each_char(text, [&](size_t at, size_t n, std::int64_t c) {
    if (c >= 0 && needs_stand_in(static_cast<char32_t>(c))) {
      needed = true;
      append_utf8(out, kStandInBase + static_cast<char32_t>(c));
      return;
    }
    if (c >= static_cast<std::int64_t>(kStandInBase) && c < 0x100000 && !clash) clash = at;
    out.append(text.substr(at, n));
  });
  if (!needed) return std::nullopt;
  for (std::string_view escape : {"\\U000F", "\\U000f"}) {
    if (const auto at = text.find(escape); at != std::string_view::npos && (!clash || at < *clash)) clash = at;
  }
  return out;
}

std::string without_stand_ins(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for_each_char(text, [&](size_t at, size_t n, std::int64_t c) {
    const auto original = static_cast<char32_t>(c - kStandInBase);
    if (c >= static_cast<std::int64_t>(kStandInBase) && c < kStandInBase + 0x10000 && needs_stand_in(original)) {
      append_utf8(out, original);
    } else {
      out.append(text.substr(at, n));
    }
  });
  return out;
}

// The 1-based line and character column of byte `offset` of `text`.
TomlPosition position_at(std::string_view text, size_t offset) {
  TomlPosition at;
  for_each_char(text.substr(0, offset), [&](size_t i, size_t, std::int64_t) {
    if (text[i] == '\n') {
      ++at.line;
      at.column = 1;
    } else {
      ++at.column;
    }
  });
  return at;
}

std::string_view expected_text(TomlType type) {
  return type == TomlType::Boolean ? "a boolean" : "a string";
}

}  // namespace

std::string render_toml_error(std::string_view text, TomlPosition at, std::string_view description) {
  // The offending line, without its line break; past the end it is empty.
  std::string_view line;
  {
    std::string_view rest = text;
    bool found = true;
    for (std::uint32_t n = 1; n < at.line; ++n) {
      const auto nl = rest.find('\n');
      if (nl == std::string_view::npos) {
        found = false;
        break;
      }
      rest.remove_prefix(nl + 1);
    }
    if (found) {
      line = rest.substr(0, rest.find('\n'));
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    }
  }
  const std::string number = std::to_string(at.line);
  const std::string gutter(number.size(), ' ');
  std::string out = "TOML parse error at line " + number + ", column " + std::to_string(at.column) + "\n";
  out += gutter + " |\n";
  // A message must stay UTF-8 even when the document was not.
  out += number + " | " + lossy_utf8(line) + "\n";
  out += gutter + " | " + std::string(at.column > 0 ? at.column - 1 : 0, ' ') + "^\n";
  out += description;
  return out;
}

Result<TomlDocument> TomlDocument::parse(std::string_view text) {
  TomlDocument doc;
  doc.text_ = std::string(text);
  std::optional<size_t> clash;
  const std::optional<std::string> stand_ins = with_stand_ins(doc.text_, clash);
  if (stand_ins && clash) {
    return std::unexpected(doc.error_at(position_at(doc.text_, *clash), "unsupported character in this document"));
  }
  toml::parse_result parsed = toml::parse(stand_ins ? std::string_view(*stand_ins) : std::string_view(doc.text_));
  if (!parsed) {
    const toml::parse_error& error = parsed.error();
    std::string description = lossy_utf8(error.description());
    if (stand_ins) description = without_stand_ins(description);
    return std::unexpected(doc.error_at(position_of(error.source().begin), description));
  }
  // The parser keeps tables sorted by key; records are read in source order.
  for (auto&& [key, value] : parsed.table()) {
    TomlEntry entry = make_entry(key, value);
    if (stand_ins) {
      entry.key = without_stand_ins(entry.key);
      entry.string = without_stand_ins(entry.string);
    }
    doc.entries_.push_back(std::move(entry));
  }
  std::stable_sort(doc.entries_.begin(), doc.entries_.end(),
                   [](const TomlEntry& a, const TomlEntry& b) { return before(a.key_at, b.key_at); });
  return doc;
}

Result<std::vector<const TomlEntry*>> TomlDocument::fields(std::span<const TomlField> fields) const {
  std::vector<const TomlEntry*> found(fields.size(), nullptr);
  for (const TomlEntry& entry : entries_) {
    const auto field = std::find_if(fields.begin(), fields.end(), [&](const TomlField& f) {
      return entry.key == f.name || (!f.alias.empty() && entry.key == f.alias);
    });
    if (field == fields.end()) continue;  // keys outside the record are ignored
    const auto index = static_cast<size_t>(field - fields.begin());
    if (found[index] != nullptr) {
      return std::unexpected(error_at(entry.key_at, "duplicate field `" + std::string(field->name) + "`"));
    }
    if (entry.type != field->type) {
      return std::unexpected(error_at(
          entry.value_at, "invalid type: " + (entry.type == TomlType::String ? "string " + quote(entry.string) : entry.shown) + ", expected " + std::string(expected_text(field->type))));
    }
    found[index] = &entry;
  }
  for (size_t i = 0; i < fields.size(); ++i) {
    if (fields[i].required && found[i] == nullptr) {
      return std::unexpected(error_at(TomlPosition{}, "missing field `" + std::string(fields[i].name) + "`"));
    }
  }
  return found;
}

QuarvoError TomlDocument::error_at(TomlPosition at, std::string_view description) const {
  return QuarvoError::toml_parse(TomlParseError{render_toml_error(text_, at, description)});
}

}  // namespace quarvo
