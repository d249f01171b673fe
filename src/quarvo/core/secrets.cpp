#include "quarvo/core/secrets.hpp"

#include <algorithm>
#include <array>
#include <tuple>
#include <utility>

#include "quarvo/core/text.hpp"

namespace quarvo {
namespace {

constexpr auto npos = std::string_view::npos;

// The engines whose password the backend also takes from META_PASSWORD.
constexpr std::array<std::string_view, 6> kPasswordEngines = {"redis", "rediss",   "unix",
                                                              "mysql", "postgres", "postgresql"};

char lower_ascii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_scheme_char(char c) { return is_alpha(c) || is_digit(c) || c == '+' || c == '-' || c == '.'; }

int hex_value(char c) {
  if (is_digit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The position in `rest` (a URL after its "://") of the "@" that ends the
// credentials, or npos when there are none (see the header for the rule).
size_t credentials_end(std::string_view rest) {
  const size_t last_at = rest.rfind('@');
  if (last_at == npos) return npos;
  const std::string_view authority = rest.substr(0, rest.find_first_of("/?#"));
  if (authority.find('@') != npos) return last_at;
  // The parser sees no credentials. Unless the authority cannot be a host
  // and port, this "@" belongs to the path or the query.
  if (authority.starts_with('[')) return npos;  // an IPv6 host
  const size_t colon = authority.rfind(':');
  if (colon == npos) return npos;
  const std::string_view port = authority.substr(colon + 1);
  const bool is_port = !port.empty() && std::all_of(port.begin(), port.end(), is_digit);
  return is_port ? npos : last_at;
}

// Where "user:password@" sits in a URL: `at` is the "@" of the credentials
// and `colon` the ':' before the password, both as offsets into the URL.
struct Credentials {
  size_t colon = npos;
  size_t at = npos;
};

// The credentials of `url` that hold a non-empty password; `at` is npos when
// there are none. `scheme_end` is the offset of "://".
Credentials password_of(std::string_view url, size_t scheme_end) {
  const size_t start = scheme_end + 3;
  const size_t end = credentials_end(url.substr(start));
  if (end == npos) return {};
  const size_t colon = url.substr(start, end).find(':');
  if (colon == npos || colon + 1 == end) return {};
  return Credentials{start + colon, start + end};
}

// Whether a query parameter of this name carries a secret.
bool is_secret_parameter(std::string_view name) {
  std::string lower(name);
  std::transform(lower.begin(), lower.end(), lower.begin(), lower_ascii);
  return lower.find("password") != npos || lower == "passwd" || lower == "pwd" || lower.find("secret") != npos ||
         lower.find("token") != npos;
}

// Every "?NAME=VALUE" and "&NAME=VALUE" of `text` whose NAME speaks of a
// secret, with VALUE (up to the next '&' or '#') masked.
std::string mask_query(std::string_view text) {
  std::string out;
  size_t copied = 0;
  for (size_t i = text.find_first_of("?&"); i != npos; i = text.find_first_of("?&", i + 1)) {
    const size_t eq = text.find('=', i + 1);
    if (eq == npos) break;
    if (text.substr(i + 1, eq - i - 1).find_first_of("?&#") != npos) continue;
    const size_t value_end = std::min(text.find_first_of("&#", eq + 1), text.size());
    if (value_end == eq + 1 || !is_secret_parameter(text.substr(i + 1, eq - i - 1))) continue;
    out.append(text.substr(copied, eq + 1 - copied)).append(kSecretMask);
    copied = value_end;
    i = value_end - 1;
  }
  out.append(text.substr(copied));
  return out;
}

// The offset of a URL's "://" when the text before it is a scheme (a letter,
// then letters, digits, '+', '-', '.'); npos otherwise.
size_t scheme_end_of(std::string_view url) {
  const size_t sep = url.find("://");
  if (sep == npos || sep == 0 || !is_alpha(url[0])) return npos;
  if (!std::all_of(url.begin(), url.begin() + static_cast<std::ptrdiff_t>(sep), is_scheme_char)) return npos;
  return sep;
}

// `%XX` sequences decoded; a '%' not followed by two hex digits stays as it
// is. In a query value (`plus_is_space`) a '+' is a space, as the engines'
// URL parsers read it.
std::string percent_decode(std::string_view text, bool plus_is_space = false) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && hex_value(text[i + 1]) >= 0 && hex_value(text[i + 2]) >= 0) {
      out += static_cast<char>(hex_value(text[i + 1]) * 16 + hex_value(text[i + 2]));
      i += 2;
    } else {
      out += plus_is_space && text[i] == '+' ? ' ' : text[i];
    }
  }
  return out;
}

// Every character but the unreserved ones as %XX: a password as it may stand
// in a URL's credentials.
std::string percent_encode(std::string_view text) {
  std::string out;
  for (const char c : text) {
    if (is_alpha(c) || is_digit(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      out += c;
    } else {
      out += '%';
      out += "0123456789ABCDEF"[static_cast<unsigned char>(c) >> 4];
      out += "0123456789ABCDEF"[static_cast<unsigned char>(c) & 15];
    }
  }
  return out;
}

// The offset of the next non-empty "password=" parameter at or after `from`
// (at its "?" or "&"), and where its value ends; npos when there is none.
std::pair<size_t, size_t> password_parameter(std::string_view url, size_t from) {
  constexpr std::string_view kName = "password=";
  for (size_t at = url.find(kName, from); at != npos; at = url.find(kName, at + 1)) {
    if (at == 0 || (url[at - 1] != '?' && url[at - 1] != '&')) continue;
    const size_t value = at + kName.size();
    const size_t end = std::min(url.find_first_of("&#", value), url.size());
    if (end > value) return {at - 1, end};
  }
  return {npos, npos};
}

bool is_password_engine(std::string_view url, size_t scheme_end) {
  // Letter case aside: the backend refuses "Redis://", but its password
  // must stay off the command line all the same.
  std::string scheme(url.substr(0, scheme_end));
  std::transform(scheme.begin(), scheme.end(), scheme.begin(), lower_ascii);
  return std::find(kPasswordEngines.begin(), kPasswordEngines.end(), scheme) != kPasswordEngines.end();
}

}  // namespace

MetadataUrl split_metadata_password(std::string_view url) {
  MetadataUrl out{std::string(url), {}};
  const size_t sep = scheme_end_of(url);
  if (sep == npos || !is_password_engine(url, sep)) return out;
  // The parameters first, each with its "?" or "&" (a "?" stays when others
  // follow it); what is left may hold credentials.
  int found = 0;
  for (auto [at, end] = password_parameter(out.url, sep + 3); at != npos;
       std::tie(at, end) = password_parameter(out.url, at)) {
    const size_t value = at + 1 + std::string_view("password=").size();
    if (found++ == 0) out.password = percent_decode(std::string_view(out.url).substr(value, end - value), true);
    // "?password=x&y" keeps "?y"; "?password=x" and "&password=x" go whole.
    if (out.url[at] == '?' && end < out.url.size() && out.url[end] == '&') {
      out.url.erase(at + 1, end + 1 - (at + 1));
    } else {
      out.url.erase(at, end - at);
    }
  }
  const Credentials credentials = password_of(out.url, sep);
  if (credentials.at != npos) {
    if (found++ == 0) {
      out.password = percent_decode(
          std::string_view(out.url).substr(credentials.colon + 1, credentials.at - credentials.colon - 1));
    }
    // "user@" stays: the SQL engines insert the password before that "@".
    out.url.erase(credentials.colon, credentials.at - credentials.colon);
  } else if (found > 0) {
    if (credentials_end(std::string_view(out.url).substr(sep + 3)) == npos) out.url.insert(sep + 3, "@");
    // The backend puts the password before the last "@": it must end the user.
    const std::string_view rest = std::string_view(out.url).substr(sep + 3);
    out.at_after_host = rest.rfind('@') > rest.find_first_of("/?#");
  }
  out.ambiguous = found > 1;
  return out;
}

Result<std::string> with_metadata_password(std::string_view url, std::string_view password) {
  const size_t sep = scheme_end_of(url);
  if (sep == npos || !is_password_engine(url, sep)) {
    return std::unexpected(
        QuarvoError::invalid_argument("the metadata engine of " + quote(mask_url(url)) +
                                      " takes no password from META_PASSWORD or the standard input"));
  }
  if (!split_metadata_password(url).password.empty()) {
    return std::unexpected(QuarvoError::invalid_argument(
        "the metadata URL " + quote(mask_url(url)) +
        " holds a password already, and another was given apart from it (META_PASSWORD or the standard input); "
        "give it one way"));
  }
  const std::string encoded = percent_encode(password);
  const size_t start = sep + 3;
  const size_t at = credentials_end(url.substr(start));
  std::string joined;
  if (at == npos) {
    joined = std::string(url.substr(0, start)) + ":" + encoded + "@" + std::string(url.substr(start));
  } else {
    // "user@" or "user:@": the password goes after the user.
    std::string_view user = url.substr(start, at);
    if (user.ends_with(':')) user.remove_suffix(1);
    joined =
        std::string(url.substr(0, start)) + std::string(user) + ":" + encoded + std::string(url.substr(start + at));
  }
  // An "@" in the path or the query would run the credentials on to it.
  if (split_metadata_password(joined).password != password) {
    return std::unexpected(QuarvoError::invalid_argument(
        "the metadata URL " + quote(mask_url(url)) +
        " has an \"@\" after its host, which would be read as part of the password; write it as %40"));
  }
  return joined;
}

std::string mask_url(std::string_view url) {
  const size_t sep = scheme_end_of(url);
  const Credentials credentials = sep == npos ? Credentials{} : password_of(url, sep);
  if (credentials.at == npos) return mask_query(url);
  std::string out(url.substr(0, credentials.colon + 1));
  out.append(kSecretMask);
  out.append(mask_query(url.substr(credentials.at)));
  return out;
}

std::string without_credentials(std::string_view url) {
  const size_t sep = scheme_end_of(url);
  const size_t end = sep == npos ? npos : credentials_end(url.substr(sep + 3));
  if (end == npos) return std::string(url);
  return std::string(url.substr(0, sep + 3)) + std::string(url.substr(sep + 3 + end + 1));
}

std::string mask_output(std::string_view text, std::string_view secret) {
  std::string out = mask_secrets(text);
  if (secret.size() < kMinSecretToReplace) return out;
  for (size_t at = out.find(secret); at != npos; at = out.find(secret, at + kSecretMask.size())) {
    out.replace(at, secret.size(), kSecretMask);
  }
  return out;
}

std::string mask_secrets(std::string_view text) {
  constexpr std::string_view kUrlEnds = " \t\r\n\v\f\"'`<>";
  std::string out;
  size_t copied = 0;
  for (size_t sep = text.find("://"); sep != npos; sep = text.find("://", sep + 3)) {
    size_t start = sep;
    while (start > copied && is_scheme_char(text[start - 1])) --start;
    while (start < sep && !is_alpha(text[start])) ++start;  // a scheme begins with a letter
    if (start == sep) continue;
    const size_t end = std::min(text.find_first_of(kUrlEnds, sep), text.size());
    out.append(text.substr(copied, start - copied));
    out.append(mask_url(text.substr(start, end - start)));
    copied = end;
    if (end == text.size()) break;
    sep = end - 3;  // the next search starts where this URL ended
  }
  out.append(text.substr(copied));
  return out;
}

}  // namespace quarvo
