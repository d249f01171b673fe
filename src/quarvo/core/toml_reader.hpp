// quarvo/core/toml_reader.hpp: reading TOML documents into typed fields.
//
// The only door to the TOML parser: `TomlDocument::parse` turns a text into
// its top-level entries in source order, each with its type, its string or
// boolean value and where its key and value start. `fields` then finds a
// record's fields among them with the usual rules (other keys ignored, a
// field given twice, a value of the wrong type and a missing required field
// are errors). Every error is TomlParse, rendered in one frame:
//
//   TOML parse error at line 3, column 7
//     |
//   3 | dev = "yes"
//     |       ^
//   invalid type: string "yes", expected a boolean
//
//   auto doc = TomlDocument::parse(text);
//   if (!doc) return std::unexpected(doc.error());
//   static constexpr TomlField kFields[] = {{"dev", {}, TomlType::Boolean, true}};
//   auto found = doc->fields(kFields);  // found->at(0)->boolean
#ifndef QUARVO_CORE_TOML_READER_HPP_
#define QUARVO_CORE_TOML_READER_HPP_

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "quarvo/core/error.hpp"

namespace quarvo {

// 1-based line and column; columns count characters, not bytes.
struct TomlPosition {
  std::uint32_t line = 1;
  std::uint32_t column = 1;
};

// The types of values, and what a field may ask for (Number: an Integer or
// a Float).
enum class TomlType { String, Integer, Float, Boolean, Date, Time, DateTime, Array, Table, Number };

struct TomlEntry {
  std::string key;
  TomlType type = TomlType::String;
  std::string string;    // the value when type is String
  bool boolean = false;  // the value when type is Boolean
  double number = 0;     // the value when type is Integer or Float
  // The value as a type error shows it: integer `5`, map, ... (empty for a
  // string, whose display is built only when it is needed).
  std::string shown;
  TomlPosition key_at;
  TomlPosition value_at;
  std::vector<TomlEntry> children;  // a table's entries in source order; an array's elements (no key)
};

// What a record expects of one field. `alias` is a second key for the same
// field (empty: none); messages always name the field by `name`.
struct TomlField {
  std::string_view name;
  std::string_view alias;
  TomlType type;  // String, Boolean, Integer, Number, Array or Table
  bool required;
};

class TomlDocument {
 public:
  // A syntax error (duplicate keys included) is TomlParse at its position.
  [[nodiscard]] static Result<TomlDocument> parse(std::string_view text);

  // For each of `fields`, its entry (owned by this document) or nullptr
  // when absent. Entries are visited in source order: a field seen twice is
  // "duplicate field `x`" at the second key, a value of the wrong type
  // "invalid type: ..." at the value; after the visit, the first absent
  // required field (in the order of `fields`) is "missing field `x`" at
  // line 1, column 1.
  [[nodiscard]] Result<std::vector<const TomlEntry*>> fields(std::span<const TomlField> fields) const;
  // The same rules inside a table of this document (a "missing field" error
  // then names the table's line).
  [[nodiscard]] Result<std::vector<const TomlEntry*>> fields_of(const TomlEntry& table,
                                                                std::span<const TomlField> fields) const;

  // "invalid type: string "x", expected EXPECTED" framed at the entry's value.
  [[nodiscard]] QuarvoError type_error(const TomlEntry& entry, std::string_view expected) const;

  // TomlParse with `description` framed at `at` in this document.
  [[nodiscard]] QuarvoError error_at(TomlPosition at, std::string_view description) const;

 private:
  [[nodiscard]] Result<std::vector<const TomlEntry*>> fields_in(std::span<const TomlEntry> entries,
                                                                std::span<const TomlField> fields,
                                                                TomlPosition missing_at) const;

  std::string text_;
  std::vector<TomlEntry> entries_;
};

}  // namespace quarvo

#endif  // QUARVO_CORE_TOML_READER_HPP_
