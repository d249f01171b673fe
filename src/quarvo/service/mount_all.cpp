#include "quarvo/service/mount_all.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

#include "quarvo/service/live_state.hpp"
#include "quarvo/service/mount_checks.hpp"

namespace quarvo {
namespace {

// The workers' Cancel: raised once by the caller's thread, read by all.
class StopFlag final : public Cancel {
 public:
  bool requested() const override { return stop_.load(std::memory_order_acquire); }
  void raise() { stop_.store(true, std::memory_order_release); }

 private:
  std::atomic<bool> stop_{false};
};

// What the workers and the caller's thread share, under `mutex`.
struct Board {
  std::mutex mutex;
  std::condition_variable changed;
  std::size_t next = 0;           // the next target to start
  std::size_t working = 0;        // workers not yet ended
  std::deque<std::size_t> ended;  // targets whose mount ended, not yet told
  std::vector<std::optional<Result<MountedVolume>>> results;
};

// A worker: takes the next target until none is left or the stop is raised.
void work(const std::vector<MountTarget>& targets, const MountOne& mount, const StopFlag& stop, Board& board) {
  for (;;) {
    std::size_t i = 0;
    {
      std::lock_guard lock(board.mutex);
      if (board.next == targets.size() || stop.requested()) break;
      i = board.next++;
    }
    Result<MountedVolume> result = mount(targets[i], stop);
    {
      std::lock_guard lock(board.mutex);
      board.results[i] = std::move(result);
      board.ended.push_back(i);
    }
    board.changed.notify_all();
  }
  {
    std::lock_guard lock(board.mutex);
    --board.working;
  }
  board.changed.notify_all();
}

// The caller's side while the workers run: each outcome told as it comes,
// the caller's Cancel asked between; whether the run was interrupted.
bool tell_as_they_come(const std::vector<MountTarget>& targets, const OnMountResult& on_result, const Cancel& cancel,
                       StopFlag& stop, Board& board) {
  bool interrupted = false;
  std::unique_lock lock(board.mutex);
  while (board.working > 0 || !board.ended.empty()) {
    board.changed.wait_for(lock, kCancelPollInterval, [&] { return !board.ended.empty() || board.working == 0; });
    while (!board.ended.empty()) {
      const std::size_t i = board.ended.front();
      board.ended.pop_front();
      const Result<MountedVolume>& result = *board.results[i];  // set once, never moved while the pool runs
      lock.unlock();
      const bool heard = on_result(targets[i].name, result);
      if (!result && result.error().kind() == ErrorKind::Interrupted) interrupted = true;
      if (!heard) interrupted = true;
      lock.lock();
    }
    if (interrupted) stop.raise();
    // Asked without the board's lock: the caller's Cancel may wait for
    // something of its own (the interpreter lock).
    lock.unlock();
    if (!interrupted && cancel.requested()) {
      interrupted = true;
      stop.raise();
    }
    lock.lock();
  }
  return interrupted;
}

}  // namespace

Result<std::vector<MountAttempt>> mount_each(const std::vector<MountTarget>& targets, std::size_t workers,
                                             const MountOne& mount, const OnMountResult& on_result,
                                             const Cancel& cancel) {
  if (targets.empty()) return std::vector<MountAttempt>{};
  StopFlag stop;
  Board board;
  board.results.resize(targets.size());
  bool interrupted = false;
  {
    const std::size_t wanted = std::clamp<std::size_t>(workers, 1, std::max<std::size_t>(targets.size(), 1));
    std::vector<std::jthread> pool;
    pool.reserve(wanted);
    board.working = wanted;
    for (std::size_t n = 0; n < wanted; ++n) {
      try {
        pool.emplace_back(work, std::cref(targets), std::cref(mount), std::cref(stop), std::ref(board));
      } catch (const std::system_error&) {
        // No more threads to be had: those started take the rest.
        std::lock_guard lock(board.mutex);
        board.working -= wanted - n;
        break;
      }
    }
    // Not one thread: this one mounts them all, in turn.
    if (pool.empty()) {
      board.working = 1;
      work(targets, mount, stop, board);
    }
    interrupted = tell_as_they_come(targets, on_result, cancel, stop, board);
  }  // every worker joined
  if (interrupted) return std::unexpected(QuarvoError::interrupted());
  std::vector<MountAttempt> attempts;
  attempts.reserve(targets.size());
  for (std::size_t i = 0; i < targets.size(); ++i) {
    if (board.results[i]) attempts.push_back({targets[i].name, std::move(*board.results[i])});
  }
  return attempts;
}

Result<std::vector<MountAttempt>> Quarvo::mount_all(const OnMountResult& on_result, const Cancel& cancel) const {
  auto volumes = registry_.list();
  if (!volumes) return std::unexpected(std::move(volumes).error());
  std::vector<std::pair<std::string, std::filesystem::path>> recorded;
  std::vector<bool> stepping;  // a step under way, or left by a killed call
  for (const Volume& v : *volumes) {
    if (!v.mountpoint) continue;
    recorded.emplace_back(v.name, *v.mountpoint);
    stepping.push_back(v.intent.has_value());
  }
  const std::vector<MountCheck> checks = check_mounts(recorded, kAnswerBound);
  std::vector<MountTarget> targets;
  for (std::size_t i = 0; i < recorded.size(); ++i) {
    // A served volume is left alone, unless its record holds a step: mount
    // then finishes or undoes it (a mount a killed call made is adopted).
    if (!is_served(checks[i].state) || stepping[i]) targets.push_back({recorded[i].first, recorded[i].second});
  }
  // Each mount is a call of its own: its deadline starts when it starts.
  const MountOne mount_one = [this](const MountTarget& target, const Cancel& stop) {
    return mount({.name = target.name, .path = target.path}, stop);
  };
  return mount_each(targets, kMountAllWorkers, mount_one, on_result, cancel);
}

}  // namespace quarvo
