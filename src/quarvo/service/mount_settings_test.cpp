#include "quarvo/service/mount_settings.hpp"

#include <gtest/gtest.h>

namespace quarvo {
namespace {

// What a mount runs with: the record's settings, this mount's changes over
// them, and the cache under the home unless one is set; a home the backend
// would read as several cache directories needs one set.
TEST(MountSettings, AMountRunsWithTheRecordsSettingsTheCallersChangesAndTheHomesCache) {
  Volume volume;
  volume.name = "data";
  volume.settings = {{"read-only", "true"}, {"cache-size", "0100"}};
  const QuarvoHome home("/q");
  EXPECT_EQ(running_settings(home, volume, {}),
            (VolumeSettings{{"cache-dir", "/q/cache"}, {"cache-size", "100"}, {"read-only", true}}));
  EXPECT_EQ(running_settings(home, volume, {{"read-only", std::nullopt}, {"cache-dir", "/srv/c"}}),
            (VolumeSettings{{"cache-dir", "/srv/c"}, {"cache-size", "100"}}));
  const QuarvoHome odd("/q:odd");
  auto refused = running_settings(odd, volume, {});
  ASSERT_FALSE(refused);
  EXPECT_NE(refused.error().message().find("quarvo config data cache-dir=PATH"), std::string::npos);
  EXPECT_TRUE(running_settings(odd, volume, {{"cache-dir", "/srv/c"}}));
  volume.settings = {{"subdir", "../up"}};
  EXPECT_FALSE(running_settings(home, volume, {}));
  EXPECT_TRUE(running_settings(home, volume, {{"subdir", std::nullopt}}));
}

}  // namespace
}  // namespace quarvo
