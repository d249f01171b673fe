#include "quarvo/service/live_state.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "quarvo/core/mount_table.hpp"
#include "quarvo/core/syscalls.hpp"
#include "quarvo/service/intents.hpp"

namespace quarvo {
namespace fs = std::filesystem;
namespace {

// More workers than this would only queue on two cores; each one that a
// hung mount holds is replaced by none, so this is also how many hung
// mounts one call can wait on before the rest go unasked.
constexpr std::size_t kMaxWorkers = 64;

// The mountpoints some worker, of this call or an earlier one, is waiting
// on right now. Leaked on purpose: a worker left behind may still use it
// while the process exits.
struct Asking {
  std::mutex mutex;
  std::multiset<fs::path> paths;
};
Asking& asking() {
  static auto* const shared = new Asking();
  return *shared;
}

// ask_root's answer when another worker is still waiting on the same path.
constexpr int kStillAsking = -1;

// Asks the server of the file system at `path` for its root's attributes.
// 0 when it answered, else the errno, or kStillAsking.
int ask_root(const fs::path& path) {
  Asking& a = asking();
  {
    std::lock_guard lock(a.mutex);
    if (a.paths.contains(path)) return kStillAsking;
    a.paths.insert(path);
  }
  // Past the attribute cache: a FUSE mount would otherwise answer from it
  // and a dead daemon would look alive for a while.
  const int err = stat_uncached(path.c_str());
  {
    std::lock_guard lock(a.mutex);
    a.paths.erase(a.paths.find(path));
  }
  return err;
}

MountCheck check_one(const std::string& name, const fs::path& recorded,
                     const std::optional<std::vector<MountEntry>>& table) {
  auto canonical = canonical_mountpoint(recorded);
  const fs::path path = canonical ? *canonical : recorded.lexically_normal();
  if (table) {
    std::optional<MountEntry> top = mount_at(*table, path);
    if (!top) return {LiveState::NotMounted, {}};
    if (top->source != volume_mount_source(name)) return {LiveState::Foreign, top->source};
  }
  const int err = ask_root(path);
  if (err == 0) return {LiveState::Mounted, {}};
  if (err == ENOTCONN) return {LiveState::Stale, {}};
  if (err == kStillAsking) return {LiveState::Unresponsive, {}};
  // Our own mount answered, if with an error (EACCES, EIO): it is served.
  return {table ? LiveState::Mounted : LiveState::NotMounted, {}};
}

// What the workers of one call share. Held by the call and by every worker,
// so a worker left behind never touches memory the call has given up.
struct Checks {
  std::vector<std::pair<std::string, fs::path>> mounts;
  std::optional<std::vector<MountEntry>> table;  // nullopt: unreadable
  std::atomic<std::size_t> next{0};              // the next mount to take

  std::mutex mutex;
  std::condition_variable answered;
  std::vector<std::optional<MountCheck>> results;  // guarded by mutex
  std::size_t remaining = 0;                       // guarded by mutex
};

void work(const std::shared_ptr<Checks>& checks) {
  for (;;) {
    const std::size_t i = checks->next.fetch_add(1);
    if (i >= checks->mounts.size()) return;
    MountCheck check = check_one(checks->mounts[i].first, checks->mounts[i].second, checks->table);
    std::lock_guard lock(checks->mutex);
    checks->results[i] = std::move(check);
    if (--checks->remaining == 0) checks->answered.notify_one();
  }
}

Result<VolumeInfo> info_of(Result<Volume> volume) {
  if (!volume) return std::unexpected(std::move(volume).error());
  return VolumeInfo::from(std::move(*volume));
}

}  // namespace

std::string_view live_state_name(LiveState state) {
  switch (state) {
    case LiveState::NotRecorded:
      return "";
    case LiveState::Mounted:
      return "mounted";
    case LiveState::Stale:
      return "stale";
    case LiveState::Unresponsive:
      return "unresponsive";
    case LiveState::NotMounted:
      return "not mounted";
    case LiveState::Foreign:
      return "foreign";
  }
  return "";
}

std::string_view VolumeState::state_word() const {
  return intent ? intent_state_word(*intent, intent_live) : live_state_name(check.state);
}

bool is_served(LiveState state) { return state == LiveState::Mounted || state == LiveState::Unresponsive; }

bool is_live(LiveState state) { return is_served(state) || state == LiveState::Stale; }

std::vector<MountCheck> check_mounts(const std::vector<std::pair<std::string, fs::path>>& mounts,
                                     std::chrono::milliseconds bound) {
  if (mounts.empty()) return {};
  const auto deadline = std::chrono::steady_clock::now() + bound;
  auto checks = std::make_shared<Checks>();
  checks->mounts = mounts;
  if (auto table = read_mount_table()) checks->table = std::move(*table);
  checks->results.resize(mounts.size());
  checks->remaining = mounts.size();

  const std::size_t workers = std::min(mounts.size(), kMaxWorkers);
  for (std::size_t i = 0; i < workers; ++i) {
    try {
      std::thread(work, checks).detach();
    } catch (const std::system_error&) {
      // No more threads to be had: those started take the rest, and what
      // none of them reaches in time is reported Unresponsive.
      break;
    }
  }

  std::unique_lock lock(checks->mutex);
  checks->answered.wait_until(lock, deadline, [&] { return checks->remaining == 0; });
  std::vector<MountCheck> out;
  out.reserve(mounts.size());
  for (const std::optional<MountCheck>& result : checks->results) {
    out.push_back(result.value_or(MountCheck{LiveState::Unresponsive, {}}));
  }
  return out;
}

Result<std::vector<VolumeState>> volume_states(const Registry& registry, const std::optional<std::string>& name,
                                               std::chrono::milliseconds bound) {
  std::vector<VolumeState> states;
  if (name) {
    Result<Volume> volume = registry.read(*name);
    if (!volume &&
        (volume.error().kind() == ErrorKind::InvalidVolumeName || volume.error().kind() == ErrorKind::VolumeNotFound)) {
      return std::unexpected(std::move(volume).error());
    }
    std::optional<VolumeIntent> intent = volume ? volume->intent : std::nullopt;
    states.push_back(VolumeState{*name, registry.home().volume_path(*name), info_of(std::move(volume)), {}});
    states.back().intent = std::move(intent);
  } else {
    QUARVO_TRY(registry.visit_each([&](std::string_view file, const Volume* volume, const QuarvoError* error) {
      states.push_back(VolumeState{std::string(file),
                                   registry.home().volume_path(file),
                                   volume ? Result<VolumeInfo>(VolumeInfo::from(*volume)) : std::unexpected(*error),
                                   {},
                                   volume ? volume->intent : std::nullopt});
    }));
  }

  std::vector<std::pair<std::string, fs::path>> mounts;
  std::vector<VolumeState*> mounted;
  for (VolumeState& state : states) {
    if (!state.volume) continue;
    state.name = state.volume->name;
    if (state.volume->mountpoint) {
      mounts.emplace_back(state.volume->name, *state.volume->mountpoint);
      mounted.push_back(&state);
    }
  }
  for (VolumeState& state : states) state.intent_live = state.intent && intent_live(*state.intent);
  std::vector<MountCheck> checks = check_mounts(mounts, bound);
  for (std::size_t i = 0; i < checks.size(); ++i) mounted[i]->check = std::move(checks[i]);
  return states;
}

}  // namespace quarvo
