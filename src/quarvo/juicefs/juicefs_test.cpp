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
  } mounts[] = {{false, false, {}}, {false, true, {"--check-storage"}}, {true, true, {"--check-storage"}},
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

}  // namespace
}  // namespace quarvo
