#include "quarvo/core/config.hpp"

#include <sys/stat.h>

#include "quarvo/core/file_io.hpp"
#include "quarvo/core/toml_reader.hpp"

namespace quarvo {

Result<Config> Config::parse(std::string_view text) {
  static constexpr TomlField kFields[] = {{"storage_backend_bin", "juicefs_bin", TomlType::String, false}};
  auto doc = TomlDocument::parse(text);
  if (!doc) return std::unexpected(std::move(doc).error());
  auto found = doc->fields(kFields);
  if (!found) return std::unexpected(std::move(found).error());
  Config config;
  if (const TomlEntry* bin = (*found)[0]) config.storage_backend_bin = std::filesystem::path(bin->string);
  return config;
}

Result<Config> Config::load(const QuarvoHome& home) {
  const std::filesystem::path path = home.config_path();
  // No file, or one we may not even look at: the configuration is optional,
  // so this is the default, not an error.
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return Config{};
  auto text = read_text_file(path);
  if (!text) return std::unexpected(QuarvoError::io_at_errno(path, text.error()));
  auto config = parse(*text);
  if (!config) return std::unexpected(std::move(config).error().in_file(path));
  return config;
}

}  // namespace quarvo
