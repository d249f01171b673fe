// Reliability under faults: a record writer killed at random moments, and a
// backend that leaves a grandchild behind. QUARVO_STRESS=1 (set by `make stress`) raises the kill count.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <string>

#include "quarvo/core/registry.hpp"
#include "quarvo/core/test_support.hpp"
#include "quarvo/juicefs/command.hpp"

namespace quarvo {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

bool stress() {
  const char* v = std::getenv("QUARVO_STRESS");
  return v != nullptr && *v != '\0' && std::string(v) != "0";
}

size_t open_descriptors() {
  size_t n = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++n;
  return n - 1;  // the iterator's own descriptor
}

// True when this process has no child at all, running or zombie.
bool no_children() {
  int status = 0;
  return ::waitpid(-1, &status, WNOHANG) == -1 && errno == ECHILD;
}

// Generation `gen` of record `name`: every field carries the generation, and
// the bucket is long enough that a torn write could not go unnoticed.
Volume generation(const std::string& name, unsigned gen) {
  const std::string g = std::to_string(gen);
  return Volume{.name = name,
                .backend = "juicefs",
                .metadata_url = "sqlite3:///meta/" + g,
                .storage = "file",
                .bucket = std::string(16 * 1024, 'b') + g,
                .dev = gen % 2 == 1,
                .mountpoint = gen % 3 == 0 ? std::optional<fs::path>() : fs::path("/mnt/" + g),
                .created_at = "2026-01-01T00:00:00Z",
                .updated_at = g};
}

// A child that rewrites every record in a loop, under the registry lock like
// the service does, until it is killed; it never returns.
[[noreturn]] void rewrite_forever(const Registry& registry, const std::vector<std::string>& names, unsigned from) {
  for (unsigned gen = from;; ++gen) {
    for (const std::string& name : names) {
      auto lock = registry.lock();
      if (!lock || !registry.write(generation(name, gen))) ::_exit(2);
    }
  }
}

TEST(CrashSafety, RecordsSurviveSigkillAtAnyMoment) {
  TempDir dir;
  const Registry registry(QuarvoHome(dir.path() / "home"));
  const std::vector<std::string> names = {"a", "b.c", "d-e"};
  std::map<std::string, unsigned> seen;
  for (const std::string& name : names) {
    ASSERT_TRUE(registry.write(generation(name, 0)));
    seen[name] = 0;
  }
  const int kills = stress() ? 500 : 10;
  std::mt19937 rng(20261205);
  // A record write (two fsyncs) takes a few milliseconds; the delays span several.
  std::uniform_int_distribution<int> delay_us(0, 20000);
  int tmp_seen = 0;
  for (int k = 0; k < kills; ++k) {
    SCOPED_TRACE("kill " + std::to_string(k));
    unsigned from = 0;
    for (const auto& [name, gen] : seen) from = std::max(from, gen + 1);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) rewrite_forever(registry, names, from);
    ::usleep(static_cast<useconds_t>(delay_us(rng)));
    ASSERT_EQ(::kill(pid, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the writer stopped by itself: " << status;

    // The dead writer's lock is gone with it.
    ASSERT_TRUE(registry.lock());
    for (const std::string& name : names) {
      auto volume = registry.read(name);
      ASSERT_TRUE(volume) << volume.error().message();
      const unsigned gen = static_cast<unsigned>(std::stoul(volume->updated_at));
      EXPECT_EQ(*volume, generation(name, gen)) << "record " << name << " is not one whole generation";
      EXPECT_GE(gen, seen[name]) << "record " << name << " went back in time";
      seen[name] = gen;
      tmp_seen += fs::exists(registry.home().volumes_dir() / (name + ".toml.tmp"));
    }
    auto listed = registry.list();
    ASSERT_TRUE(listed) << listed.error().message();
    ASSERT_EQ(listed->size(), names.size());
    for (size_t i = 0; i < names.size(); ++i) EXPECT_EQ((*listed)[i].name, names[i]);
  }
  EXPECT_GT(seen["a"], 0u);  // the writer made progress, so the checks saw rewrites
  if (stress()) {
    EXPECT_GT(tmp_seen, 0);  // some kill surely landed between open and rename
  }
}

// A grandchild that keeps the backend's standard output open holds `run`
// until it exits too; then the backend's own status is what is reported.
TEST(BackendFaults, GrandchildHoldingStdoutIsWaitedFor) {
  TempDir dir;
  const fs::path marker = dir.path() / "grandchild-done";
  const std::string body =
      "(sleep 1; echo late; touch '" + marker.string() + "') &\n"
      "echo early; exit 4";
  const size_t fds_before = open_descriptors();
  auto out = CommandSpec(testing::script(dir.path() / "backend", body)).run();
  ASSERT_FALSE(out);
  EXPECT_EQ(out.error().message(), "Quarvo storage backend command failed (exit status: 4)");
  // The grandchild's last words arrived, so the call outlasted it.
  EXPECT_EQ(out.error().command().stdout_text, "early\nlate\n");
  EXPECT_TRUE(fs::exists(marker));
  EXPECT_EQ(open_descriptors(), fds_before);
  EXPECT_TRUE(no_children());
}

}  // namespace
}  // namespace quarvo
