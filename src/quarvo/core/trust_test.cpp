#include "quarvo/core/trust.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "quarvo/core/paths.hpp"
#include "quarvo/core/test_support.hpp"

namespace quarvo {
namespace {

namespace fs = std::filesystem;

// A uid no user has: the test runs as root, who may give a file away.
constexpr uid_t kStranger = 4242;

class TrustTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "giving files to another user needs root";
  }
  // A file or directory at `name` with that owner and mode.
  fs::path made(const std::string& name, uid_t owner, mode_t mode, bool directory = false) {
    const fs::path path = dir_.path() / name;
    if (directory) {
      fs::create_directory(path);
    } else {
      testing::spit(path, "#!/bin/sh\n");
    }
    EXPECT_EQ(::chown(path.c_str(), owner, 0), 0);
    EXPECT_EQ(::chmod(path.c_str(), mode), 0);
    return path;
  }
  testing::TempDir dir_;
};

std::string outcome(const Result<void>& r) { return r ? "ok" : r.error().message(); }

// Whose a path may be and who may write it, for the home (and a program in
// it) and for a program from elsewhere, which a group may write.
TEST_F(TrustTest, OnlyTheUserOrRootMayOwnAndOnlyTheyMayWrite) {
  const struct {
    uid_t owner;
    mode_t mode;
    const char* home;     // check_private, and check_program in the home
    const char* program;  // check_program from elsewhere
  } cases[] = {
      {0, 0700, "", ""},
      {0, 0755, "", ""},
      {0, 0775, "writable by group", ""},
      {0, 0757, "writable by others", "writable by others"},
      {kStranger, 0755, "not yours or root's", "not yours or root's"},
      {kStranger, 0777, "not yours or root's, writable by group and others", "not yours or root's, writable by others"},
  };
  int i = 0;
  for (const auto& c : cases) {
    const fs::path path = made("p" + std::to_string(i++), c.owner, c.mode);
    SCOPED_TRACE(path);
    const auto expect = [&](const Result<void>& r, std::string_view found) {
      if (found.empty()) {
        EXPECT_TRUE(r) << r.error().message();
        return;
      }
      ASSERT_FALSE(r);
      EXPECT_EQ(r.error().kind(), ErrorKind::UnsafePath);
      EXPECT_NE(r.error().message().find("(" + std::string(found) + ")"), std::string::npos) << r.error().message();
    };
    expect(check_private(path, "the Quarvo home"), c.home);
    expect(check_program(path, true), c.home);
    expect(check_program(path, false), c.program);
  }
  // The whole message: the path, what it is, its owner and mode, the fix.
  const fs::path home = made("qhome", kStranger, 0777, true);
  EXPECT_EQ(outcome(check_private(home, "the Quarvo home")),
            home.string() +
                " is not safe to use: the Quarvo home belongs to uid 4242 and has mode 0777 (not yours or " +
                "root's, writable by group and others); if what it holds is yours, `chown root " + home.string() +
                " && chmod go-w " + home.string() + "`; else remove it");
  EXPECT_EQ(outcome(check_program(made("prog", 0, 0757), false)),
            (dir_.path() / "prog").string() +
                " is not safe to use: the storage backend program belongs to root (uid 0) and has mode 0757 (writable "
                "by others); `chmod o-w " +
                (dir_.path() / "prog").string() + "`");
}

// Nothing is made inside a home another user could change, and a layout
// directory that others may write stops the layout at it.
TEST_F(TrustTest, TheLayoutIsMadeOnlyInAHomeOfOurOwn) {
  const QuarvoHome fresh(dir_.path() / "fresh" / "home");
  ASSERT_TRUE(fresh.ensure_layout());
  EXPECT_EQ(fs::status(fresh.bin_dir()).permissions(), fs::perms(0700));

  const QuarvoHome foreign(made("foreign", kStranger, 0777, true));
  const auto refused = foreign.ensure_layout();
  EXPECT_EQ(refused ? ErrorKind::Io : refused.error().kind(), ErrorKind::UnsafePath);
  EXPECT_FALSE(fs::exists(foreign.volumes_dir()));

  ASSERT_EQ(::chmod(fresh.bin_dir().c_str(), 0777), 0);
  const auto open_bin = fresh.ensure_layout();
  EXPECT_TRUE(!open_bin && open_bin.error().message().starts_with(
                               fresh.bin_dir().string() + " is not safe to use: the Quarvo home's bin directory"));
}

// A record or config.toml is read only from a small regular file of the
// user's own, and never through a link.
TEST_F(TrustTest, OwnFilesAreSmallRegularFilesOfTheUsersOwnNotLinks) {
  const fs::path file = made("own", 0, 0600);
  testing::spit(file, std::string(kOwnFileLimit, 'x'));
  fs::create_symlink(file, dir_.path() / "link");
  made("stranger", kStranger, 0600);
  made("dir", 0, 0700, true);
  ASSERT_EQ(::mkfifo((dir_.path() / "fifo").c_str(), 0600), 0);
  testing::spit(dir_.path() / "big", std::string(kOwnFileLimit + 1, 'x'));
  const struct {
    const char* name;
    std::string outcome;
  } cases[] = {
      {"own", "read 65536 bytes"},
      {"link", "the record is a symbolic link"},
      {"stranger", "the record belongs to uid 4242 and has mode 0600 (not yours)"},
      {"dir", "Is a directory (os error 21)"},
      {"fifo", "Invalid argument (os error 22)"},
      {"big", "File too large: 65537 bytes, where a record holds at most 65536 (os error 27)"},
      {"missing", "No such file or directory (os error 2)"},
  };
  std::string buf;
  for (const auto& c : cases) {
    const fs::path path = dir_.path() / c.name;
    auto read = read_own_file(AT_FDCWD, {}, path.c_str(), "record", buf);
    const std::string got = read ? "read " + std::to_string(read->size()) + " bytes" : read.error().message();
    EXPECT_NE(got.find(c.outcome), std::string::npos) << c.name << ": " << got;
  }
}

}  // namespace
}  // namespace quarvo
