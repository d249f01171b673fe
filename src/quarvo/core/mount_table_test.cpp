#include "quarvo/core/mount_table.hpp"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "quarvo/core/test_support.hpp"

namespace quarvo {
namespace {
namespace fs = std::filesystem;

TEST(MountTable, ParsesMountinfoLines) {
  struct Case {
    const char* what;
    std::string text;
    std::vector<MountEntry> want;
  };
  const std::vector<Case> cases = {
      {"no optional fields", "22 1 0:21 / /proc rw,nosuid - proc proc rw\n", {{"/proc", "proc", "proc"}}},
      {"several optional fields",
       "36 35 98:0 /mnt1 /mnt/a rw,noatime master:1 shared:7 - ext3 /dev/root rw,errors=continue\n",
       {{"/mnt/a", "/dev/root", "ext3"}}},
      {"escapes in every field",
       "90 1 0:50 / /mnt/with\\040space\\012nl\\011tab\\134bs rw - fuse.juicefs JuiceFS:a\\040b rw\n",
       {{"/mnt/with space\nnl\ttab\\bs", "JuiceFS:a b", "fuse.juicefs"}}},
      {"an escape cut short stays as written", "9 1 0:1 / /x\\04 rw - tmpfs s\\1 rw", {{"/x\\04", "s\\1", "tmpfs"}}},
      {"stacked mounts keep their order, no final newline",
       "50 1 0:40 / /m rw - tmpfs JuiceFS:v rw\n51 50 0:41 / /m rw - tmpfs other rw",
       {{"/m", "JuiceFS:v", "tmpfs"}, {"/m", "other", "tmpfs"}}},
      {"an empty source", "9 1 0:1 / /e rw - tmpfs  rw\n", {{"/e", "", "tmpfs"}}},
      {"lines of another shape are skipped",
       "\ngarbage\n9 1 0:1 / /no-dash rw tmpfs x rw\n9 1 0:1 / /cut rw - tmpfs\n9 1 0:1 / /ok rw - tmpfs x rw\n",
       {{"/ok", "x", "tmpfs"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(parse_mountinfo(c.text), c.want);
  }

  const auto stacked = parse_mountinfo(cases[4].text);
  EXPECT_EQ(mount_at(stacked, "/m")->source, "other");
  EXPECT_FALSE(mount_at(stacked, "/m/"));
  EXPECT_FALSE(mount_at(stacked, "/n"));
}

// The real table, in a private mount namespace: a mount whose path and
// source hold a space, a tab and a newline comes back exactly.
TEST(MountTable, ReadsTheKernelsTable) {
  auto table = read_mount_table();
  ASSERT_TRUE(table) << table.error().message();
  EXPECT_TRUE(std::any_of(table->begin(), table->end(), [](const MountEntry& e) { return e.mountpoint == "/"; }));

  testing::TempDir dir;
  const fs::path odd = dir.path() / "a b\tc\nd\\e";
  fs::create_directory(odd);
  const int code = testing::in_child([&] {
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("JuiceFS:odd name", odd.c_str(), "tmpfs", 0, nullptr) != 0) {
      return 77;
    }
    auto inside = read_mount_table();
    if (!inside) return 1;
    auto top = mount_at(*inside, odd);
    return top && top->source == "JuiceFS:odd name" && top->fstype == "tmpfs" ? 0 : 2;
  });
  if (code == 77) GTEST_SKIP() << "no private mount namespace here";
  EXPECT_EQ(code, 0);
}

TEST(MountTable, CanonicalMountpointResolvesOnlyTheParent) {
  testing::TempDir tmp;
  const fs::path root = fs::canonical(tmp.path());
  fs::create_directories(root / "real" / "sub");
  fs::create_directory_symlink(root / "real", root / "link");
  // A leaf that is a link stays a link: resolving it would look into what
  // may be a mount.
  fs::create_directory_symlink(root / "real" / "sub", root / "real" / "leaflink");
  testing::spit(root / "file", "x");
  const fs::path cwd = fs::current_path();
  fs::current_path(root / "real");

  struct Case {
    fs::path in;
    fs::path want;
  };
  const std::vector<Case> cases = {
      {root / "link" / "m", root / "real" / "m"},
      {"m", root / "real" / "m"},
      {"./sub/../m/", root / "real" / "m"},
      {root / "link" / "m" / "." / "", root / "real" / "m"},
      {root / "link" / "leaflink", root / "real" / "leaflink"},
      {root / "link" / "sub" / "..", root / "real"},
      {root / "link" / "new" / "deeper" / ".." / "m", root / "real" / "new" / "m"},
      {"/", "/"},
      {"/.", "/"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.in);
    auto got = canonical_mountpoint(c.in);
    ASSERT_TRUE(got) << got.error().message();
    EXPECT_EQ(*got, c.want);
  }

  auto under_file = canonical_mountpoint(root / "file" / "m");
  ASSERT_FALSE(under_file);
  EXPECT_EQ(under_file.error().message(),
            "I/O error at " + (root / "file" / "m").string() + ": Not a directory (os error 20)");
  EXPECT_FALSE(canonical_mountpoint(""));
  fs::current_path(cwd);
}

}  // namespace
}  // namespace quarvo
