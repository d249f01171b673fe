// Passwords and the backend's output: on any text, masking is idempotent and
// leaves no password that the split would take out of a URL; a URL keeps
// everything but its password, and what the backend gets holds none (a
// second split finds nothing); a password given apart joins a URL and comes
// out of it again; the backend's reason is bounded, UTF-8 when the output
// is, free of the known secret, and never ends with 4 bytes or more that
// begin it (cut short, the secret would still be given away); its status
// JSON never crashes the reader.
#include <string>

#include "fuzz_support.hpp"
#include "quarvo/core/secrets.hpp"
#include "quarvo/juicefs/backend_reason.hpp"
#include "quarvo/juicefs/juicefs.hpp"

using namespace quarvo;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = fuzz::bytes(data, size);

  const std::string masked = mask_url(text);
  fuzz::require(mask_url(masked) == masked, "masking a URL twice changes nothing");
  fuzz::require(mask_secrets(mask_secrets(text)) == mask_secrets(text), "masking a text twice changes nothing");

  const MetadataUrl split = split_metadata_password(text);
  if (!split.password.empty()) {
    fuzz::require(split.url.size() < text.size(), "the password leaves the URL");
    // Unless an "@" after the host (flagged, and refused before any command)
    // would be read as the end of credentials.
    if (!split.at_after_host) {
      fuzz::require(mask_url(split.url) == split.url || split.url.find_first_of("?&") != std::string::npos,
                    "no password is left in the userinfo of what the backend gets");
      fuzz::require(split_metadata_password(split.url).password.empty(), "what the backend gets holds no password");
    }
  } else {
    fuzz::require(split.url == text, "a URL without a password is passed on as it is");
  }
  constexpr std::string_view kGiven = "p@ss/w:rd?#&+% x";
  if (auto joined = with_metadata_password(text, kGiven)) {
    fuzz::require(split_metadata_password(*joined).password == kGiven, "a password given apart comes out again");
  }

  const std::string secret(text.substr(0, std::min<size_t>(text.size(), 8)));
  const std::string reason = backend_reason(text, secret);
  fuzz::require(reason.size() <= 1003, "a reason is at most 1000 bytes and an ellipsis");
  fuzz::require(secret.size() < 4 || reason.find(secret) == std::string::npos, "the secret never shows");
  fuzz::require(!is_valid_utf8(text) || is_valid_utf8(reason), "a reason from UTF-8 output is UTF-8");
  for (size_t k = 4; k <= secret.size() && k <= reason.size(); ++k) {
    fuzz::require(!reason.ends_with(secret.substr(0, k)), "a reason never ends with the start of the secret");
  }

  (void)parse_backend_status(text);
  return 0;
}
