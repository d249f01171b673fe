#include "quarvo/service/lifecycle.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>
#include <sstream>

#include "quarvo/core/test_support.hpp"
#include "quarvo/core/time.hpp"
#include "quarvo/service/service.hpp"

namespace quarvo {
namespace {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;
using testing::ScopedEnv;
using testing::slurp;
using testing::spit;

std::string random_uuid() {
  std::random_device rd;
  std::ostringstream out;
  out << std::hex;
  for (int i = 0; i < 32; ++i) {
    if (i == 8 || i == 12 || i == 16 || i == 20) out << '-';
    out << (rd() & 0xF);
  }
  return out.str();
}

// What the backend's status prints, with the sessions given as JSON.
std::string status_json(const std::string& name, const std::string& uuid, const std::string& sessions = "") {
  return R"({"Setting": {"Name": ")" + name + R"(", "UUID": ")" + uuid +
         R"(", "Storage": "file", "Bucket": "/b/"}, "Sessions": [)" + sessions +
         R"(], "Stat": {"UsedSpace": 0, "UsedInodes": 0}})";
}

class LifecycleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = tmp_.path();
    env_.set("QUARVO_HOME", home().string());
    env_.set("QUARVO_STORAGE_BACKEND_BIN", QUARVO_FAKE_BACKEND);
    env_.set("FAKE_BACKEND_LOG", (root_ / "backend.log").string());
    for (const char* name : {"QUARVO_JUICEFS_BIN", "FAKE_BACKEND_FAIL", "FAKE_BACKEND_STDOUT"}) env_.unset(name);
    auto q = Quarvo::from_env();
    ASSERT_TRUE(q) << q.error().message();
    q_.emplace(std::move(*q));
  }
  void TearDown() override {
    for (const fs::path& dir : caches_) fs::remove_all(dir);
  }

  fs::path home() const { return root_ / "home"; }
  QuarvoHome quarvo_home() const { return QuarvoHome(home()); }
  Registry registry() const { return Registry(quarvo_home()); }

  std::vector<Args> calls(std::string_view subcommand = {}) const {
    return testing::backend_calls(root_ / "backend.log", subcommand);
  }

  // A block cache of the volume with this UUID where the backend keeps it.
  fs::path make_cache(const std::string& uuid) {
    auto base = default_cache_base();
    EXPECT_TRUE(base);
    const fs::path dir = *base / uuid;
    fs::create_directories(dir / "raw" / "chunks");
    spit(dir / "raw" / "chunks" / "block", "cached");
    caches_.push_back(dir);
    return dir;
  }

  void make_logs(const std::string& name) {
    spit(quarvo_home().volume_log_path(name), "log");
    spit(rotated_log_path(quarvo_home(), name), "old log");
  }

  testing::TempDir tmp_;
  fs::path root_;
  ScopedEnv env_;
  std::optional<Quarvo> q_;
  std::vector<fs::path> caches_;
};

struct SharedCase {
  const char* label;
  bool destroy;
  std::string sessions;   // JSON of the status's sessions
  const char* fail = "";  // FAKE_BACKEND_FAIL
  std::string error;      // "" when the removal succeeds
  size_t destroys;        // destroy commands run
};

TEST_F(LifecycleTest, SharedDataStaysUnlessDestroyedAndNeverUnderAnotherMount) {
  const std::string uuid = random_uuid();
  const std::string live = R"({"HostName": "elsewhere", "MountPoint": "/mnt/team", "ProcessID": 7, "Expire": ")" +
                           format_rfc3339(std::chrono::system_clock::now() + std::chrono::minutes(1)) + "\"}";
  const std::string expired =
      R"({"HostName": "elsewhere", "MountPoint": "/mnt/team", "Expire": "2000-01-01T00:00:00Z"})";
  const SharedCase cases[] = {
      {"kept, engine away", false, live, "status:1", "", 0},
      {"destroy while mounted elsewhere", true, live, "", "volume \"team\" is mounted at elsewhere:/mnt/team", 0},
      {"destroy refused by the backend", true, "", "destroy:1",
       "Quarvo storage backend command failed (exit status: 1)", 1},
      {"destroy over an expired session", true, expired, "", "", 1},
  };
  for (const SharedCase& c : cases) {
    SCOPED_TRACE(c.label);
    ScopedEnv env;
    env.set("FAKE_BACKEND_STDOUT", status_json("team", uuid, c.sessions));
    if (*c.fail) env.set("FAKE_BACKEND_FAIL", c.fail);
    fs::remove(root_ / "backend.log");
    ASSERT_TRUE(q_->ensure_volume({.name = "team", .metadata = "redis://db/1", .store = "s3://bucket"}));
    auto removed = q_->remove("team", false, c.destroy);
    EXPECT_EQ(removed ? "" : removed.error().message(), c.error);
    EXPECT_EQ(registry().exists("team").value(), !c.error.empty());
    const auto destroys = calls("destroy");
    ASSERT_EQ(destroys.size(), c.destroys);
    if (c.destroys) {
      EXPECT_EQ(destroys[0], (Args{"destroy", "redis://db/1", uuid, "--yes"}));
    }
  }
}

TEST_F(LifecycleTest, FinishingRemovalsRestoresWhatIsStillRecordedAndDeletesTheRest) {
  const QuarvoHome h = quarvo_home();
  ASSERT_TRUE(q_->init({.name = "kept", .dev = true}));
  fs::rename(h.dev_dir() / "kept", h.dev_dir() / ".removing~kept");
  const fs::path cache = make_cache(random_uuid());
  fs::create_directories(h.dev_dir() / ".removing~gone" / "objects");
  spit(h.dev_dir() / ".removing~gone" / ".quarvo-cache-dirs", cache.string() + '\0');
  make_logs("gone");
  fs::create_directory(h.dev_dir() / ".removing~not a name");

  auto finished = finish_removals(registry());
  ASSERT_TRUE(finished) << finished.error().message();
  EXPECT_EQ(*finished, (std::vector<std::string>{"gone", "kept"}));
  EXPECT_TRUE(fs::is_directory(h.dev_dir() / "kept" / "objects"));
  EXPECT_FALSE(fs::exists(h.dev_dir() / ".removing~gone"));
  EXPECT_FALSE(fs::exists(cache));
  EXPECT_TRUE(fs::is_empty(h.logs_dir()));
  EXPECT_TRUE(fs::exists(h.dev_dir() / ".removing~not a name"));
}

// Mounting rotates first (see mounting.cpp); the rule itself is tested here.
TEST_F(LifecycleTest, LogsRotateOverTheLimit) {
  const fs::path log = quarvo_home().volume_log_path("data");
  fs::create_directories(log.parent_path());
  spit(log, std::string(kLogRotateBytes, 'x'));
  ASSERT_TRUE(rotate_volume_log(quarvo_home(), "data"));
  EXPECT_EQ(fs::file_size(log), kLogRotateBytes);  // at the limit: kept
  spit(log, std::string(kLogRotateBytes + 1, 'y'));
  ASSERT_TRUE(rotate_volume_log(quarvo_home(), "data"));
  EXPECT_FALSE(fs::exists(log));
  EXPECT_EQ(fs::file_size(rotated_log_path(quarvo_home(), "data")), kLogRotateBytes + 1);
}

// The real backend, so that "starts empty" means a new file system: the
// backend keeps a formatted volume's UUID for as long as its metadata lives.
std::string real_backend() {
  const fs::path program = fs::path(QUARVO_PYTHON).parent_path() / "juicefs";
  return fs::exists(program) ? program.string() : "";
}

std::string_view kill_at;  // the step the child process dies at

TEST_F(LifecycleTest, RemovalKilledAtEachStepLeavesTheVolumeOrNoRecord) {
  const std::string program = real_backend();
  if (program.empty()) GTEST_SKIP() << "no juicefs client beside " << QUARVO_PYTHON;
  env_.set("QUARVO_STORAGE_BACKEND_BIN", program);
  auto q = Quarvo::from_env();
  ASSERT_TRUE(q) << q.error().message();
  const QuarvoHome h = quarvo_home();
  const DevPaths dev = dev_paths(h, "vol");
  const fs::path tombstone = h.dev_dir() / ".removing~vol";
  const auto uuid = [&] {
    auto status = JuiceFs(program).status("sqlite3://" + dev.metadata.string());
    EXPECT_TRUE(status) << status.error().message();
    return status ? status->uuid : "";
  };

  for (std::string_view step : {"checked", "moved", "unlinked", "cleaned"}) {
    SCOPED_TRACE(step);
    ASSERT_TRUE(q->init({.name = "vol", .dev = true}));
    const std::string first = uuid();
    const fs::path cache = make_cache(first);
    spit(h.volume_log_path("vol"), "log");

    kill_at = step;
    const pid_t child = ::fork();
    if (child == 0) {
      removal_step_hook = [](std::string_view reached) {
        if (reached == kill_at) ::raise(SIGKILL);
      };
      _exit(q->remove("vol", false, false) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);

    // Never a record without its data: in place, or in the tombstone.
    const bool recorded = fs::exists(h.volume_path("vol"));
    EXPECT_EQ(recorded, step == "checked" || step == "moved");
    // The next removal (or prune) completes the work.
    if (recorded) {
      EXPECT_TRUE(fs::exists(dev.metadata) || fs::exists(tombstone / "metadata.db"));
      auto removed = q->remove("vol", false, false);
      ASSERT_TRUE(removed) << removed.error().message();
    } else {
      ASSERT_TRUE(finish_removals(registry()));
    }
    EXPECT_FALSE(fs::exists(h.volume_path("vol")));
    EXPECT_TRUE(fs::is_empty(h.dev_dir()));
    EXPECT_TRUE(fs::is_empty(h.logs_dir()));
    EXPECT_FALSE(fs::exists(cache));

    ASSERT_TRUE(q->init({.name = "vol", .dev = true}));
    EXPECT_NE(uuid(), first);
    ASSERT_TRUE(q->remove("vol", false, false));
  }
}

}  // namespace
}  // namespace quarvo
