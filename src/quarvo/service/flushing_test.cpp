#include "quarvo/service/flushing.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace quarvo {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A client whose counters follow a script: each reading takes the next
// entry, the last one repeated; a reading is stamped with when it was taken.
struct ScriptedClient {
  std::vector<MountCounters> script;
  std::vector<Clock::time_point> taken{};

  CounterReader reader() {
    return [this](const WaitLimits&) -> Result<MountCounters> {
      taken.push_back(Clock::now());
      return script[std::min(taken.size(), script.size()) - 1];
    };
  }
};

constexpr std::int64_t kBlock = 4 << 20;

// Readings: what the write buffer holds, with the commits and the bytes
// written so far.
MountCounters holding(std::int64_t bytes, std::int64_t commits = 0, std::int64_t written = 0) {
  return {.write_buffer = bytes, .commits = commits, .written = written};
}
MountCounters empty(std::int64_t commits) { return {.commits = commits}; }
MountCounters staged(std::int64_t blocks, std::int64_t bytes) {
  return {.staging_blocks = blocks, .staging_bytes = bytes};
}

// The wait ends once the client was seen idle long enough: kCommitSettle
// with an empty write buffer, kIdleSettle with one that holds something
// (data of a file kept open, or the block the client keeps). Anything
// moving starts that time over: a commit landing after the buffer emptied,
// bytes written, an upload under way, staged blocks going.
TEST(WaitUntilWrittenOut, EndsOnceTheClientWasSeenIdleLongEnough) {
  struct Case {
    const char* what;
    std::vector<MountCounters> script;
    size_t idle_from;  // the reading the idle time counts from
    std::chrono::milliseconds idle;
  };
  MountCounters uploading = holding(65536, 0, 24576);
  uploading.uploading = 1;
  const std::vector<Case> cases = {
      {"nothing held", {empty(7)}, 0, kCommitSettle},
      {"uploaded, then committed",
       {holding(65536, 0, 24576), holding(65536, 0, 24576), empty(0), empty(1)},
       3,
       kCommitSettle},
      {"an upload under way", {uploading, uploading, empty(1)}, 2, kCommitSettle},
      {"staged blocks, then uploaded", {staged(2, 8192), empty(1)}, 1, kCommitSettle},
      {"the block the client keeps", {holding(kBlock, 9)}, 0, kIdleSettle},
      {"written again, then committed", {empty(7), holding(4096, 7, 10), empty(8)}, 2, kCommitSettle},
      {"a file kept open, then uploaded", {holding(kBlock + 65536, 9, 5), holding(kBlock, 10, 5)}, 1, kIdleSettle},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScriptedClient client{c.script};
    const auto r = wait_until_written_out("v", "/m", client.reader(), WaitLimits::within(10s, Cancel::never()));
    ASSERT_TRUE(r.has_value()) << r.error().message();
    ASSERT_GT(client.taken.size(), c.idle_from);
    EXPECT_GE(client.taken.back() - client.taken[c.idle_from], c.idle);
    EXPECT_LT(client.taken.back() - client.taken[c.idle_from], c.idle + 1s);
  }
}

// Writes that never pause, an upload that does not end, blocks that stay
// staged: at the bound the wait
// fails, naming what the client held at its last reading that held anything
// (staged blocks included), instead of claiming the data safe.
TEST(WaitUntilWrittenOut, FailsWithWhatWasHeldWhenWritesNeverPause) {
  struct Case {
    const char* what;
    std::vector<MountCounters> script;
    std::int64_t held;
  };
  std::vector<MountCounters> writing, committing = {holding(131072, 1)};
  for (int i = 2; i < 4000; ++i) {
    writing.push_back(holding(65536, 0, i * 4096));  // into pages already there: the buffer stays as it was
    committing.push_back(empty(i));                  // the buffer empties between writes, a commit every time
  }
  MountCounters stuck = holding(65536);
  stuck.uploading = 1;  // an upload to a store that does not answer
  const std::vector<Case> cases = {
      {"bytes keep coming", writing, 65536},
      {"an upload that does not end", {stuck}, 65536},
      {"commits never stand still", committing, 131072},
      {"blocks stay staged", {staged(3, 12288)}, 12288},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScriptedClient client{c.script};
    const auto start = Clock::now();
    const auto r = wait_until_written_out("v", "/m", client.reader(), WaitLimits::within(2s, Cancel::never()));
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind(), ErrorKind::FlushIncomplete) << r.error().message();
    EXPECT_EQ(r.error().fields().held_bytes, c.held);
    EXPECT_EQ(r.error().fields().bound, 2s);
    EXPECT_GE(Clock::now() - start, 2s);
  }
}

// A first reading that fails is the error; one that outlasts the bound after
// others answered is the busy client's FlushIncomplete; a cancel ends the wait.
TEST(WaitUntilWrittenOut, ReadingErrorsAndCancel) {
  const auto limits = WaitLimits::within(2s, Cancel::never());
  const auto unreadable = [](const WaitLimits&) -> Result<MountCounters> {
    return std::unexpected(QuarvoError::io_at_errno("/m/.stats", ENOENT));
  };
  auto r = wait_until_written_out("v", "/m", unreadable, limits);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind(), ErrorKind::IoAt);

  int readings = 0;
  const auto slow_later = [&](const WaitLimits& l) -> Result<MountCounters> {
    if (++readings < 3) return holding(65536);
    return std::unexpected(l.timed_out("reading the mount's .stats"));
  };
  r = wait_until_written_out("v", "/m", slow_later, limits);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind(), ErrorKind::FlushIncomplete);
  EXPECT_EQ(r.error().fields().held_bytes, 65536);
  const auto never_answers = [](const WaitLimits& l) -> Result<MountCounters> {
    return std::unexpected(l.timed_out("reading the mount's .stats"));
  };
  r = wait_until_written_out("v", "/m", never_answers, limits);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind(), ErrorKind::TimedOut);

  struct : Cancel {
    bool requested() const override { return true; }
  } stop;
  ScriptedClient busy{{holding(65536)}};
  r = wait_until_written_out("v", "/m", busy.reader(), WaitLimits::unbounded(stop));
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind(), ErrorKind::Interrupted);
}

}  // namespace
}  // namespace quarvo
