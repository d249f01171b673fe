// quarvo/core/store.hpp: object store URLs.
//
// "file:///data/x" -> {file, /data/x}; "s3://b" -> {s3, s3://b};
// "gs://b" -> {gs, gs://b}; anything else, "file://" without a path
// included, is UnsupportedStoreUrl.
#ifndef QUARVO_CORE_STORE_HPP_
#define QUARVO_CORE_STORE_HPP_

#include <filesystem>
#include <string>
#include <string_view>

#include "quarvo/core/error.hpp"

namespace quarvo {

struct StoreSpec {
  std::string storage;  // "file", "s3" or "gs"
  std::string bucket;   // the location in the form the backend takes it

  bool operator==(const StoreSpec&) const = default;
};

// Case-sensitive on the bytes of `url`: a local store loses its scheme, a
// cloud store keeps it; nothing after the scheme is examined.
[[nodiscard]] Result<StoreSpec> parse_store_url(std::string_view url);

// A local location made absolute: a relative path is taken from `base` (the
// directory a volume is created in), so that the backend, run later from
// any directory, finds the same files. A sqlite3 URL keeps its query; any
// other URL, and an absolute path, are returned as given.
[[nodiscard]] std::string absolute_sqlite_url(std::string_view url, const std::filesystem::path& base);
[[nodiscard]] std::string absolute_file_bucket(std::string_view bucket, const std::filesystem::path& base);

// A development store: {"file", the path as lossy text}.
[[nodiscard]] StoreSpec dev_store(const std::filesystem::path& objects_dir);

}  // namespace quarvo

#endif  // QUARVO_CORE_STORE_HPP_
