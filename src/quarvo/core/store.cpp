#include "quarvo/core/store.hpp"
#include "quarvo/core/text.hpp"

namespace quarvo {

Result<StoreSpec> parse_store_url(std::string_view url) {
  // The backend takes a local store as a bare directory and a cloud store as
  // the full URL.
  // "file://" alone would have the backend write into the working directory.
  if (url.starts_with("file://") && url.size() > 7) return StoreSpec{"file", std::string(url.substr(7))};
  if (url.starts_with("s3://")) return StoreSpec{"s3", std::string(url)};
  if (url.starts_with("gs://")) return StoreSpec{"gs", std::string(url)};
  return std::unexpected(QuarvoError::unsupported_store_url(std::string(url)));
}

std::string absolute_file_bucket(std::string_view bucket, const std::filesystem::path& base) {
  if (bucket.empty() || bucket.front() == '/') return std::string(bucket);
  return path_text(base) + (path_text(base).ends_with('/') ? "" : "/") + std::string(bucket);
}

std::string absolute_sqlite_url(std::string_view url, const std::filesystem::path& base) {
  constexpr std::string_view kScheme = "sqlite3://";
  if (!url.starts_with(kScheme)) return std::string(url);
  return std::string(kScheme) + absolute_file_bucket(url.substr(kScheme.size()), base);
}

StoreSpec dev_store(const std::filesystem::path& objects_dir) { return StoreSpec{"file", path_text(objects_dir)}; }

}  // namespace quarvo
