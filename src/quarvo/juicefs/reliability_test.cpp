// QUARVO_STRESS=1 (set by `make stress`) raises the kill count from 10 to 500.
#include <fcntl.h>
#include <signal.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <map>
#include <random>

#include "quarvo/core/file_io.hpp"
#include "quarvo/core/registry.hpp"
#include "quarvo/core/test_support.hpp"

namespace quarvo {
namespace {

// Every field carries the generation; the long bucket makes a torn write show.
Volume generation(const std::string& name, unsigned gen) {
  const std::string g = std::to_string(gen);
  const auto mp = gen % 3 ? std::optional<std::filesystem::path>("/mnt/" + g) : std::nullopt;
  return {name, "juicefs", "sqlite3:///meta/" + g, "file", std::string(16 * 1024, 'b') + g, gen % 2 == 1, mp, g, g};
}

TEST(CrashSafety, RecordsSurviveSigkillAtAnyMoment) {
  testing::TempDir dir;
  const Registry registry(QuarvoHome(dir.path() / "home"));
  const std::vector<std::string> names = {"a", "b"};
  std::map<std::string, unsigned> seen;
  for (const std::string& name : names) ASSERT_TRUE(registry.write(generation(name, seen[name] = 0)));
  std::mt19937 rng(20261205);
  const char* stress = std::getenv("QUARVO_STRESS");
  const int kills = stress != nullptr && std::string(stress) == "1" ? 500 : 10;
  for (int k = 0; k < kills; ++k) {
    SCOPED_TRACE("kill " + std::to_string(k));
    const unsigned from = std::max(seen["a"], seen["b"]) + 1;
    // The child reports its first finished write through this pipe and the
    // kill timer starts only then, so every kill lands after a complete
    // record exists, however slow the build makes fork and the first write.
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    UniqueFd ready_read(ends[0]), ready_write(ends[1]);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ready_read.reset();
      for (unsigned gen = from;; ++gen) {
        for (const std::string& name : names) {
          auto lock = registry.lock(testing::no_limits());
          if (!lock || !registry.write(generation(name, gen))) ::_exit(2);
          if (ready_write.get() >= 0 && write_all(ready_write.get(), "w") != 0) ::_exit(3);
          ready_write.reset();
        }
      }
    }
    ready_write.reset();
    char report = 0;
    ssize_t got = 0;
    do got = ::read(ready_read.get(), &report, 1);
    while (got < 0 && errno == EINTR);
    ASSERT_EQ(got, 1) << "the writer died before its first write: " << testing::wait_exit_code(pid);
    ::usleep(static_cast<useconds_t>(rng() % 20000));
    ASSERT_EQ(::kill(pid, SIGKILL), 0);
    ASSERT_EQ(testing::wait_exit_code(pid), -1);       // killed, not exited
    ASSERT_TRUE(registry.lock(testing::no_limits()));  // the dead writer's lock went with it
    for (const std::string& name : names) {
      auto volume = registry.read(name);
      ASSERT_TRUE(volume) << volume.error().message();
      const unsigned gen = static_cast<unsigned>(std::stoul(volume->updated_at));
      EXPECT_EQ(*volume, generation(name, gen));
      EXPECT_GE(gen, seen[name]);
      seen[name] = gen;
    }
    ASSERT_EQ(registry.list()->size(), names.size());
  }
  EXPECT_GT(seen["a"], 0u);
}

}  // namespace
}  // namespace quarvo
