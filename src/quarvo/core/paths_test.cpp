#include "quarvo/core/paths.hpp"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include "quarvo/core/test_support.hpp"

namespace quarvo {
namespace {

namespace fs = std::filesystem;

// QUARVO_HOME, else $HOME/.quarvo, else the user database's home; a
// QUARVO_HOME that is empty or relative is refused with its name, as a value
// of the user's, not an OS error.
TEST(QuarvoHomeFromEnv, ResolvesQuarvoHomeThenHomeThenUserDatabase) {
  const struct {
    std::optional<std::string> quarvo_home, home;
    std::optional<fs::path> root;  // nullopt: refused
  } cases[] = {
      {"/q/h", "/home/u", "/q/h"},
      {std::nullopt, "/home/u", "/home/u/.quarvo"},
      {std::nullopt, "", fs::path(::getpwuid(::getuid())->pw_dir) / ".quarvo"},  // the user database's
      {"", "/home/u", std::nullopt},
      {"rel/home", "/home/u", std::nullopt},
      {"./h", "/home/u", std::nullopt},
  };
  for (const auto& c : cases) {
    testing::ScopedEnv env;
    env.set("QUARVO_HOME", c.quarvo_home);
    env.set("HOME", c.home);
    auto resolved = QuarvoHome::from_env();
    EXPECT_EQ(resolved ? std::optional(resolved->root()) : std::nullopt, c.root) << c.quarvo_home.value_or("(unset)");
    EXPECT_TRUE(resolved || (resolved.error().kind() == ErrorKind::InvalidArgument &&
                             resolved.error().message().find("QUARVO_HOME") != std::string::npos));
  }
}

}  // namespace
}  // namespace quarvo
