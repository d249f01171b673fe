#include "quarvo/service/mount_all.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <thread>

namespace quarvo {
namespace {

using std::chrono::milliseconds;

std::vector<MountTarget> targets(int n) {
  std::vector<MountTarget> all;
  for (int i = 0; i < n; ++i) all.push_back({"v" + std::to_string(i), "/mnt/v" + std::to_string(i)});
  return all;
}

// Waits, within a bound, until `done` says yes; whether it did.
template <class Done>
bool eventually(Done done, milliseconds bound = milliseconds(3000)) {
  const auto until = std::chrono::steady_clock::now() + bound;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(milliseconds(2));
  }
  return true;
}

const OnMountResult kTellNothing = [](const std::string&, const Result<MountedVolume>&) { return true; };

TEST(MountEach, RunsUpToItsBoundAtOnceAndNoMore) {
  std::atomic<int> running{0};
  std::atomic<int> peak{0};
  const MountOne mount = [&](const MountTarget& t, const Cancel&) -> Result<MountedVolume> {
    const int now = ++running;
    for (int seen = peak; now > seen && !peak.compare_exchange_weak(seen, now);) {
    }
    // Each mount stays until the pool is full: a pool that runs one at a
    // time never fills, and each waits out its bound.
    (void)eventually([&] { return peak.load() >= 4; }, milliseconds(500));
    --running;
    return MountedVolume{t.name, t.path};
  };
  auto all = mount_each(targets(9), kMountAllWorkers, mount, kTellNothing, Cancel::never());
  ASSERT_TRUE(all) << all.error().message();
  EXPECT_EQ(all->size(), 9u);
  EXPECT_EQ(peak.load(), 4);
}

TEST(MountEach, TellsEachOutcomeOnceOnTheCallersThreadAndOneFailureStopsNoOther) {
  const MountOne mount = [](const MountTarget& t, const Cancel&) -> Result<MountedVolume> {
    if (t.name == "v2") return std::unexpected(QuarvoError::mount_failed(t.name, t.path, "its engine is down"));
    return MountedVolume{t.name, t.path};
  };
  std::map<std::string, int> told;
  bool elsewhere = false;
  const auto caller = std::this_thread::get_id();
  const OnMountResult tell = [&](const std::string& name, const Result<MountedVolume>& r) {
    ++told[name];
    elsewhere = elsewhere || std::this_thread::get_id() != caller;
    EXPECT_EQ(bool(r), name != "v2") << name;
    return true;
  };
  auto all = mount_each(targets(6), 3, mount, tell, Cancel::never());
  ASSERT_TRUE(all) << all.error().message();
  EXPECT_FALSE(elsewhere);
  EXPECT_EQ(told, (std::map<std::string, int>{{"v0", 1}, {"v1", 1}, {"v2", 1}, {"v3", 1}, {"v4", 1}, {"v5", 1}}));
  ASSERT_EQ(all->size(), 6u);
  for (std::size_t i = 0; i < all->size(); ++i) {
    EXPECT_EQ((*all)[i].name, "v" + std::to_string(i));  // in the order asked
    EXPECT_EQ(bool((*all)[i].result), i != 2);
  }
}

class SaysYes final : public Cancel {
 public:
  bool requested() const override { return yes.load(); }
  std::atomic<bool> yes{false};
};

// Stopping, by the caller's cancel or by a callback that returns false: the
// mounts under way hear it, the rest never start, the call is Interrupted.
class MountEachStops : public ::testing::TestWithParam<bool> {};

TEST_P(MountEachStops, EndsWhatRunsAndStartsNothingMore) {
  const bool by_cancel = GetParam();
  SaysYes cancel;
  std::atomic<int> started{0};
  std::atomic<int> heard_stop{0};
  const MountOne mount = [&](const MountTarget& t, const Cancel& stop) -> Result<MountedVolume> {
    if (++started == 1) return MountedVolume{t.name, t.path};  // the first ends at once
    if (!eventually([&] { return stop.requested(); })) return MountedVolume{t.name, t.path};
    ++heard_stop;
    return std::unexpected(QuarvoError::interrupted());
  };
  const OnMountResult tell = [&](const std::string&, const Result<MountedVolume>& r) {
    if (r && by_cancel) cancel.yes = true;
    return !(r && !by_cancel);
  };
  auto all = mount_each(targets(12), 2, mount, tell, cancel);
  ASSERT_FALSE(all);
  EXPECT_EQ(all.error().kind(), ErrorKind::Interrupted);
  EXPECT_LE(started.load(), 3);  // the first, the one beside it, at most one taken as the first ended
  EXPECT_EQ(heard_stop.load(), started.load() - 1);
}

INSTANTIATE_TEST_SUITE_P(ByCancelOrCallback, MountEachStops, ::testing::Bool());

}  // namespace
}  // namespace quarvo
