#include "quarvo/juicefs/juicefs.hpp"

#include <gtest/gtest.h>

#include "quarvo/core/test_support.hpp"

namespace quarvo {
namespace {

using Args = std::vector<std::string>;

const Volume kVolume = [] {
  Volume v;
  v.name = "data";
  v.metadata_url = "sqlite3:///q/dev/data/meta.db";
  v.storage = "file";
  v.bucket = "/q/dev/data objects";
  return v;
}();

TEST(JuiceFsSpec, CommandLines) {
  const JuiceFs jfs("/opt/jfs");
  EXPECT_EQ(jfs.format_spec(kVolume).args(), (Args{"format", kVolume.metadata_url, "data", "--storage", "file",
                                                   "--bucket", kVolume.bucket, "--trash-days", "0", "--no-update"}));
  EXPECT_EQ(jfs.unmount_spec("/mnt/data", true).args(), (Args{"umount", "--flush", "--force", "/mnt/data"}));
  EXPECT_EQ(jfs.unmount_spec("/mnt/data", false).args(), (Args{"umount", "--flush", "/mnt/data"}));
  EXPECT_EQ(jfs.unmount_spec("/mnt/data", true, false).args(), (Args{"umount", "--force", "/mnt/data"}));
  const struct {
    bool foreground, check_storage;
    Args tail;
  } mounts[] = {
      {false, false, {}}, {false, true, {"--check-storage"}}, {true, true, {"--check-storage"}}, {true, false, {}}};
  for (const auto& c : mounts) {
    SCOPED_TRACE(std::to_string(c.foreground) + std::to_string(c.check_storage));
    Args expected{"mount", kVolume.metadata_url, "/mnt/d\xEF\xBF\xBDta", "--log", "/logs/data.log"};
    expected.insert(expected.end(), c.tail.begin(), c.tail.end());
    const MountVolume request{"data", "/mnt/d\xFFta", c.foreground, c.check_storage};
    EXPECT_EQ(jfs.mount_spec(kVolume, request, "/logs/data.log").args(), expected);
  }
}

TEST(JuiceFsStatus, BucketsCompareAsTheBackendStoresThem) {
  EXPECT_EQ(stored_bucket("file", "/data/./x/../objects"), "/data/objects/");
  EXPECT_EQ(stored_bucket("file", "/data/objects/"), "/data/objects/");
  EXPECT_EQ(stored_bucket("file", "rel"), (std::filesystem::current_path() / "rel").string() + "/");
  EXPECT_EQ(stored_bucket("s3", "http://ak:sk@h/b"), "http://h/b");
}

// An engine that already holds a volume: the format changes nothing there,
// so the volume it holds must be the one asked for.
TEST(JuiceFsFormat, AnEngineHoldingAnotherVolumeIsAMismatch) {
  testing::TempDir dir;
  Volume volume = kVolume;
  volume.bucket = "/q/dev/data/objects";
  const struct {
    std::string held;   // Name, Storage, Bucket as status reports them
    std::string error;  // empty: the request matches
  } cases[] = {
      {R"("data", "Storage": "file", "Bucket": "/q/dev/data/objects/")", ""},
      {R"("other", "Storage": "file", "Bucket": "/q/dev/data/objects/")",
       "the metadata engine does not hold volume \"data\": it holds volume \"other\" (storage file, bucket "
       "/q/dev/data/objects/)"},
      {R"("data", "Storage": "s3", "Bucket": "http://ak:sk@h/b")",
       "the metadata engine does not hold volume \"data\": its volume \"data\" (storage s3, bucket "
       "http://ak:****@h/b) is not on storage file, bucket /q/dev/data/objects"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.held);
    const JuiceFs jfs(testing::script(
        dir.path() / "juicefs",
        "[ \"$1\" = status ] && echo '{\"Setting\": {\"UUID\": \"u\", \"Name\": " + c.held + "}}'; exit 0"));
    auto formatted = jfs.format(volume);
    EXPECT_EQ(formatted ? "" : formatted.error().message(), c.error);
  }
}

// A background mount's daemon tells its reason in its log; what it appended
// there comes back as the failure's standard error, and the error names the log.
TEST(JuiceFsRun, BackgroundMountFailureGivesTheReasonAndTheLog) {
  const JuiceFs jfs("/opt/juicefs");
  const QuarvoError e = jfs.mount_failure(
      kVolume, MountVolume{"data", "/mnt/x", false, false}, "/logs/data.log", /*exit status 1*/ 1 << 8,
      CommandOutput{"", "2026/12/06 10:00:01.000001 juicefs[9] <FATAL>: fuse: device busy [mount@fuse.go:2]\n"});
  EXPECT_EQ(e.message(), "Quarvo storage backend command failed (exit status: 1)");
  EXPECT_EQ(e.reason(), "fuse: device busy");
  EXPECT_EQ(e.log(), "/logs/data.log");
}

// A foreground mount hands the terminal to the backend, so its output is not captured.
TEST(JuiceFsRun, ForegroundFailureKeepsOnlyTheSubcommand) {
  testing::TempDir dir;
  const JuiceFs jfs(testing::script(dir.path() / "juicefs", "echo to the terminal >&2; exit 1"));
  const MountVolume request{"data", "/mnt/x", true, false};
  auto child = jfs.start_mount(kVolume, request, "/l.log");
  ASSERT_TRUE(child) << child.error().message();
  auto status = child->wait();
  ASSERT_TRUE(status);
  const QuarvoError e = jfs.mount_failure(kVolume, request, "/l.log", *status, child->take_output());
  EXPECT_EQ(e.message(), "Quarvo storage backend command failed (exit status: 1)");
  EXPECT_EQ(e.command().args, "mount");
  EXPECT_EQ(e.command().stderr_text, "");
}

// The shape the backend prints (trimmed), with one session connected.
TEST(ParseBackendStatus, TakesSettingsUsageAndSessions) {
  const std::string json = R"({
  "Setting": {"Name": "testvol", "UUID": "52e61d6b-5cb3-4d7d-9ffd-a248b868c7a3", "Storage": "file",
              "Tiers": {"0": {"ID": 0}}, "Bucket": "/tmp/jt/obj/", "BlockSize": 4096, "TrashDays": 0},
  "Sessions": [{"Sid": 1, "Expire": "2026-12-06T18:11:27Z", "HostName": "vm", "IPAddrs": ["192.0.2.2"],
                "MountPoint": "/tmp/jt/mnt", "MountTime": "2026-12-06T18:10:27.874179907Z", "ProcessID": 14113}],
  "Stat": {"UsedSpace": 4096, "AvailableSpace": 1125899906842624, "UsedInodes": 1, "AvailableInodes": 10485760}
})";
  auto status = parse_backend_status(json);
  ASSERT_TRUE(status);
  EXPECT_EQ(std::tie(status->name, status->uuid, status->storage, status->bucket),
            std::tie("testvol", "52e61d6b-5cb3-4d7d-9ffd-a248b868c7a3", "file", "/tmp/jt/obj/"));
  EXPECT_EQ(status->used_bytes, 4096u);
  EXPECT_EQ(status->used_inodes, 1u);
  ASSERT_EQ(status->sessions.size(), 1u);
  EXPECT_EQ(status->sessions[0].host + ":" + status->sessions[0].mountpoint, "vm:/tmp/jt/mnt");
  EXPECT_EQ(status->sessions[0].pid, 14113);
  EXPECT_TRUE(status->sessions[0].expires);
  EXPECT_FALSE(parse_backend_status(R"({"Setting": {"Name": "no uuid"}})"));
  EXPECT_FALSE(parse_backend_status("2026/12/06 <FATAL>: database is not formatted"));
}

}  // namespace
}  // namespace quarvo
