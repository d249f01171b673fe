#include "quarvo/core/paths.hpp"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "quarvo/core/test_support.hpp"

namespace quarvo {
namespace {

using testing::spit;
using testing::TempDir;

mode_t mode_of(const std::filesystem::path& p) {
  struct stat st {};
  return ::stat(p.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

TEST(QuarvoHomeFromEnv, ResolvesQuarvoHomeThenHomeThenUserDatabase) {
  const std::filesystem::path db_home = ::getpwuid(::getuid())->pw_dir;
  const struct {
    std::optional<std::string> quarvo_home, home;
    std::filesystem::path root;
  } cases[] = {
      {"/q/h", "/home/u", "/q/h"},
      {"", "/home/u", ""},  // taken as it is, even empty
      {std::nullopt, "/home/u", "/home/u/.quarvo"},
      {std::nullopt, "", db_home / ".quarvo"},
      {std::nullopt, std::nullopt, db_home / ".quarvo"},
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

  constexpr uid_t kUnknownUid = 3999999;
  if (::getpwuid(kUnknownUid) != nullptr) GTEST_SKIP() << "uid " << kUnknownUid << " exists here";
  const int code = testing::in_child([] {
    ::unsetenv("QUARVO_HOME");
    ::unsetenv("HOME");
    if (::setuid(kUnknownUid) != 0) return 77;
    auto home = QuarvoHome::from_env();
    return !home && home.error().kind() == ErrorKind::Io && home.error().os_error().code == ENOENT &&
                   home.error().message() == "could not determine home directory"
               ? 0
               : 1;
  });
  if (code == 77) GTEST_SKIP() << "cannot change the user id";
  EXPECT_EQ(code, 0);
}

TEST(EnsureLayout, CreatesEveryDirectoryOnceWithTheUmaskedModeAndStopsAtAFailure) {
  TempDir dir;
  const mode_t old_umask = ::umask(027);
  const QuarvoHome home(dir.path() / "a" / "b");
  ASSERT_TRUE(home.ensure_layout());
  for (const auto& d : {home.root(), home.volumes_dir(), home.logs_dir(), home.bin_dir(), home.dev_dir()}) {
    EXPECT_EQ(mode_of(d), 0750u) << d;
  }
  // A second run on a complete layout changes nothing.
  spit(home.volume_path("x"), "kept");
  ::chmod(home.logs_dir().c_str(), 0700);
  ASSERT_TRUE(home.ensure_layout());
  EXPECT_EQ(testing::slurp(home.volume_path("x")), "kept");
  EXPECT_EQ(mode_of(home.logs_dir()), 0700u);
  ::umask(old_umask);

  const QuarvoHome other(dir.path() / "c");
  std::filesystem::create_directories(other.root());
  spit(other.logs_dir(), "a file where a directory belongs");
  auto r = other.ensure_layout();
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message(), "I/O error at " + other.logs_dir().string() + ": File exists (os error 17)");
  EXPECT_TRUE(std::filesystem::is_directory(other.volumes_dir()));
  EXPECT_FALSE(std::filesystem::exists(other.bin_dir()));
}

}  // namespace
}  // namespace quarvo
