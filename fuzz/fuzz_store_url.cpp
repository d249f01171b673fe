// parse_store_url(): a file URL loses exactly its scheme, a cloud URL is
// kept whole, and anything else (a file URL without a path too) is
// UnsupportedStoreUrl carrying the URL.
#include <string>

#include "fuzz_support.hpp"
#include "quarvo/core/store.hpp"

using namespace quarvo;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view url = fuzz::bytes(data, size);
  auto spec = parse_store_url(url);
  if (!spec) {
    fuzz::require(spec.error().kind() == ErrorKind::UnsupportedStoreUrl, "a bad URL is UnsupportedStoreUrl");
    fuzz::require(spec.error().fields().url == url, "the error carries the whole URL");
    fuzz::require(
        url == "file://" || (!url.starts_with("file://") && !url.starts_with("s3://") && !url.starts_with("gs://")),
        "only unknown schemes and a file URL without a path are rejected");
    return 0;
  }
  if (spec->storage == "file") {
    fuzz::require("file://" + spec->bucket == url && !spec->bucket.empty(), "a file URL loses exactly its scheme");
  } else {
    fuzz::require(spec->storage == "s3" || spec->storage == "gs", "storage is file, s3 or gs");
    fuzz::require(spec->bucket == url, "a cloud URL is kept whole");
    fuzz::require(url.starts_with(spec->storage + "://"), "the storage kind is the URL's scheme");
  }
  return 0;
}
