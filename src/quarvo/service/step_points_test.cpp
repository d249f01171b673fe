#include "quarvo/service/step_points.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <set>

#include "quarvo/core/mount_table.hpp"
#include "quarvo/core/processes.hpp"
#include "quarvo/core/test_support.hpp"
#include "quarvo/service/intents.hpp"
#include "quarvo/service/live_state.hpp"
#include "quarvo/service/mount_checks.hpp"
#include "quarvo/service/removal.hpp"
#include "quarvo/service/service.hpp"

namespace quarvo {
namespace {

namespace fs = std::filesystem;

std::string_view kill_at;  // the point the child process dies at

// The volume's name, this process's own: tests run side by side on one
// machine, and the kernel's mount table names a mount by its volume alone.
const std::string kVol = "kill" + std::to_string(::getpid());

// A home of its own with the real backend, volume kVol and what is known of it.
class RealHome : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto program = testing::real_juicefs();
    if (!program) GTEST_SKIP() << "no juicefs client beside " << QUARVO_PYTHON;
    env_.set("QUARVO_HOME", home_.root().string());
    env_.set("QUARVO_STORAGE_BACKEND_BIN", program->string());
    env_.set("QUARVO_COMMAND_TIMEOUT", {});
    q_.emplace(Quarvo::from_env().value());
    for (const auto& e : fs::directory_iterator("/tmp")) {
      if (e.path().filename().string().starts_with("fuse_fd_comm.")) comm_before_.insert(e.path());
    }
  }
  void TearDown() override {
    if (!q_) return;
    (void)q_->remove(kVol, true, false, Cancel::never());
    if (auto table = read_mount_table(); table && mount_at(*table, mountpoint_)) {
      ::umount2(mountpoint_.c_str(), MNT_DETACH);
    }
  }

  // The processes running the backend's mount of the volume, starting or serving.
  std::vector<pid_t> daemons() const {
    const std::string mounting = " mount sqlite3://" + home_.dev_paths(kVol).metadata.string() + " ";
    std::vector<pid_t> found;
    for (const pid_t pid : process_ids()) {
      auto line = command_line(pid);
      if (line && (" " + *line + " ").find(mounting) != std::string::npos && !process_gone(pid)) found.push_back(pid);
    }
    std::sort(found.begin(), found.end());
    seen_.insert(found.begin(), found.end());
    return found;
  }

  void expect_invariants() const {
    auto record = Registry(home_).read(kVol);
    const std::optional<fs::path> recorded = record ? record->mountpoint : std::nullopt;
    EXPECT_FALSE(record && record->intent) << "an intent is left";
    // Every mount of the volume is the one its record names; that one answers.
    const std::vector<MountEntry> table = read_mount_table().value();
    for (const MountEntry& entry : table) {
      if (entry.source == volume_mount_source(kVol)) {
        EXPECT_EQ(recorded, entry.mountpoint);
      }
    }
    if (recorded) {
      EXPECT_EQ(state_at(kVol, *recorded, testing::no_limits()).state, LiveState::Mounted);
    }
    // No daemon runs but those the record names.
    for (const pid_t pid : daemons()) {
      EXPECT_TRUE(recorded && (record->daemon_pid == pid || record->supervisor_pid == pid))
          << "daemon " << pid << " (parent " << parent_pid(pid).value_or(0) << "): " << command_line(pid).value_or("")
          << " state " << testing::process_state(pid);
    }
    // No socket file of a daemon of it that is gone (one of the same name
    // there before the test is another's: /tmp keeps those of any dead
    // daemon, and pids come round again).
    for (const pid_t pid : seen_) {
      const fs::path file = "/tmp/fuse_fd_comm." + std::to_string(pid);
      EXPECT_FALSE(process_gone(pid) && fs::exists(file) && !comm_before_.contains(file)) << file;
    }
  }

  [[nodiscard]] Result<void> call(std::string_view which) const {
    const auto done = [](auto result) -> Result<void> {
      if (!result) return std::unexpected(std::move(result).error());
      return {};
    };
    if (which == "mount") return done(q_->mount({.name = kVol, .path = mountpoint_}, Cancel::never()));
    if (which == "unmount") return done(q_->unmount(kVol, false, Cancel::never()));
    if (which == "init") return done(q_->init({.name = kVol, .dev = true}, Cancel::never()));
    if (which == "flush") {
      auto flushed = q_->flush(kVol, Cancel::never());
      // An interrupted unmount it finished leaves nothing to flush.
      if (!flushed && flushed.error().kind() == ErrorKind::VolumeNotMounted) return {};
      return done(std::move(flushed));
    }
    return done(q_->remove(kVol, true, false, Cancel::never()));  // forced: a mount it adopts goes too
  }

  testing::TempDir tmp_;
  QuarvoHome home_{tmp_.path() / "home"};
  fs::path mountpoint_ = tmp_.path() / "mnt";
  testing::ScopedEnv env_;
  std::optional<Quarvo> q_;
  mutable std::set<pid_t> seen_;    // every daemon of the volume seen
  std::set<fs::path> comm_before_;  // the /tmp/fuse_fd_comm.PID files there before
};

// The call that comes next after a kill at `point`: each kind of call meets
// each kind of step somewhere.
std::string_view next_call(std::string_view point) {
  if (point == "mount:checked" || point == "unmount:detached") return "rm";
  if (point == "unmount:intent") return "flush";
  return point.substr(0, point.find(':'));
}

// Every call of mount, unmount, init and rm killed at each of its points:
// status shows what was left, the next call on the volume finishes or undoes
// it, and nothing is left that no record knows.
class KillPoints : public RealHome, public ::testing::WithParamInterface<std::string_view> {};

TEST_P(KillPoints, TheNextCallFinishesOrUndoesTheKilledStep) {
  const std::string_view point = GetParam();
  const std::string which(point.substr(0, point.find(':')));
  const std::string_view next = next_call(point);
  if (which != "init") {
    ASSERT_TRUE(q_->init({.name = kVol, .dev = true}, Cancel::never()));
  }
  if (which == "unmount") {
    ASSERT_TRUE(q_->mount({.name = kVol, .path = mountpoint_}, Cancel::never()));
    (void)daemons();
  }

  kill_at = point;
  const pid_t child = ::fork();
  if (child == 0) {
    step_hook = [](std::string_view reached) {
      if (reached == kill_at) ::raise(SIGKILL);
    };
    _exit(call(which) ? 0 : 1);
  }
  ASSERT_EQ(testing::wait_exit_code(child), -1);  // killed there
  const std::vector<pid_t> left = daemons();
  // What a killed init formatted, to tell it from what the next one does.
  const auto uuid = [&]() -> std::string {
    if (!fs::exists(home_.dev_paths(kVol).metadata)) return "";
    auto status = JuiceFs(*testing::real_juicefs())
                      .status("sqlite3://" + home_.dev_paths(kVol).metadata.string(), testing::no_limits());
    return status ? status->uuid : "";
  };
  const std::string formatted = which == "init" ? uuid() : "";

  // Status shows the step left mid-way, and changes nothing.
  auto states = volume_states(Registry(home_), std::nullopt, kLiveStateBound).value();
  if (which != "rm") {
    ASSERT_EQ(states.size(), 1u);
    EXPECT_EQ(states[0].state_word(), "interrupted");
    EXPECT_TRUE(Registry(home_).read(kVol)->intent);
  }
  // The next call settles it, then does its own work.
  if (which == "rm") {
    ASSERT_TRUE(finish_removals(Registry(home_), testing::no_limits()));
  }
  if (Registry(home_).exists(kVol).value()) {
    const auto done = call(next);
    EXPECT_TRUE(done) << done.error().message();
  }
  expect_invariants();
  if (next == "mount") {
    EXPECT_EQ(Registry(home_).read(kVol)->mountpoint, mountpoint_);
  }
  if (point == "mount:ready") {
    EXPECT_EQ(daemons(), left) << "the mount that answered is kept";
  }
  if (!formatted.empty()) {
    EXPECT_NE(uuid(), formatted) << "a half-made volume is made again from nothing";
  }
  // And removal always works.
  if (Registry(home_).exists(kVol).value()) {
    const auto removed = q_->remove(kVol, true, false, Cancel::never());
    EXPECT_TRUE(removed) << removed.error().message();
  }
  expect_invariants();
  EXPECT_FALSE(Registry(home_).exists(kVol).value());
}

INSTANTIATE_TEST_SUITE_P(EveryPoint, KillPoints, ::testing::ValuesIn(kStepPoints),
                         [](const ::testing::TestParamInfo<std::string_view>& info) {
                           std::string name(info.param);
                           std::replace(name.begin(), name.end(), ':', '_');
                           return name;
                         });

// A mount holds no lock while the backend mounts: another volume is made
// meanwhile, while this one is refused naming the process and shows as
// mounting.
TEST_F(RealHome, AMountUnderWayHoldsNoLockAndKeepsOthersOffItsVolume) {
  ASSERT_TRUE(q_->init({.name = kVol, .dev = true}, Cancel::never()));
  kill_at = "mount:ready";
  const pid_t child = ::fork();
  if (child == 0) {
    step_hook = [](std::string_view reached) {
      if (reached == kill_at) ::raise(SIGSTOP);
    };
    _exit(call("mount") ? 0 : 1);
  }
  // Let go of whatever happens below.
  const std::unique_ptr<const pid_t, void (*)(const pid_t*)> resumed(&child,
                                                                     [](const pid_t* p) { ::kill(*p, SIGCONT); });
  for (int i = 0; i < 2000 && testing::process_state(child) != 'T'; ++i) ::usleep(5000);
  ASSERT_EQ(testing::process_state(child), 'T');
  env_.set("QUARVO_COMMAND_TIMEOUT", "2");
  const Quarvo bounded = Quarvo::from_env().value();
  const auto other = bounded.init({.name = "other", .dev = true}, Cancel::never());
  EXPECT_TRUE(other) << other.error().message();
  const auto busy = bounded.mount({.name = kVol, .path = mountpoint_}, Cancel::never());
  ASSERT_FALSE(busy);
  EXPECT_EQ(busy.error().kind(), ErrorKind::VolumeBusy);
  EXPECT_NE(busy.error().message().find("process " + std::to_string(child) + " "), std::string::npos);
  EXPECT_EQ(volume_states(Registry(home_), kVol, kLiveStateBound).value()[0].state_word(), "mounting");
  ::kill(child, SIGCONT);
  EXPECT_EQ(testing::wait_exit_code(child), 0);
  expect_invariants();
  EXPECT_EQ(Registry(home_).read(kVol)->mountpoint, mountpoint_);
  (void)bounded.remove("other", true, false, Cancel::never());
}

// A step whose owner runs is a call at work: another call on the volume is
// refused naming it, status shows it, and nothing is settled meanwhile.
TEST(Intents, AStepUnderWayRefusesOtherCalls) {
  testing::TempDir tmp;
  testing::FakeBackend fake(tmp.path());
  const Quarvo q = Quarvo::from_env().value();
  ASSERT_TRUE(q.init({.name = "vol", .dev = true}, Cancel::never()));
  Registry registry(QuarvoHome(tmp.path() / "home"));
  Volume volume = registry.read("vol").value();
  volume.intent = begin_intent(kMountStep, tmp.path() / "mnt");
  ASSERT_TRUE(registry.write(volume));
  const std::string pid = std::to_string(::getpid());
  // "volume \"vol\" is busy: process PID is at its mount at ...", or "done".
  const auto refusal = [](auto result) { return result ? std::string("done") : result.error().message(); };
  for (const std::string& refused :
       {refusal(q.mount({.name = "vol", .path = tmp.path() / "elsewhere"}, Cancel::never())),
        refusal(q.unmount("vol", false, Cancel::never())), refusal(q.remove("vol", true, false, Cancel::never())),
        refusal(q.ensure_volume({.name = "vol", .dev = true}, Cancel::never()))}) {
    EXPECT_NE(refused.find("is busy: process " + pid + " is at its mount"), std::string::npos) << refused;
  }
  EXPECT_EQ(volume_states(registry, "vol", kLiveStateBound).value()[0].state_word(), "mounting");
  EXPECT_EQ(registry.read("vol").value(), volume);
  // Its owner gone (a pid's start that never was), the step was interrupted.
  volume.intent->owner = pid + ":1";
  ASSERT_TRUE(registry.write(volume));
  EXPECT_EQ(volume_states(registry, "vol", kLiveStateBound).value()[0].state_word(), "interrupted");
  // A creation that fails leaves nothing of the name.
  testing::ScopedEnv env;
  env.set("FAKE_BACKEND_FAIL", "format:1");
  EXPECT_FALSE(q.init({.name = "failed", .dev = true}, Cancel::never()));
  EXPECT_FALSE(registry.exists("failed").value());
  EXPECT_FALSE(fs::exists(tmp.path() / "home" / "dev" / "failed"));
  auto settled = q.settle_interrupted(Cancel::never()).value();
  ASSERT_EQ(settled.size(), 1u);
  EXPECT_EQ(settled[0].step, "mount");
  EXPECT_FALSE(registry.read("vol").value().intent);
}

}  // namespace
}  // namespace quarvo
