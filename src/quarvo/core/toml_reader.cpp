#include "quarvo/core/toml_reader.hpp"

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

// toml++ 3.3 reaches __builtin_unreachable (undefined behaviour: in practice
// a wrong answer or a crash) when it asks whether one of several non-ASCII
// characters (U+00A1 to U+0499, among others) is white space. It asks that of
// every character outside strings and comments, and in a multi-line basic
// string of the character after a backslash and of those after a
// line-ending backslash. TOML allows no non-ASCII character outside strings
// and comments anyway, and a multi-line string that continues a line with a
// non-ASCII character is rare; both are refused here, before the parser
// sees them. The scan follows the parser's own string rules, closing
// delimiters of up to five quotes included, so that it agrees with the parser
// on what is inside a string.
struct Refusal {
  TomlPosition at;
  std::string description;
};

std::optional<Refusal> refuse_before_parsing(std::string_view text) {
  enum class State { Normal, Comment, Basic, Literal, MultiBasic, MultiLiteral, Continuation };
  State state = State::Normal;
  TomlPosition at;
  size_t i = text.starts_with("\xEF\xBB\xBF") ? 3 : 0;  // the parser skips a byte order mark
  const auto refuse = [&](std::string_view what) {
    size_t n = 1;
    while (i + n < text.size() && (static_cast<unsigned char>(text[i + n]) & 0xC0) == 0x80) ++n;
    return Refusal{at, std::string(what) + " " + quote(text.substr(i, n))};
  };
  // Moves past `n` bytes, counting lines and characters as the parser does.
  const auto advance = [&](size_t n) {
    for (; n > 0 && i < text.size(); --n, ++i) {
      const auto byte = static_cast<unsigned char>(text[i]);
      if (byte == '\n') {
        ++at.line;
        at.column = 1;
      } else if ((byte & 0xC0) != 0x80) {
        ++at.column;
      }
    }
  };
  const auto run_of = [&](char quote_char) {
    size_t n = 0;
    while (i + n < text.size() && text[i + n] == quote_char) ++n;
    return n;
  };
  while (i < text.size()) {
    const char c = text[i];
    const bool ascii = static_cast<unsigned char>(c) < 0x80;
    switch (state) {
      case State::Normal:
        if (!ascii) return refuse("invalid character outside a string or a comment:");
        if (c == '#') {
          state = State::Comment;
        } else if (c == '"' || c == '\'') {
          const bool multi = run_of(c) >= 3;
          state = c == '"' ? (multi ? State::MultiBasic : State::Basic)
                           : (multi ? State::MultiLiteral : State::Literal);
          advance(multi ? 3 : 1);
          continue;
        }
        break;
      case State::Comment:
        if (c == '\n') state = State::Normal;
        break;
      case State::Basic:
      case State::Literal:
        if (c == '\n' || c == (state == State::Basic ? '"' : '\'')) {
          state = State::Normal;
        } else if (state == State::Basic && c == '\\' && i + 1 < text.size() && text[i + 1] != '\n') {
          advance(1);  // the escaped character cannot close the string
        }
        break;
      case State::MultiBasic:
      case State::MultiLiteral: {
        const char delimiter = state == State::MultiBasic ? '"' : '\'';
        if (c == delimiter) {
          const size_t n = run_of(c);
          if (n >= 3) state = State::Normal;
          advance(n >= 3 ? std::min<size_t>(n, 5) : n);
          continue;
        }
        if (state == State::MultiBasic && c == '\\') {
          advance(1);
          if (i >= text.size()) break;
          const char next = text[i];
          if (static_cast<unsigned char>(next) >= 0x80) return refuse("unsupported character after a backslash:");
          if (next == ' ' || next == '\t' || next == '\r' || next == '\n') state = State::Continuation;
        }
        break;
      }
      case State::Continuation:
        // A line-ending backslash: white space up to the next other character
        // is dropped, and that character is where the parser asks.
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') break;
        if (!ascii) return refuse("unsupported character after a line-ending backslash:");
        state = State::MultiBasic;
        continue;
    }
    advance(1);
  }
  return std::nullopt;
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
  if (auto refusal = refuse_before_parsing(doc.text_)) {
    return std::unexpected(doc.error_at(refusal->at, refusal->description));
  }
  toml::parse_result parsed = toml::parse(std::string_view(doc.text_));
  if (!parsed) {
    const toml::parse_error& error = parsed.error();
    return std::unexpected(doc.error_at(position_of(error.source().begin), lossy_utf8(error.description())));
  }
  // The parser keeps tables sorted by key; records are read in source order.
  for (auto&& [key, value] : parsed.table()) doc.entries_.push_back(make_entry(key, value));
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
