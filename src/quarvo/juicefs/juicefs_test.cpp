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

class JuiceFsRun : public ::testing::Test {
 protected:
  JuiceFs backend(const std::string& body) { return JuiceFs(testing::script(dir_.path() / "juicefs", body)); }
  testing::TempDir dir_;
};

TEST_F(JuiceFsRun, MountOutcomes) {
  const struct {
    const char* body;
    bool foreground;
    std::string status, args_text, err;  // empty status: success
  } cases[] = {
      {"exit 0", true, "", "", ""},
      {"echo to the terminal >&2; exit 1", true, "exit status: 1", "mount", ""},
      {"echo no >&2; exit 2", false, "exit status: 2", "mount M /mnt/x --log /l.log -d", "no\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.body) + (c.foreground ? " foreground" : " background"));
    const JuiceFs jfs = backend(c.body);
    Volume volume = kVolume;
    volume.metadata_url = "M";
    auto r = jfs.mount(volume, MountVolume{"data", "/mnt/x", c.foreground, false}, "/l.log");
    if (c.status.empty()) {
      EXPECT_TRUE(r) << r.error().message();
      continue;
    }
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(), "Quarvo storage backend command failed (" + c.status + ")");
    const CommandFailure& f = r.error().command();
    EXPECT_EQ(f.program, jfs.program().string());
    EXPECT_EQ(f.args, c.args_text);
    EXPECT_EQ(f.stdout_text + "|" + f.stderr_text, "|" + c.err);
  }
}

}  // namespace
}  // namespace quarvo
