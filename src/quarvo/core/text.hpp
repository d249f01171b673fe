// quarvo/core/text.hpp: UTF-8 text as the system shows it.
//
// Everything the system turns into text goes through here: paths and child
// output are read as UTF-8 with every ill-formed sequence replaced by U+FFFD
// (the rule of Python's bytes.decode("utf-8", "replace")), and names and URLs
// in messages are quoted with escapes for what Python would not print, any
// text from the user or a file cut to a line's worth.
// `decode_utf8` is the one decoder; every other walk over UTF-8 uses it.
//
//   quote("my\tvol")           // "\"my\\tvol\""
//   path_text("/tmp/\xff")     // "/tmp/\uFFFD"
#ifndef QUARVO_CORE_TEXT_HPP_
#define QUARVO_CORE_TEXT_HPP_

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

namespace quarvo {

// Decodes the sequence at the start of `s` (which must not be empty). Returns
// its length and sets `cp` when it is well-formed UTF-8; otherwise returns
// minus the length of its maximal ill-formed subpart (at least one byte).
[[nodiscard]] int decode_utf8(std::string_view s, char32_t& cp);

// Whether `bytes` is well-formed UTF-8.
[[nodiscard]] bool is_valid_utf8(std::string_view bytes);

// Bytes read as UTF-8 with every maximal ill-formed subpart replaced by U+FFFD.
[[nodiscard]] std::string lossy_utf8(std::string_view bytes);

// The same for bytes the caller gives up: well-formed input (the usual case)
// is moved, not copied, and plain ASCII is recognised eight bytes at a time.
[[nodiscard]] std::string lossy_utf8(std::string&& bytes);

// Appends the UTF-8 encoding of a code point (surrogates included, as bytes).
void append_utf8(std::string& out, char32_t cp);

// A path as text: its bytes read lossily as UTF-8.
[[nodiscard]] std::string path_text(const std::filesystem::path& path);

// How many characters of a text from the user or a file a message shows.
inline constexpr std::size_t kMessageTextChars = 200;

// `text`, read lossily, as a message shows it: whole up to kMessageTextChars
// characters, else its first kMessageTextChars followed by "... (N
// characters)", N its whole length, so that a name or a line of any size
// costs a message one line at most. Every text of a message goes through it.
[[nodiscard]] std::string cut_for_message(std::string_view text);

// Text between double quotes, with '"' and '\\' escaped, tab, CR and LF as
// \t, \r, \n, and every other character that Python's str.isprintable()
// rejects as \u{hex}. Invalid UTF-8 in `text` is first read lossily. Cut as
// cut_for_message cuts, the "..." inside the quotes: "abc..." (N characters).
[[nodiscard]] std::string quote(std::string_view text);

// `text` with every character that Python's str.isprintable() rejects
// written as Python's repr() writes it (\n, \r, \t, \xhh, \uhhhh,
// \Uhhhhhhhh), so that no value can break a line of a table or reach a
// terminal as a control sequence. Invalid UTF-8 is first read lossily.
[[nodiscard]] std::string escape_unprintable(std::string_view text);
// The same, appended to `out`.
void append_escaped(std::string& out, std::string_view text);

// The number of characters (code points) of well-formed UTF-8 text.
[[nodiscard]] std::size_t char_count(std::string_view utf8);

// Whether a code point is printable in the sense of Python's
// str.isprintable() (the Unicode version is in unicode_printable.inc).
[[nodiscard]] bool is_printable(char32_t cp);

// The Unicode version the printable table was generated from ("15.1.0").
[[nodiscard]] std::string_view unicode_version();

}  // namespace quarvo

#endif  // QUARVO_CORE_TEXT_HPP_
