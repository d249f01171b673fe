// config.toml: any bytes give a Config or a TomlParse error in the reader's frame.
#include "fuzz_support.hpp"
#include "quarvo/core/config.hpp"

using namespace quarvo;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto config = Config::parse(fuzz::bytes(data, size));
  if (!config) fuzz::require_toml_frame(config.error());
  return 0;
}
