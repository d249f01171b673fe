#include "quarvo/core/store.hpp"

#include <gtest/gtest.h>

namespace quarvo {
namespace {

TEST(ParseStoreUrl, SchemesAreExactAndOnlyTheLocalOneIsStripped) {
  const std::pair<std::string, std::optional<StoreSpec>> cases[] = {
      {"file:///data/x", StoreSpec{"file", "/data/x"}},
      {"s3://bucket/prefix", StoreSpec{"s3", "s3://bucket/prefix"}},
      {"gs://b", StoreSpec{"gs", "gs://b"}},
      {"S3://b", std::nullopt},
      {"file:/x", std::nullopt},
      {"file://", std::nullopt},
      {"/data/x", std::nullopt},
  };
  for (const auto& [url, spec] : cases) {
    auto parsed = parse_store_url(url);
    EXPECT_EQ(parsed ? std::optional(*parsed) : std::nullopt, spec) << url;
    EXPECT_TRUE(parsed || parsed.error().kind() == ErrorKind::UnsupportedStoreUrl);
  }
  EXPECT_EQ(dev_store("/q/dev/v/\xff"), (StoreSpec{"file", "/q/dev/v/\uFFFD"}));
}

}  // namespace
}  // namespace quarvo
