#include "quarvo/service/volume_files.hpp"

#include <gtest/gtest.h>

namespace quarvo {
namespace {

namespace fs = std::filesystem;

// Removal deletes what this lists: only directories named after the
// volume's UUID, wherever the record, the mount or the settings say.
TEST(VolumeFiles, CacheDirectoriesAreOnlyThoseNamedAfterTheUuid) {
  const std::string uuid = "0d1c6a2e-5f0e-4a7c-9a55-2f3e4d5c6b7a";
  const std::string other = "11111111-2222-3333-4444-555555555555";
  const QuarvoHome home("/q");
  Volume volume;
  volume.cache_dirs = {"/old/" + uuid, "/etc", "/old/" + other, "/old/" + uuid};
  volume.settings = {{"cache-dir", "/srv/cache"}};
  MountConfig mount;
  mount.uuid = uuid;
  mount.cache_dirs = {"/mnt-cache/" + uuid, "/mnt-cache/x"};
  const auto dirs = volume_cache_dirs(home, volume, uuid, mount);
  EXPECT_EQ(std::vector<fs::path>(dirs.begin(), dirs.begin() + 4),
            (std::vector<fs::path>{"/old/" + uuid, "/mnt-cache/" + uuid, "/srv/cache/" + uuid, "/q/cache/" + uuid}));
  for (const fs::path& dir : dirs) EXPECT_EQ(dir.filename(), uuid) << dir;
  // Without the UUID, the record's directories named after some UUID.
  EXPECT_EQ(volume_cache_dirs(home, volume, "", std::nullopt),
            (std::vector<fs::path>{"/old/" + uuid, "/old/" + other}));
}

}  // namespace
}  // namespace quarvo
