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
  const struct {
    bool foreground, check_storage;
    Args tail;
  } mounts[] = {{false, false, {"-d"}}, {false, true, {"-d", "--check-storage"}}, {true, true, {"--check-storage"}},
                {true, false, {}}};
  for (const auto& c : mounts) {
    SCOPED_TRACE(std::to_string(c.foreground) + std::to_string(c.check_storage));
    Args expected{"mount", kVolume.metadata_url, "/mnt/d\xEF\xBF\xBDta", "--log", "/logs/data.log"};
    expected.insert(expected.end(), c.tail.begin(), c.tail.end());
    const MountVolume request{"data", "/mnt/d\xFFta", c.foreground, c.check_storage};
    EXPECT_EQ(jfs.mount_spec(kVolume, request, "/logs/data.log").args(), expected);
  }
}

// A foreground mount hands the terminal to the backend, so its output is not captured.
TEST(JuiceFsRun, ForegroundFailureKeepsOnlyTheSubcommand) {
  testing::TempDir dir;
  const JuiceFs jfs(testing::script(dir.path() / "juicefs", "echo to the terminal >&2; exit 1"));
  auto r = jfs.mount(kVolume, MountVolume{"data", "/mnt/x", true, false}, "/l.log");
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message(), "Quarvo storage backend command failed (exit status: 1)");
  EXPECT_EQ(r.error().command().args, "mount");
  EXPECT_EQ(r.error().command().stderr_text, "");
}

}  // namespace
}  // namespace quarvo
