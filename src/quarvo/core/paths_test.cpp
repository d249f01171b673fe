#include "quarvo/core/paths.hpp"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "quarvo/core/test_support.hpp"

namespace quarvo {
namespace {

TEST(QuarvoHomeFromEnv, ResolvesQuarvoHomeThenHomeThenUserDatabase) {
  const std::filesystem::path db_home = ::getpwuid(::getuid())->pw_dir;
  const struct {
    std::optional<std::string> quarvo_home, home;
    std::filesystem::path root;
  } cases[] = {
      {"/q/h", "/home/u", "/q/h"},
      {std::nullopt, "/home/u", "/home/u/.quarvo"},
      {std::nullopt, "", db_home / ".quarvo"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.root);
    testing::ScopedEnv env;
    env.set("QUARVO_HOME", c.quarvo_home);
    env.set("HOME", c.home);
    auto resolved = QuarvoHome::from_env();
    ASSERT_TRUE(resolved) << resolved.error().message();
    EXPECT_EQ(resolved->root(), c.root);
  }
}

TEST(QuarvoHomeFromEnv, RefusesAnEmptyOrRelativeQuarvoHome) {
  for (const char* value : {"", "rel/home", "./h"}) {
    SCOPED_TRACE(value);
    testing::ScopedEnv env;
    env.set("QUARVO_HOME", value);
    auto resolved = QuarvoHome::from_env();
    ASSERT_FALSE(resolved);
    EXPECT_EQ(resolved.error().kind(), ErrorKind::Io);
    EXPECT_NE(resolved.error().message().find("QUARVO_HOME"), std::string::npos);
  }
}

mode_t mode_of(const std::filesystem::path& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

TEST(QuarvoHomeLayout, NewDirectoriesArePrivateAndExistingOnesKeepTheirMode) {
  testing::TempDir tmp;
  const mode_t old_umask = ::umask(022);
  const QuarvoHome home(tmp.path() / "parent" / "home");
  const auto laid_out = home.ensure_layout();
  ::chmod(home.logs_dir().c_str(), 0755);
  const auto again = home.ensure_layout();
  const auto log = home.volume_log_path("v");
  const int created = create_private_file(log);
  const mode_t created_mode = mode_of(log);
  ::chmod(log.c_str(), 0644);
  const int created_again = create_private_file(log);
  ::umask(old_umask);
  ASSERT_TRUE(laid_out && again);
  for (const auto& dir : {home.root().parent_path(), home.root(), home.volumes_dir(), home.bin_dir(), home.dev_dir()}) {
    EXPECT_EQ(mode_of(dir), 0700u) << dir;
  }
  EXPECT_EQ(mode_of(home.logs_dir()), 0755u);
  EXPECT_EQ(std::pair(created, created_mode), std::pair(0, mode_t{0600}));
  EXPECT_EQ(std::pair(created_again, mode_of(log)), std::pair(0, mode_t{0644}));
  EXPECT_EQ(create_private_file(tmp.path() / "missing-dir" / "x.log"), ENOENT);
}

}  // namespace
}  // namespace quarvo
