#include "quarvo/core/store.hpp"

#include <gtest/gtest.h>

namespace quarvo {
namespace {

TEST(ParseStoreUrl, SchemesAreExactAndOnlyTheLocalOneIsStripped) {
  const std::pair<std::string, std::optional<StoreSpec>> cases[] = {
      {"file:///data/x", StoreSpec{"file", "/data/x"}},
      {"file://", StoreSpec{"file", ""}},
      {"file://rel/ative", StoreSpec{"file", "rel/ative"}},
      {"s3://bucket/prefix", StoreSpec{"s3", "s3://bucket/prefix"}},
      {"s3://", StoreSpec{"s3", "s3://"}},
      {"gs://b", StoreSpec{"gs", "gs://b"}},
      {"FILE:///data", std::nullopt},
      {"S3://b", std::nullopt},
      {"file:/x", std::nullopt},
      {"s3:/", std::nullopt},
      {"", std::nullopt},
      {"azure://c", std::nullopt},
      {"/data/x", std::nullopt},
  };
  for (const auto& [url, spec] : cases) {
    SCOPED_TRACE(url);
    auto parsed = parse_store_url(url);
    if (spec) {
      ASSERT_TRUE(parsed) << parsed.error().message();
      EXPECT_EQ(*parsed, *spec);
    } else {
      ASSERT_FALSE(parsed);
      EXPECT_EQ(parsed.error().kind(), ErrorKind::UnsupportedStoreUrl);
      EXPECT_EQ(parsed.error().text(), url);
    }
  }
}

TEST(DevStore, IsAFileStoreWithTheLossyPath) {
  EXPECT_EQ(dev_store("/home/u/.quarvo/dev/v/\xff"), (StoreSpec{"file", "/home/u/.quarvo/dev/v/\uFFFD"}));
}

}  // namespace
}  // namespace quarvo
