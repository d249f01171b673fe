#include "quarvo/core/paths.hpp"

#include <gtest/gtest.h>
#include <pwd.h>
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
      {"", "/home/u", ""},  // taken as it is, even empty
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

}  // namespace
}  // namespace quarvo
