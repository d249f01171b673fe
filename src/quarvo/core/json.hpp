// quarvo/core/json.hpp: reading the JSON documents the storage backend prints, and writing strings.
//
// A small, strict reader (RFC 8259) into a tree of `JsonValue`: objects keep
// their members in document order, numbers keep their text so that large
// integers are read exactly, strings are UTF-8 with escapes undone. Nesting
// deeper than 64 levels, trailing text and malformed input give nullopt;
// nothing here throws.
//
//   auto doc = parse_json(output.stdout_text);
//   if (const JsonValue* uuid = doc ? doc->at("Setting", "UUID") : nullptr) ...
#ifndef QUARVO_CORE_JSON_HPP_
#define QUARVO_CORE_JSON_HPP_

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quarvo {

class JsonValue {
 public:
  enum class Kind { Null, Bool, Number, String, Array, Object };

  [[nodiscard]] Kind kind() const { return kind_; }

  // The member `key` of an object (the last one, should it repeat); nullptr
  // for a missing key or a value that is not an object. With several keys,
  // the path through nested objects.
  [[nodiscard]] const JsonValue* find(std::string_view key) const;
  template <class... Keys>
  [[nodiscard]] const JsonValue* at(Keys... keys) const {
    return at_path({std::string_view(keys)...});
  }

  // The string, or nullopt for another kind.
  [[nodiscard]] std::optional<std::string> string() const;
  // true or false, or nullopt for another kind.
  [[nodiscard]] std::optional<bool> boolean() const;
  // A number that is a non-negative integer fitting 64 bits, else nullopt.
  [[nodiscard]] std::optional<std::uint64_t> unsigned_integer() const;
  // The same for any integer that fits 64 bits signed.
  [[nodiscard]] std::optional<std::int64_t> integer() const;
  // The elements of an array; empty for another kind.
  [[nodiscard]] const std::vector<JsonValue>& elements() const { return elements_; }

 private:
  friend class JsonReader;
  [[nodiscard]] const JsonValue* at_path(std::initializer_list<std::string_view> path) const;

  Kind kind_ = Kind::Null;
  bool boolean_ = false;
  std::string text_;                                        // a string's value, a number's text
  std::vector<JsonValue> elements_;                         // Array
  std::vector<std::pair<std::string, JsonValue>> members_;  // Object, in document order
};

// Appends `utf8` as a JSON string, as Python's json.dumps(ensure_ascii=False)
// writes one: '"', '\\' and the control characters escaped, the rest as it is.
void append_json_string(std::string& out, std::string_view utf8);

// The document `text` holds, or nullopt when it is not exactly one JSON
// value (white space around it allowed).
[[nodiscard]] std::optional<JsonValue> parse_json(std::string_view text);

}  // namespace quarvo

#endif  // QUARVO_CORE_JSON_HPP_
