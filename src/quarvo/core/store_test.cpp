#include "quarvo/core/store.hpp"

#include <gtest/gtest.h>

namespace quarvo {
namespace {

TEST(ParseStoreUrl, SchemesAreExactAndOnlyTheLocalOneIsStripped) {
  const std::pair<std::string, StoreSpec> cases[] = {{"file:///data/x", {"file", "/data/x"}},
                                                     {"s3://bucket/prefix", {"s3", "s3://bucket/prefix"}},
                                                     {"gs://b", {"gs", "gs://b"}}};
  for (const auto& [url, spec] : cases) EXPECT_EQ(parse_store_url(url).value(), spec) << url;
  for (const char* url : {"S3://b", "file:/x", "file://", "/data/x"}) {
    auto parsed = parse_store_url(url);
    EXPECT_TRUE(!parsed && parsed.error().kind() == ErrorKind::UnsupportedStoreUrl) << url;
  }
  EXPECT_EQ(dev_store("/q/dev/v/\xff"), (StoreSpec{"file", "/q/dev/v/\uFFFD"}));
}

}  // namespace
}  // namespace quarvo
