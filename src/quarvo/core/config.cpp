#include "quarvo/core/config.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>

#include "quarvo/core/file_io.hpp"
#include "quarvo/core/text.hpp"
#include "quarvo/core/toml_reader.hpp"
#include "quarvo/core/trust.hpp"

namespace quarvo {
namespace {

constexpr std::string_view kTimeoutVariable = "QUARVO_COMMAND_TIMEOUT";
constexpr double kMaxTimeoutSeconds = 1e9;

// QUARVO_COMMAND_TIMEOUT over the file's value; unset or empty changes nothing.
Result<void> apply_timeout_variable(Config& config) {
  const char* value = std::getenv(kTimeoutVariable.data());
  if (value == nullptr || *value == '\0') return {};
  const std::string_view text = value;
  double seconds = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), seconds);
  auto bound = ec == std::errc() && end == text.data() + text.size() ? timeout_from_seconds(seconds) : std::nullopt;
  if (!bound) {
    return std::unexpected(QuarvoError::invalid_argument(std::string(kTimeoutVariable) +
                                                         " must be a positive number of seconds, not " + quote(text)));
  }
  config.command_timeout = bound;
  return {};
}

}  // namespace

std::optional<std::chrono::milliseconds> timeout_from_seconds(double seconds) {
  if (!std::isfinite(seconds) || seconds <= 0 || seconds > kMaxTimeoutSeconds) return std::nullopt;
  const auto ms = static_cast<std::chrono::milliseconds::rep>(std::ceil(seconds * 1000));
  return std::chrono::milliseconds(std::max<std::chrono::milliseconds::rep>(ms, 1));
}

Result<Config> Config::parse(std::string_view text) {
  static constexpr TomlField kFields[] = {
      {"storage_backend_bin", "juicefs_bin", TomlType::String, false},
      {"command_timeout", {}, TomlType::Number, false},
  };
  auto doc = TomlDocument::parse(text);
  if (!doc) return std::unexpected(std::move(doc).error());
  auto found = doc->fields(kFields);
  if (!found) return std::unexpected(std::move(found).error());
  Config config;
  if (const TomlEntry* bin = (*found)[0]) config.storage_backend_bin = std::filesystem::path(bin->string);
  if (const TomlEntry* timeout = (*found)[1]) {
    config.command_timeout = timeout_from_seconds(timeout->number);
    if (!config.command_timeout) {
      return std::unexpected(doc->error_at(
          timeout->value_at, "invalid value: " + timeout->shown + ", expected a positive number of seconds"));
    }
  }
  return config;
}

Result<Config> Config::load(const QuarvoHome& home) {
  const std::filesystem::path path = home.config_path();
  // No file, or one we may not even look at: the configuration is optional,
  // so this is the default, not an error. What is there is read only as a
  // file of the user's own: it names the program Quarvo runs.
  Config config;
  struct stat st{};
  if (::lstat(path.c_str(), &st) == 0) {
    std::string buf;
    auto text = read_own_file(AT_FDCWD, {}, path.c_str(), "configuration file", buf);
    if (!text) return std::unexpected(std::move(text).error());
    if (!is_valid_utf8(*text)) return std::unexpected(QuarvoError::io_at_errno(path, EILSEQ));
    auto parsed = parse(*text);
    if (!parsed) return std::unexpected(std::move(parsed).error().in_file(path));
    config = std::move(*parsed);
  }
  QUARVO_TRY(apply_timeout_variable(config));
  return config;
}

}  // namespace quarvo
