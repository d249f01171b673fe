#include "quarvo/core/mount_table.hpp"

#include <gtest/gtest.h>

#include "quarvo/core/test_support.hpp"

namespace quarvo {
namespace {
namespace fs = std::filesystem;

// Escapes decoded in every field (one cut short stays as written), stacked
// mounts in order, lines of another shape skipped.
TEST(MountTable, ParsesMountinfoLines) {
  const std::pair<std::string, std::vector<MountEntry>> cases[] = {
      {"22 1 0:21 / /proc rw,nosuid - proc proc rw\n", {{"/proc", "proc", "proc", false, "0:21"}}},
      {"36 35 98:0 /mnt1 /mnt/a rw,noatime master:1 shared:7 - ext3 /dev/root rw,errors=continue\n",
       {{"/mnt/a", "/dev/root", "ext3", false, "98:0"}}},
      {"90 1 0:50 / /mnt/with\\040space\\012nl\\011tab\\134bs rw - fuse.juicefs JuiceFS:a\\040b rw\n",
       {{"/mnt/with space\nnl\ttab\\bs", "JuiceFS:a b", "fuse.juicefs", false, "0:50"}}},
      // allow_other among the super options, not the mount options; not a part of another option.
      {"46 27 0:41 / /r rw,allow_other - fuse.juicefs JuiceFS:v rw,user_id=0,default_permissions,allow_other\n"
       "47 27 0:42 / /u allow_other - fuse.juicefs JuiceFS:w rw,user_id=1000,no_allow_other,allow_others\n",
       {{"/r", "JuiceFS:v", "fuse.juicefs", true, "0:41"}, {"/u", "JuiceFS:w", "fuse.juicefs", false, "0:42"}}},
      {"9 1 0:1 / /x\\04 rw - tmpfs s\\1 rw", {{"/x\\04", "s\\1", "tmpfs", false, "0:1"}}},
      {"50 1 0:40 / /m rw - tmpfs JuiceFS:v rw\n51 50 0:41 / /m rw - tmpfs other rw",
       {{"/m", "JuiceFS:v", "tmpfs", false, "0:40"}, {"/m", "other", "tmpfs", false, "0:41"}}},
      {"9 1 0:1 / /e rw - tmpfs  rw\n", {{"/e", "", "tmpfs", false, "0:1"}}},
      {"\ngarbage\n9 1 0:1 / /no-dash rw tmpfs x rw\n9 1 0:1 / /cut rw - tmpfs\n9 1 0:1 / /ok rw - tmpfs x rw\n",
       {{"/ok", "x", "tmpfs", false, "0:1"}}},
  };
  for (const auto& [text, entries] : cases) EXPECT_EQ(parse_mountinfo(text), entries) << text;
  const auto stacked = parse_mountinfo(cases[5].first);
  EXPECT_EQ(mount_at(stacked, "/m")->source, "other");
  EXPECT_FALSE(mount_at(stacked, "/m/") || mount_at(stacked, "/n"));
}

// Only the parent is resolved, against the working directory: a leaf that
// is a link stays one, as resolving it would look into what may be a mount.
TEST(MountTable, CanonicalMountpointResolvesOnlyTheParent) {
  testing::TempDir tmp;
  const fs::path root = fs::canonical(tmp.path()), real = root / "real", link = root / "link";
  fs::create_directories(real / "sub");
  fs::create_directory_symlink(real, link);
  fs::create_directory_symlink(real / "sub", real / "leaflink");
  testing::spit(root / "file", "x");
  const fs::path cwd = fs::current_path();
  fs::current_path(real);
  // Paths, then where each of them resolves to.
  const std::pair<std::vector<fs::path>, std::optional<fs::path>> cases[] = {
      {{link / "m", "m", "./sub/../m/", link / "m" / "." / ""}, real / "m"},
      {{link / "leaflink"}, real / "leaflink"},
      {{link / "sub" / ".."}, real},
      {{link / "new" / "deeper" / ".." / "m"}, real / "new" / "m"},
      {{"/", "/."}, "/"},
      {{root / "file" / "m", ""}, std::nullopt}};
  for (const auto& [paths, want] : cases) {
    for (const fs::path& in : paths)
      EXPECT_EQ(canonical_mountpoint(in).value_or("refused"), want.value_or("refused")) << in;
  }
  fs::current_path(cwd);
}

}  // namespace
}  // namespace quarvo
