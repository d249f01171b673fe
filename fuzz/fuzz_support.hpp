// fuzz/fuzz_support.hpp: what every fuzz target shares.
//
// A target checks properties of one function on arbitrary bytes; a broken
// property ends the run through `require`, which libFuzzer reports as a
// crash with the input saved beside it.
#ifndef QUARVO_FUZZ_FUZZ_SUPPORT_HPP_
#define QUARVO_FUZZ_FUZZ_SUPPORT_HPP_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "quarvo/core/error.hpp"
#include "quarvo/core/text.hpp"

namespace quarvo::fuzz {

inline void require(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "property broken: %s\n", what);
    std::abort();
  }
}

inline std::string_view bytes(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// Every TOML error reaches the user in the reader's frame.
inline void require_toml_frame(const QuarvoError& error) {
  require(error.kind() == ErrorKind::TomlParse, "a TOML failure is TomlParse");
  require(error.message().starts_with("TOML parse error at line "), "a TOML error is in the reader's frame");
  require(is_valid_utf8(error.message()), "a TOML error message is UTF-8");
}

}  // namespace quarvo::fuzz

#endif  // QUARVO_FUZZ_FUZZ_SUPPORT_HPP_
