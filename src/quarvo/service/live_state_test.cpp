#include "quarvo/service/live_state.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>

#include <chrono>

#include "quarvo/core/mount_table.hpp"
#include "quarvo/core/test_support.hpp"

namespace quarvo {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Every state from real mounts in a private mount namespace of a child; the
// child writes what it saw, one entry per mount, for the parent to compare.
TEST(LiveState, ChecksManyMountsUnderOneBound) {
  testing::TempDir tmp;
  const fs::path dir = fs::canonical(tmp.path());
  // "o" has a space, a tab, a newline and a backslash, which the kernel's table escapes.
  for (const char* sub : {"a", "b", "c", "d", "real/e", "g", "h", "i", "o \t\n\\"}) fs::create_directories(dir / sub);
  fs::create_directory_symlink(dir / "real", dir / "link");
  const fs::path report = dir / "report";
  constexpr auto kBound = 1000ms;
  const int code = testing::in_child([&] {
    const auto tmpfs = [](const fs::path& at, const char* source) {
      return ::mount(source, at.c_str(), "tmpfs", 0, nullptr) == 0;
    };
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return 77;
    if (!tmpfs(dir / "a", "JuiceFS:a") || !tmpfs(dir / "c", "scratch") || !tmpfs(dir / "d", "JuiceFS:d") ||
        !tmpfs(dir / "d", "over") || !tmpfs(dir / "real/e", "JuiceFS:e") || !tmpfs(dir / "o \t\n\\", "JuiceFS:o p")) {
      return 77;
    }
    const int dead = testing::serverless_fuse(dir / "g", "JuiceFS:g"),
              hung_h = testing::serverless_fuse(dir / "h", "JuiceFS:h");
    const int hung_i = testing::serverless_fuse(dir / "i", "JuiceFS:i");
    if (dead < 0 || hung_h < 0 || hung_i < 0) return 78;
    ::close(dead);
    // Resolving a path must not look at its leaf, or this would never return.
    if (canonical_mountpoint(dir / "h") != dir / "h") return 3;
    const std::vector<std::pair<std::string, fs::path>> mounts = {
        {"a", dir / "a"}, {"b", dir / "b"}, {"c", dir / "c"}, {"d", dir / "d"},         {"e", dir / "link/e"},
        {"g", dir / "g"}, {"h", dir / "h"}, {"i", dir / "i"}, {"o p", dir / "o \t\n\\"}};
    const auto start = std::chrono::steady_clock::now();
    const std::vector<MountCheck> checks = check_mounts(mounts, kBound);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    // A second call finds the first one's workers still waiting on h and i.
    const std::vector<MountCheck> again = check_mounts({{"h", dir / "h"}}, kBound);
    std::string out;
    for (const MountCheck& c : checks) out += std::string(live_state_name(c.state)) + " " + c.found_source + "|";
    out += std::string(live_state_name(again[0].state)) + "|";
    // Two hung mounts cost the bound once, not once each.
    out += elapsed < 2 * kBound ? "one bound" : "bound per mount";
    testing::spit(report, out);
    ::close(hung_h);  // releases the workers left behind
    ::close(hung_i);
    return 0;
  });
  if (code == 77) GTEST_SKIP() << "no private mount namespace here";
  if (code == 78) GTEST_SKIP() << "no FUSE device here";
  ASSERT_EQ(code, 0);
  EXPECT_EQ(testing::slurp(report),
            "mounted |not mounted |foreign scratch|foreign over|mounted |stale |unresponsive |unresponsive |mounted |"
            "unresponsive|one bound");
}

}  // namespace
}  // namespace quarvo
