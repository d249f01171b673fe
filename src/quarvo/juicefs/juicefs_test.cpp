#include "quarvo/juicefs/juicefs.hpp"

#include <gtest/gtest.h>

#include "quarvo/core/test_support.hpp"

namespace quarvo {
namespace {

namespace fs = std::filesystem;

Volume volume(const std::string& storage, const std::string& bucket) {
  return {"data", "juicefs", "sqlite3:///q/meta.db", storage, bucket, false, std::nullopt, "t", "t"};
}

// An engine that already holds a volume: the format changes nothing there,
// so the volume it holds must be the one asked for, its bucket compared as
// the backend stores it (absolute, normal, ending in "/", no credentials).
TEST(JuiceFsFormat, AnEngineHoldingAnotherVolumeIsAMismatch) {
  testing::TempDir dir;
  const std::string cwd = fs::current_path().string();
  const struct {
    Volume request;
    std::string held;   // Name, Storage, Bucket as status reports them
    std::string error;  // empty: the request matches
  } cases[] = {
      {volume("file", "/q/./x/../objects"), R"("data", "Storage": "file", "Bucket": "/q/objects/")", ""},
      {volume("file", "rel"), R"("data", "Storage": "file", "Bucket": ")" + cwd + R"(/rel/")", ""},
      {volume("s3", "http://ak:sk@h/b"), R"("data", "Storage": "s3", "Bucket": "http://h/b")", ""},
      {volume("file", "/q/objects"), R"("other", "Storage": "file", "Bucket": "/q/objects/")",
       "it holds volume \"other\" (storage file, bucket /q/objects/)"},
      {volume("file", "/q/objects"), R"("data", "Storage": "s3", "Bucket": "http://ak:sk@h/b")",
       "its volume \"data\" (storage s3, bucket http://ak:****@h/b) is not on storage file, bucket /q/objects"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.held);
    const JuiceFs jfs(testing::script(
        dir.path() / "juicefs",
        "[ \"$1\" = status ] && echo '{\"Setting\": {\"UUID\": \"u\", \"Name\": " + c.held + "}}'; exit 0"));
    auto formatted = jfs.format(c.request, testing::no_limits());
    EXPECT_EQ(formatted ? "" : formatted.error().message(),
              c.error.empty() ? "" : "the metadata engine does not hold volume \"data\": " + c.error);
  }
}

// What the backend prints is read by the inspection and removal tests, real
// and faked; here only what is no status: JSON without a UUID, or a failure.
TEST(ParseBackendStatus, WithoutAUuidThereIsNoStatus) {
  EXPECT_TRUE(parse_backend_status(R"({"Setting": {"Name": "v", "UUID": "u"}})"));
  EXPECT_FALSE(parse_backend_status(R"({"Setting": {"Name": "no uuid"}})"));
  EXPECT_FALSE(parse_backend_status("2026/12/06 <FATAL>: database is not formatted"));
}

}  // namespace
}  // namespace quarvo
