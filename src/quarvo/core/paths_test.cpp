#include "quarvo/core/paths.hpp"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <optional>

#include "quarvo/core/test_support.hpp"

namespace quarvo {
namespace {

using testing::spit;
using testing::TempDir;

// Sets (or unsets) an environment variable for one scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::optional<std::string>& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) {
      ::setenv(name, value->c_str(), 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      ::setenv(name_, old_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

mode_t mode_of(const std::filesystem::path& p) {
  struct stat st {};
  return ::stat(p.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

TEST(QuarvoHomeFromEnv, ResolvesQuarvoHomeThenHomeThenUserDatabase) {
  const std::filesystem::path db_home = ::getpwuid(::getuid())->pw_dir;
  struct Case {
    std::optional<std::string> quarvo_home, home;
    std::filesystem::path root;
  };
  const Case cases[] = {
      {"/q/h", "/home/u", "/q/h"},
      {"", "/home/u", ""},  // taken as it is, even empty
      {std::nullopt, "/home/u", "/home/u/.quarvo"},
      {std::nullopt, "", db_home / ".quarvo"},
      {std::nullopt, std::nullopt, db_home / ".quarvo"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.root);
    ScopedEnv quarvo_home("QUARVO_HOME", c.quarvo_home);
    ScopedEnv home("HOME", c.home);
    auto resolved = QuarvoHome::from_env();
    ASSERT_TRUE(resolved) << resolved.error().message();
    EXPECT_EQ(resolved->root(), c.root);
  }
}

TEST(QuarvoHomeFromEnv, FailsForAUserWithoutHome) {
  constexpr uid_t kUnknownUid = 3999999;
  if (::getpwuid(kUnknownUid) != nullptr) GTEST_SKIP() << "uid " << kUnknownUid << " exists here";
  // setuid is for good, so it happens in a child.
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::unsetenv("QUARVO_HOME");
    ::unsetenv("HOME");
    if (::setuid(kUnknownUid) != 0) ::_exit(77);
    auto home = QuarvoHome::from_env();
    const bool ok = !home && home.error().kind() == ErrorKind::Io && home.error().os_error().code == ENOENT &&
                    home.error().message() == "could not determine home directory";
    ::_exit(ok ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "cannot change the user id";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

class EnsureLayout : public ::testing::Test {
 protected:
  void SetUp() override { old_umask_ = ::umask(027); }
  void TearDown() override { ::umask(old_umask_); }
  TempDir dir_;
  mode_t old_umask_ = 0;
};

TEST_F(EnsureLayout, CreatesEveryDirectoryOnceWithTheUmaskedMode) {
  const QuarvoHome home(dir_.path() / "a" / "b");
  const std::filesystem::path dirs[] = {home.root(), home.volumes_dir(), home.logs_dir(), home.bin_dir(),
                                        home.dev_dir()};
  ASSERT_TRUE(home.ensure_layout());
  for (const auto& d : dirs) {
    SCOPED_TRACE(d);
    EXPECT_EQ(mode_of(d), 0750u);
  }
  // A second run on a complete layout changes nothing.
  spit(home.volume_path("x"), "kept");
  ::chmod(home.logs_dir().c_str(), 0700);
  ASSERT_TRUE(home.ensure_layout());
  EXPECT_EQ(testing::slurp(home.volume_path("x")), "kept");
  EXPECT_EQ(mode_of(home.logs_dir()), 0700u);
}

TEST_F(EnsureLayout, StopsAtTheFirstDirectoryThatFails) {
  const QuarvoHome home(dir_.path());
  spit(home.logs_dir(), "a file where a directory belongs");
  auto r = home.ensure_layout();
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message(), "I/O error at " + home.logs_dir().string() + ": File exists (os error 17)");
  EXPECT_TRUE(std::filesystem::is_directory(home.volumes_dir()));
  EXPECT_FALSE(std::filesystem::exists(home.bin_dir()));
}

}  // namespace
}  // namespace quarvo
