// quarvo/core/secrets.hpp: passwords kept off command lines and out of output.
//
// A metadata engine URL may carry its password ("redis://:pw@host/1",
// "postgres://user:pw@host/db"). Every local user can read a process's
// command line, so the password travels to the backend in its environment
// instead: `split_metadata_password` takes it out of the URL (keeping
// "user@", which the SQL engines need to put it back) and percent-decodes it.
// `mask_url` and `mask_secrets` replace every password with "****" for
// display, in any scheme, bucket URLs included.
//
//   auto split = split_metadata_password("redis://:p%40ss@h:6379/1");
//   // split.url == "redis://@h:6379/1", split.password == "p@ss"
//   mask_url("postgres://u:pw@h/db?sslpassword=x")  // "postgres://u:****@h/db?sslpassword=****"
//
// Where the credentials end: when the authority (the text after "://" up to
// the first "/", "?" or "#", as the backend's URL parser reads it) holds an
// "@", or when it cannot be a host and port (":se" of "redis://:se/cret@h"),
// the credentials run to the LAST "@" of the URL, as the backend's own
// masking has it; so "redis://:p@ss@h" has the password "p@ss" and
// "redis://:se/cret@h" the password "se/cret" (the backend alone would reject
// that URL). Otherwise there are none. The one reading this gets wrong is a
// URL with credentials AND an "@" in its path or query: its extra part is
// taken for password too, which fails loudly and leaks nothing.
#ifndef QUARVO_CORE_SECRETS_HPP_
#define QUARVO_CORE_SECRETS_HPP_

#include <string>
#include <string_view>

namespace quarvo {

// What stands in for a secret on display.
inline constexpr std::string_view kSecretMask = "****";

// A metadata URL with its password taken out.
struct MetadataUrl {
  std::string url;       // the URL without ":password" (unchanged when there is none)
  std::string password;  // percent-decoded; empty: the URL carries none
};

// For the engines that read a password from the backend's environment
// (redis, rediss, unix, mysql, postgres; postgresql too, which the backend
// refuses anyway, so that its password never reaches a command line; the
// scheme in any letter case, for the same reason): the
// URL without its password and the password. Any other URL, and a URL with
// an empty password, comes back unchanged with no password.
[[nodiscard]] MetadataUrl split_metadata_password(std::string_view url);

// `url` taken whole as one URL of any scheme: the password of its
// credentials and the value of every query parameter whose name speaks of a
// secret (password, sslpassword, passwd, pwd, secret..., token...) replaced
// by "****".
[[nodiscard]] std::string mask_url(std::string_view url);

// Free text (a message, a log line): every URL in it, which ends at white
// space or a quote, masked as by `mask_url`.
[[nodiscard]] std::string mask_secrets(std::string_view text);

// `url` without its credentials ("user:password@" or "user@"): what is left
// to compare two URLs of one place by.
[[nodiscard]] std::string without_credentials(std::string_view url);

}  // namespace quarvo

#endif  // QUARVO_CORE_SECRETS_HPP_
