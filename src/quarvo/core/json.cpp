#include "quarvo/core/json.hpp"

#include <charconv>

#include "quarvo/core/text.hpp"

namespace quarvo {

// JsonReader: one pass over the text, recursive descent. Every method
// returns false on malformed input and leaves the position undefined.
class JsonReader {
 public:
  explicit JsonReader(std::string_view text) : text_(text) {}

  bool document(JsonValue& out) {
    if (!value(out, 0)) return false;
    space();
    return pos_ == text_.size();
  }

 private:
  static constexpr int kMaxDepth = 64;

  bool value(JsonValue& out, int depth) {
    if (depth >= kMaxDepth) return false;
    space();
    if (pos_ >= text_.size()) return false;
    switch (text_[pos_]) {
      case '{':
        return object(out, depth);
      case '[':
        return array(out, depth);
      case '"':
        out.kind_ = JsonValue::Kind::String;
        return string(out.text_);
      case 't':
        return literal("true", out, JsonValue::Kind::Bool, true);
      case 'f':
        return literal("false", out, JsonValue::Kind::Bool, false);
      case 'n':
        return literal("null", out, JsonValue::Kind::Null, false);
      default:
        return number(out);
    }
  }

  bool object(JsonValue& out, int depth) {
    out.kind_ = JsonValue::Kind::Object;
    ++pos_;  // '{'
    if (eat('}')) return true;
    do {
      space();
      std::string key;
      if (!string(key) || !eat(':')) return false;
      JsonValue member;
      if (!value(member, depth + 1)) return false;
      out.members_.emplace_back(std::move(key), std::move(member));
    } while (eat(','));
    return eat('}');
  }

  bool array(JsonValue& out, int depth) {
    out.kind_ = JsonValue::Kind::Array;
    ++pos_;  // '['
    if (eat(']')) return true;
    do {
      JsonValue element;
      if (!value(element, depth + 1)) return false;
      out.elements_.push_back(std::move(element));
    } while (eat(','));
    return eat(']');
  }

  bool literal(std::string_view word, JsonValue& out, JsonValue::Kind kind, bool boolean) {
    if (text_.substr(pos_, word.size()) != word) return false;
    pos_ += word.size();
    out.kind_ = kind;
    out.boolean_ = boolean;
    return true;
  }

  // -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
  bool number(JsonValue& out) {
    const size_t start = pos_;
    if (peek('-')) ++pos_;
    if (peek('0')) {
      ++pos_;
    } else if (!digits()) {
      return false;
    }
    if (peek('.')) {
      ++pos_;
      if (!digits()) return false;
    }
    if (peek('e') || peek('E')) {
      ++pos_;
      if (peek('+') || peek('-')) ++pos_;
      if (!digits()) return false;
    }
    out.kind_ = JsonValue::Kind::Number;
    out.text_ = std::string(text_.substr(start, pos_ - start));
    return true;
  }

  bool digits() {
    const size_t start = pos_;
    while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9') ++pos_;
    return pos_ > start;
  }

  bool string(std::string& out) {
    if (!peek('"')) return false;
    ++pos_;
    while (pos_ < text_.size()) {
      const char c = text_[pos_++];
      if (c == '"') return is_valid_utf8(out);
      if (static_cast<unsigned char>(c) < 0x20) return false;  // control characters must be escaped
      if (c != '\\') {
        out += c;
      } else if (!escape(out)) {
        return false;
      }
    }
    return false;
  }

  // The escape after a backslash, appended to `out`.
  bool escape(std::string& out) {
    if (pos_ >= text_.size()) return false;
    static constexpr std::string_view kFrom = "\"\\/bfnrt", kTo = "\"\\/\b\f\n\r\t";
    const char c = text_[pos_++];
    if (const size_t at = kFrom.find(c); at != std::string_view::npos) {
      out += kTo[at];
      return true;
    }
    return c == 'u' && unicode_escape(out);
  }

  // The four hex digits after "\u" (two escapes for a surrogate pair: one
  // character; a lone surrogate has no UTF-8), appended as UTF-8.
  bool unicode_escape(std::string& out) {
    char32_t cp = 0;
    if (!hex4(cp)) return false;
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      char32_t low = 0;
      if (text_.substr(pos_, 2) != "\\u") return false;
      pos_ += 2;
      if (!hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
      cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
    } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
      return false;
    }
    append_utf8(out, cp);
    return true;
  }

  bool hex4(char32_t& cp) {
    if (pos_ + 4 > text_.size()) return false;
    for (int i = 0; i < 4; ++i) {
      const char c = text_[pos_++];
      int v = -1;
      if (c >= '0' && c <= '9') v = c - '0';
      if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
      if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
      if (v < 0) return false;
      cp = cp * 16 + static_cast<char32_t>(v);
    }
    return true;
  }

  void space() {
    while (pos_ < text_.size() &&
           (text_[pos_] == ' ' || text_[pos_] == '\t' || text_[pos_] == '\n' || text_[pos_] == '\r')) {
      ++pos_;
    }
  }
  bool peek(char c) const { return pos_ < text_.size() && text_[pos_] == c; }
  bool eat(char c) {
    space();
    if (!peek(c)) return false;
    ++pos_;
    return true;
  }

  std::string_view text_;
  size_t pos_ = 0;
};

const JsonValue* JsonValue::find(std::string_view key) const {
  if (kind_ != Kind::Object) return nullptr;
  for (auto it = members_.rbegin(); it != members_.rend(); ++it) {
    if (it->first == key) return &it->second;
  }
  return nullptr;
}

const JsonValue* JsonValue::at_path(std::initializer_list<std::string_view> path) const {
  const JsonValue* value = this;
  for (std::string_view key : path) {
    value = value->find(key);
    if (value == nullptr) return nullptr;
  }
  return value;
}

std::optional<bool> JsonValue::boolean() const {
  if (kind_ != Kind::Bool) return std::nullopt;
  return boolean_;
}

std::optional<std::string> JsonValue::string() const {
  if (kind_ != Kind::String) return std::nullopt;
  return text_;
}

namespace {

// A number's whole text as an integer of type T, else nullopt.
template <class T>
std::optional<T> integer_of(const std::string& text) {
  T n = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return n;
}

}  // namespace

std::optional<std::uint64_t> JsonValue::unsigned_integer() const {
  return kind_ == Kind::Number ? integer_of<std::uint64_t>(text_) : std::nullopt;
}

std::optional<std::int64_t> JsonValue::integer() const {
  return kind_ == Kind::Number ? integer_of<std::int64_t>(text_) : std::nullopt;
}

std::optional<JsonValue> parse_json(std::string_view text) {
  JsonValue out;
  if (!JsonReader(text).document(out)) return std::nullopt;
  return out;
}

void append_json_string(std::string& out, std::string_view utf8) {
  out += '"';
  // Runs of characters that need no escape (nearly all of them) go in one append.
  std::size_t run = 0;
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    const auto c = static_cast<unsigned char>(utf8[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(utf8, run, i - run);
    run = i + 1;
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      default:
        out += "\\u00";
        out += "0123456789abcdef"[c >> 4];
        out += "0123456789abcdef"[c & 0xF];
    }
  }
  out.append(utf8, run);
  out += '"';
}

}  // namespace quarvo
