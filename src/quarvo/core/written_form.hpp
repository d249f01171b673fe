// quarvo/core/written_form.hpp: the record exactly as this program writes it.
//
// Records are nearly always exactly as volume_to_toml wrote them, and a
// listing reads thousands of them: reading that one form directly costs a
// fraction of a full TOML parse and gives the same record. Anything else,
// a hand-edited file included, is refused here and goes to the full reader.
// What this reader takes, the full reader takes too, with the same result:
// it refuses whatever the full reader would (a pid with a leading zero, a
// setting given twice). Internal to the core: models.cpp is its one user.
#ifndef QUARVO_CORE_WRITTEN_FORM_HPP_
#define QUARVO_CORE_WRITTEN_FORM_HPP_

#include <cstdint>
#include <string_view>
#include <utility>

#include "quarvo/core/models.hpp"

namespace quarvo {

// The escapes the writer uses, raw character first; the written-form reader
// accepts exactly these and \u00XX.
inline constexpr std::pair<char, char> kWrittenEscapes[] = {{'"', '"'},  {'\\', '\\'}, {'\b', 'b'}, {'\t', 't'},
                                                            {'\n', 'n'}, {'\f', 'f'},  {'\r', 'r'}};

// Process ids are positive and fit a pid_t.
inline constexpr std::int64_t kMaxRecordPid = 0x7FFFFFFF;

// The characters of a bare TOML key.
[[nodiscard]] constexpr bool is_bare_key_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

// Reads the written form of a text already known to be UTF-8 into `volume`,
// reusing its strings' storage; false for any other text (`volume` then
// holds whatever part was read).
[[nodiscard]] bool read_written_form(std::string_view text, Volume& volume);

}  // namespace quarvo

#endif  // QUARVO_CORE_WRITTEN_FORM_HPP_
