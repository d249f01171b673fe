// Record files: any bytes read as a record either fail in the TOML frame or
// give a Volume that writes back to a text reading as the same Volume; the
// reader of the exact written form and the full TOML reader always agree.
#include "fuzz_support.hpp"
#include "quarvo/core/models.hpp"

using namespace quarvo;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input = fuzz::bytes(data, size);
  if (auto fast = volume_from_written_form(input)) {
    auto full = volume_from_toml_document(input);
    fuzz::require(full.has_value(), "the full reader reads what the written-form reader reads");
    fuzz::require(*full == *fast, "both readers give the same record");
  }
  auto volume = volume_from_toml(input);
  if (!volume) {
    fuzz::require_toml_frame(volume.error());
    return 0;
  }
  auto text = volume_to_toml(*volume);
  fuzz::require(text.has_value(), "a record that was read can be written");
  fuzz::require(volume_from_written_form(*text).has_value(), "a written record has the written form");
  auto again = volume_from_toml_document(*text);
  fuzz::require(again.has_value(), "a written record reads back");
  fuzz::require(*again == *volume, "a written record reads back unchanged");
  return 0;
}
