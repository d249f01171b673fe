// extract_version(): on any decoded output of "juicefs version" the version
// is a piece of that output, and a piece with a dot and a digit is always
// made of digits and dots only.
#include <string>

#include "fuzz_support.hpp"
#include "quarvo/core/text.hpp"
#include "quarvo/juicefs/doctor.hpp"

using namespace quarvo;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The runner hands the doctor lossily decoded text, never raw bytes.
  const std::string output = lossy_utf8(fuzz::bytes(data, size));
  const std::string version = extract_version(output);
  fuzz::require(output.find(version) != std::string::npos, "the version is part of the output");
  fuzz::require(is_valid_utf8(version), "the version is UTF-8");
  const bool numeric = version.find_first_not_of("0123456789.") == std::string::npos;
  const bool dotted =
      version.find('.') != std::string::npos && version.find_first_of("0123456789") != std::string::npos;
  if (numeric && dotted) return 0;
  // Otherwise no piece qualified, so the output holds no digit-dot run with both.
  for (std::size_t i = 0; i < output.size();) {
    std::size_t end = i;
    bool dot = false, digit = false;
    while (end < output.size() && (output[end] == '.' || (output[end] >= '0' && output[end] <= '9'))) {
      dot = dot || output[end] == '.';
      digit = digit || output[end] != '.';
      ++end;
    }
    fuzz::require(!(dot && digit), "a qualifying piece is found");
    i = end + 1;
  }
  return 0;
}
