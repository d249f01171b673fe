// Record files: any bytes read as a record either fail in the TOML frame or
// give a Volume that writes back to a text reading as the same Volume.
#include "fuzz_support.hpp"
#include "quarvo/core/models.hpp"

using namespace quarvo;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto volume = volume_from_toml(fuzz::bytes(data, size));
  if (!volume) {
    fuzz::require_toml_frame(volume.error());
    return 0;
  }
  auto text = volume_to_toml(*volume);
  fuzz::require(text.has_value(), "a record that was read can be written");
  auto again = volume_from_toml(*text);
  fuzz::require(again.has_value(), "a written record reads back");
  fuzz::require(*again == *volume, "a written record reads back unchanged");
  return 0;
}
