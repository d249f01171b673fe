// quarvo/core/secrets.hpp: passwords kept off command lines and out of output.
//
// A metadata engine URL may carry its password, in its credentials
// ("redis://:pw@host/1", "postgres://user:pw@host/db") or, for PostgreSQL, as
// a query parameter ("postgres://user@host/db?password=pw"). Every local
// user can read a process's command line, so the password travels to the
// backend in its environment instead: `split_metadata_password` takes it out
// of the URL (keeping "user@", which the SQL engines need to put it back,
// and making an empty "@" where there was none) and percent-decodes it.
// `with_metadata_password` puts a password given apart (META_PASSWORD, a
// prompt) into a URL as the user would have typed it. `mask_url`,
// `mask_secrets` and `mask_output` replace every password with "****" for
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
// that URL). Otherwise there are none. A "password=" parameter is found
// first, anywhere after a "?" or "&", its value running to the next "&" or
// "#" (so "?password=p@ss" is no credentials). The one reading this gets
// wrong is a URL with credentials AND an "@" in its path or query: its extra
// part is taken for password too, which fails loudly and leaks nothing.
#ifndef QUARVO_CORE_SECRETS_HPP_
#define QUARVO_CORE_SECRETS_HPP_

#include <cstddef>
#include <string>
#include <string_view>

#include "quarvo/core/error.hpp"

namespace quarvo {

// What stands in for a secret on display.
inline constexpr std::string_view kSecretMask = "****";

// A metadata URL with its password taken out.
struct MetadataUrl {
  std::string url;         // the URL without ":password" or "password=..." (unchanged when there is none)
  std::string password;    // percent-decoded; empty: the URL carries none
  bool ambiguous = false;  // the URL gave more than one (credentials and a parameter, or two parameters)
  // A password= parameter taken out of a URL with an "@" after its host: the
  // backend puts the password back before the LAST "@" of the URL, so it
  // would land there, in the path or the query.
  bool at_after_host = false;
};

// For the engines that read a password from the backend's environment
// (redis, rediss, unix, mysql, postgres; postgresql too, which the backend
// refuses anyway, so that its password never reaches a command line; the
// scheme in any letter case, for the same reason): the URL without its
// passwords, and the password: a "password=" parameter's (the first, as
// the engine reads it; "+" is a space there), else that of the credentials.
// A URL left without credentials gets an empty "@" after "://", which is
// where the backend puts the password back. Any other URL, and one with
// empty passwords only, comes back unchanged with no password.
[[nodiscard]] MetadataUrl split_metadata_password(std::string_view url);

// `url` with `password` as its credentials' password, percent-encoded, as a
// user would type it: "redis://h/1" and "p@ss" give "redis://:p%40ss@h/1",
// "postgres://u@h/db" gives "postgres://u:p%40ss@h/db". InvalidArgument when
// the URL holds a password already (two would be ambiguous) or its engine
// takes none.
[[nodiscard]] Result<std::string> with_metadata_password(std::string_view url, std::string_view password);

// `url` taken whole as one URL of any scheme: the password of its
// credentials and the value of every query parameter whose name speaks of a
// secret (password, sslpassword, passwd, pwd, secret..., token...) replaced
// by "****".
[[nodiscard]] std::string mask_url(std::string_view url);

// Free text (a message, a log line): every URL in it, which ends at white
// space or a quote, masked as by `mask_url`.
[[nodiscard]] std::string mask_secrets(std::string_view text);

// A password this short would be found inside ordinary words: it is not
// looked for outside URLs.
inline constexpr std::size_t kMinSecretToReplace = 4;

// What a program wrote (its output, its log, a reason taken from them): as
// mask_secrets, and every occurrence of the known `secret` (when it has
// kMinSecretToReplace bytes or more) replaced by "****" too.
[[nodiscard]] std::string mask_output(std::string_view text, std::string_view secret);

// `url` without its credentials ("user:password@" or "user@"): what is left
// to compare two URLs of one place by.
[[nodiscard]] std::string without_credentials(std::string_view url);

}  // namespace quarvo

#endif  // QUARVO_CORE_SECRETS_HPP_
