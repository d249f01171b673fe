// quote(): whatever the bytes, the result is one line of valid UTF-8 between
// double quotes, with no raw control character; a text of more than 200
// characters is cut there, "..." before the closing quote and its length
// after it.
#include "fuzz_support.hpp"
#include "quarvo/core/text.hpp"

using namespace quarvo;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = fuzz::bytes(data, size);
  const std::string quoted = quote(text);
  const std::size_t chars = char_count(lossy_utf8(text));
  const std::string length = "...\" (" + std::to_string(chars) + " characters)";
  const std::size_t close = chars > kMessageTextChars ? quoted.size() - length.size() + 3 : quoted.size() - 1;
  fuzz::require(chars <= kMessageTextChars || quoted.ends_with(length), "a long text is cut, its length said");
  fuzz::require(quoted.size() >= 2 && quoted.front() == '"' && quoted[close] == '"', "quoted text is in quotes");
  fuzz::require(is_valid_utf8(quoted), "quoted text is UTF-8");
  for (const char c : quoted) {
    const auto b = static_cast<unsigned char>(c);
    fuzz::require(b >= 0x20 && b != 0x7F, "quoted text holds no raw control character");
  }
  // Every '"' inside is escaped, so the text between the quotes has no bare one.
  const std::string_view inner(quoted.data() + 1, close - 1);
  for (std::size_t i = 0; i < inner.size(); ++i) {
    if (inner[i] == '\\') {
      ++i;
      continue;
    }
    fuzz::require(inner[i] != '"', "an inner double quote is escaped");
  }
  return 0;
}
