#include "quarvo/service/mount_paths.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include "quarvo/core/test_support.hpp"
#include "quarvo/core/time.hpp"
#include "quarvo/service/volume_files.hpp"

namespace quarvo {
namespace {

namespace fs = std::filesystem;

Volume shared_volume(std::string name, const fs::path& store) {
  Volume v;
  v.name = std::move(name);
  v.backend = "juicefs";
  v.metadata_url = "sqlite3:///x.db";
  v.storage = "file";
  v.bucket = store.native() + "/";
  v.created_at = v.updated_at = now_rfc3339();
  return v;
}

// Refused: at, inside or above the home, a file store's directory or the
// block cache, also through a symbolic link; a path not UTF-8 itself or once
// resolved. Passed: beside them, a name that merely begins like one.
TEST(MountPaths, RefusesPathsThatCannotWork) {
  testing::TempDir tmp;
  const fs::path root = fs::canonical(tmp.path());
  const QuarvoHome home(root / "home");
  fs::create_directories(root / "home" / "dev" / "v" / "objects");
  fs::create_directories(root / "store");
  fs::create_directories(root / std::string("caf\xE9"));
  fs::create_directory_symlink(root / "home" / "dev", root / "into-home");
  fs::create_directory_symlink(root / std::string("caf\xE9"), root / "latin1");
  Volume team = shared_volume("team", root / "store");
  team.cache_dirs = {root / "caches" / "5e2c"};
  const auto places = places_to_avoid(home, {team});

  struct Case {
    fs::path path;
    const char* refusal;  // a part of the message; null: passes
  };
  const std::optional<fs::path> cache = default_cache_base();
  std::vector<Case> cases = {
      {root / "home", "inside the Quarvo home"},
      {root / "home" / "dev" / "v" / "objects", "inside the Quarvo home"},
      {root / "home" / "new" / "deeper", "inside the Quarvo home"},
      {root / "into-home" / "v", "inside the Quarvo home"},
      {root / "home" / ".." / "home" / "logs", "inside the Quarvo home"},
      {root, "the mount would hide the Quarvo home"},
      {root / "store" / "chunks", "inside the data of volume \"team\""},
      {root / "caches" / "5e2c" / "raw", "inside the block cache of volume \"team\""},
      {root / std::string("caf\xE9") / "mnt", "is not valid UTF-8"},
      {root / "latin1", "is not valid UTF-8"},
      {root / "mnt", nullptr},
      {root / "home2", nullptr},
      {root / "storex" / "m", nullptr},
  };
  if (cache) cases.push_back({*cache / "some-uuid", "inside the block cache directory"});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path.native());
    const auto r = check_mount_path(c.path, places);
    if (c.refusal == nullptr) {
      EXPECT_TRUE(r.has_value()) << r.error().message();
      continue;
    }
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind(), ErrorKind::InvalidArgument);
    EXPECT_EQ(r.error().path(), c.path);
    EXPECT_NE(r.error().message().find(c.refusal), std::string::npos) << r.error().message();
  }
  EXPECT_FALSE(fs::exists(root / "home" / "new")) << "a refused path is not made";
}

// Through the registry: every readable record's store counts, a record that
// cannot be read is passed over, a relative path is taken from the working
// directory.
TEST(MountPaths, AsksTheRegistryForTheVolumesPlaces) {
  testing::TempDir tmp;
  const fs::path root = fs::canonical(tmp.path());
  const Registry registry{QuarvoHome(root / "home")};
  ASSERT_TRUE(registry.home().ensure_layout());
  ASSERT_TRUE(registry.write(shared_volume("team", root / "store")));
  testing::spit(registry.home().volume_path("broken"), "not a record");

  auto r = check_mount_path(registry, root / "store" / "m");
  ASSERT_FALSE(r.has_value());
  EXPECT_NE(r.error().message().find("volume \"team\""), std::string::npos) << r.error().message();
  EXPECT_TRUE(check_mount_path(registry, root / "mnt"));

  const fs::path before = fs::current_path();
  fs::current_path(root / "home");
  r = check_mount_path(registry, "logs");
  fs::current_path(before);
  ASSERT_FALSE(r.has_value());
  EXPECT_NE(r.error().message().find("inside the Quarvo home"), std::string::npos) << r.error().message();
}

}  // namespace
}  // namespace quarvo
