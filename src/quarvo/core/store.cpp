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

StoreSpec dev_store(const std::filesystem::path& objects_dir) { return StoreSpec{"file", path_text(objects_dir)}; }

}  // namespace quarvo
