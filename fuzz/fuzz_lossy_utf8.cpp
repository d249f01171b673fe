// lossy_utf8(): the result is valid UTF-8, valid input comes back unchanged,
// and decoding twice changes nothing more.
#include <string>

#include "fuzz_support.hpp"
#include "quarvo/core/text.hpp"

using namespace quarvo;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input = fuzz::bytes(data, size);
  const std::string text = lossy_utf8(input);
  fuzz::require(is_valid_utf8(text), "lossy text is valid UTF-8");
  if (is_valid_utf8(input)) fuzz::require(text == input, "valid UTF-8 is kept as it is");
  fuzz::require(lossy_utf8(text) == text, "lossy decoding is idempotent");
  // Each input byte gives at most one U+FFFD (three bytes).
  fuzz::require(text.size() <= 3 * input.size(), "at most one replacement per byte");
  return 0;
}
