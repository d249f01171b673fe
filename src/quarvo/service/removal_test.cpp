#include "quarvo/service/removal.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include "quarvo/core/test_support.hpp"
#include "quarvo/service/service.hpp"
#include "quarvo/service/step_points.hpp"

namespace quarvo {
namespace {

namespace fs = std::filesystem;

class RemovalTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (const fs::path& dir : caches_) fs::remove_all(dir);
  }

  QuarvoHome home() const { return QuarvoHome(root_ / "home"); }
  Registry registry() const { return Registry(home()); }

  testing::TempDir tmp_;
  const fs::path root_ = tmp_.path();
  testing::FakeBackend fake_{root_};
  Quarvo q_ = Quarvo::from_env().value();
  std::vector<fs::path> caches_;
};

// A shared volume's data stays on its engine unless destroyed, and the
// record goes only with it; a session past its expiry is no mount.
TEST_F(RemovalTest, SharedDataStaysUnlessDestroyed) {
  const std::string uuid = testing::slurp("/proc/sys/kernel/random/uuid").substr(0, 36);
  const std::string expired =
      R"({"HostName": "elsewhere", "MountPoint": "/mnt/team", "Expire": "2000-01-01T00:00:00Z"})";
  const struct {
    const char* label;
    std::string sessions;  // JSON of the status's sessions
    const char* fail;      // FAKE_BACKEND_FAIL
    bool destroy, removed;
    size_t destroys;  // destroy commands run
  } cases[] = {
      {"kept, engine away", "", "status:1", false, true, 0},
      {"destroy refused by the backend", "", "destroy:1", true, false, 1},
      {"destroy over an expired session", expired, "", true, true, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    testing::ScopedEnv env;
    env.set("FAKE_BACKEND_STDOUT", R"({"Setting": {"Name": "team", "UUID": ")" + uuid +
                                       R"(", "Storage": "s3", "Bucket": "s3://bucket"}, "Sessions": [)" + c.sessions +
                                       "]}");
    env.set("FAKE_BACKEND_FAIL", c.fail);
    fs::remove(root_ / "backend.log");
    ASSERT_TRUE(
        q_.ensure_volume({.name = "team", .metadata = "redis://db/1", .store = "s3://bucket"}, Cancel::never()));
    auto removed = q_.remove("team", false, c.destroy, Cancel::never());
    EXPECT_EQ(removed.has_value(), c.removed);
    EXPECT_EQ(registry().exists("team").value(), !c.removed);
    EXPECT_EQ(fake_.calls("destroy"), std::vector(c.destroys, "destroy redis://db/1 " + uuid + " --yes --no-agent"));
  }
}

std::string_view kill_at;  // the step the child process dies at

// With the real backend, so that "starts empty" means a new file system: the
// backend keeps a formatted volume's UUID for as long as its metadata lives.
TEST_F(RemovalTest, RemovalKilledAtEachStepLeavesTheVolumeOrNoRecord) {
  const auto real = testing::real_juicefs();
  if (!real) GTEST_SKIP() << "no juicefs client beside " << QUARVO_PYTHON;
  const fs::path& program = *real;
  testing::ScopedEnv env;
  env.set("QUARVO_STORAGE_BACKEND_BIN", program.string());
  const Quarvo q = Quarvo::from_env().value();
  const QuarvoHome h = home();
  const DevPaths dev = h.dev_paths("vol");
  const auto uuid = [&] {
    return JuiceFs(program).status("sqlite3://" + dev.metadata.string(), testing::no_limits()).value().uuid;
  };
  // A tombstone of no valid name is no removal of ours: it is left alone.
  const fs::path foreign = h.dev_dir() / ".removing~not a name";
  fs::create_directories(foreign);
  for (std::string_view step : {"checked", "moved", "unlinked", "cleaned"}) {
    SCOPED_TRACE(step);
    ASSERT_TRUE(q.init({.name = "vol", .dev = true}, Cancel::never()));
    const std::string first = uuid();
    // A block cache of the volume where the backend keeps it.
    const fs::path cache = caches_.emplace_back(h.cache_dir() / first);
    fs::create_directories(cache / "raw");
    testing::spit(cache / "raw" / "block", "cached");
    testing::spit(h.volume_log_path("vol"), "log");
    kill_at = step;
    const pid_t child = ::fork();
    if (child == 0) {
      step_hook = [](std::string_view reached) {
        if (reached == "rm:" + std::string(kill_at)) ::raise(SIGKILL);
      };
      _exit(q.remove("vol", false, false, Cancel::never()) ? 0 : 1);
    }
    ASSERT_EQ(testing::wait_exit_code(child), -1);  // killed
    // Never a record without its data: in place, or in the tombstone.
    const bool recorded = fs::exists(h.volume_path("vol"));
    EXPECT_EQ(recorded, step == "checked" || step == "moved");
    bool tombstone_holds_it = false;
    for (const auto& e : fs::directory_iterator(h.dev_dir())) {
      const std::string file = e.path().filename().string();
      tombstone_holds_it |= file.starts_with(".removing~vol~") && fs::exists(e.path() / "metadata.db");
    }
    EXPECT_TRUE(!recorded || fs::exists(dev.metadata) || tombstone_holds_it);
    // The next removal (or prune) completes the work; after "unlinked", the
    // name is made again first: its tombstone never meets the new volume.
    if (step == "unlinked") {
      ASSERT_TRUE(q.init({.name = "vol", .dev = true}, Cancel::never()));
    }
    ASSERT_TRUE(recorded || step == "unlinked" ? q.remove("vol", false, false, Cancel::never()).has_value()
                                               : finish_removals(registry(), testing::no_limits()).has_value());
    EXPECT_FALSE(fs::exists(h.volume_path("vol")));
    EXPECT_EQ(std::distance(fs::directory_iterator(h.dev_dir()), fs::directory_iterator()), 1);  // `foreign`
    EXPECT_TRUE(fs::is_empty(h.logs_dir()));
    EXPECT_FALSE(fs::exists(cache));
    EXPECT_TRUE(fs::exists(foreign));
    ASSERT_TRUE(q.init({.name = "vol", .dev = true}, Cancel::never()));
    EXPECT_NE(uuid(), first);
    ASSERT_TRUE(q.remove("vol", false, false, Cancel::never()));
  }
}

// The real backend retries an engine that does not answer for about 70 s: a
// removal keeps to its one deadline across unmounting, the backend's status
// and its destroy, and a cancel ends it at once. Destroying needs the
// engine's answer, so the record stays; a removal that keeps the data goes on
// without it, unless the caller asked to stop.
TEST_F(RemovalTest, AnEngineThatDoesNotAnswerHoldsARemovalOnlyUntilItsDeadline) {
  const auto program = testing::real_juicefs();
  if (!program) GTEST_SKIP() << "no juicefs client beside " << QUARVO_PYTHON;
  const struct {
    const char* timeout;  // QUARVO_COMMAND_TIMEOUT, or none
    bool destroy, cancelled, removed;
    const char* says;  // the error's message; empty: removed
  } cases[] = {
      {"0.5", true, false, false, "juicefs status timed out after 0.5 s"},
      {nullptr, true, true, false, "interrupted"},
      {"0.5", false, false, true, ""},
      {nullptr, false, true, false, "interrupted"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.timeout ? c.timeout : "no bound") + (c.destroy ? ", destroy" : ""));
    testing::ScopedEnv env;
    env.set("QUARVO_STORAGE_BACKEND_BIN", program->string());
    env.set("QUARVO_COMMAND_TIMEOUT", c.timeout ? std::optional<std::string>(c.timeout) : std::nullopt);
    const std::string now = "2026-01-01T00:00:00Z";
    ASSERT_TRUE(registry().write(
        {"team", "juicefs", testing::kUnreachableEngine, "file", (root_ / "objects/").string(), false, {}, now, now}));
    const testing::CancelAfter cancel(std::chrono::milliseconds(300));
    const auto start = std::chrono::steady_clock::now();
    auto removed = Quarvo::from_env().value().remove(
        "team", false, c.destroy, c.cancelled ? static_cast<const Cancel&>(cancel) : Cancel::never());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
    EXPECT_EQ(removed ? "" : removed.error().message(), c.says);
    EXPECT_EQ(registry().exists("team").value(), !c.removed);
  }
}

}  // namespace
}  // namespace quarvo
