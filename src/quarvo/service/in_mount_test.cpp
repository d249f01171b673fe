#include "quarvo/service/in_mount.hpp"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>

#include <chrono>

#include "quarvo/core/test_support.hpp"

namespace quarvo {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// On a mount that never answers, the steps of one call share its deadline:
// the probe ends at it, the flush marker after it at once instead of having
// the bound again, and a cancel ends a step without any deadline (a probe
// then cleans up for a moment only). In a child with a private mount
// namespace; it writes what it saw for the parent.
TEST(InMount, StepsShareOneDeadlineOnAMountThatNeverAnswers) {
  testing::TempDir tmp;
  const fs::path hung = fs::canonical(tmp.path()) / "hung", report = tmp.path() / "report";
  fs::create_directories(hung);
  const int code = testing::in_child([&] {
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return 77;
    const int device = testing::serverless_fuse(hung, "JuiceFS:hung");
    if (device < 0) return 78;
    struct : Cancel {
      bool requested() const override { return Clock::now() >= at; }
      Clock::time_point at;
    } impatient;
    const WaitLimits call = WaitLimits::within(300ms, Cancel::never());
    std::string out;
    const auto step = [&](const char* name, auto&& run) {
      const auto start = Clock::now();
      const Result<void> r = run();
      const auto took = Clock::now() - start;
      out += std::string(name) + ": " + (r ? std::string("ok") : r.error().message());
      // The probe may take a quarter second more to delete what it left.
      out += took < 300ms ? " (at once)|" : took < 1200ms ? " (at the deadline)|" : " (too late)|";
    };
    step("probe", [&] { return probe_mount(hung, call); });
    step("marker", [&] { return write_flush_marker(hung, call); });
    impatient.at = Clock::now() + 300ms;
    step("probe", [&] { return probe_mount(hung, WaitLimits::unbounded(impatient)); });
    impatient.at = Clock::now() + 300ms;
    step("pids", [&]() -> Result<void> {
      auto pids = read_daemon_pids(hung, WaitLimits::unbounded(impatient));
      if (!pids) return std::unexpected(std::move(pids).error());
      return {};
    });
    testing::spit(report, out);
    ::close(device);  // frees the helpers left behind
    return 0;
  });
  if (code == 77) GTEST_SKIP() << "no private mount namespace here";
  if (code == 78) GTEST_SKIP() << "no FUSE device here";
  ASSERT_EQ(code, 0);
  EXPECT_EQ(testing::slurp(report),
            "probe: the mount probe timed out after 0.3 s (at the deadline)|"
            "marker: the flush marker timed out after 0.3 s (at once)|"
            "probe: interrupted (at the deadline)|"
            "pids: interrupted (at the deadline)|");
}

// The counters as the client prints them (juicefs 1.4.2, lines trimmed):
// the read buffer is not held writing, a name that only begins like a
// counter's is another, and a client that shows no write buffer cannot be
// waited for.
TEST(InMount, ParsesTheCountersOfStats) {
  constexpr std::string_view kReal =
      "juicefs_meta_ops_total_Write 32\n"
      "juicefs_meta_ops_total_WriteX 9\n"
      "juicefs_staging_block_bytes 8192\n"
      "juicefs_staging_block_delay_seconds 0\n"
      "juicefs_staging_blocks 2\n"
      "juicefs_staging_blocks_total 40\n"
      "juicefs_used_buffer_size_bytes 196608\n"
      "juicefs_used_read_buffer_size_bytes 65536\n"
      "juicefs_object_request_uploading 1\n"
      "juicefs_fuse_written_size_bytes_sum 24576\n"
      "juicefs_fuse_written_size_bytes_total 1\n";
  struct Case {
    std::string_view text;
    bool parsed;
    std::int64_t buffer, staging, staged_bytes, commits, uploading, written;
  };
  const Case cases[] = {
      {kReal, true, 131072, 2, 8192, 32, 1, 24576},
      {"juicefs_used_buffer_size_bytes 65536\r\n", true, 65536, 0, 0, 0, 0, 0},
      {"juicefs_used_buffer_size_bytes 1.5e+06\njuicefs_used_read_buffer_size_bytes 0", true, 1500000, 0, 0, 0, 0, 0},
      {"juicefs_used_read_buffer_size_bytes 0\njuicefs_staging_blocks 0\n", false, 0, 0, 0, 0, 0, 0},
      {"juicefs_used_buffer_size_bytes 64k\n", false, 0, 0, 0, 0, 0, 0},
      {"juicefs_used_buffer_size_bytes 0\njuicefs_staging_blocks NaN\n", false, 0, 0, 0, 0, 0, 0},
      {"", false, 0, 0, 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.text));
    MountCounters counters;
    ASSERT_EQ(parse_mount_counters(c.text, counters), c.parsed);
    if (!c.parsed) continue;
    EXPECT_EQ(counters.write_buffer, c.buffer);
    EXPECT_EQ(counters.staging_blocks, c.staging);
    EXPECT_EQ(counters.staging_bytes, c.staged_bytes);
    EXPECT_EQ(counters.commits, c.commits);
    EXPECT_EQ(counters.uploading, c.uploading);
    EXPECT_EQ(counters.written, c.written);
  }
}

}  // namespace
}  // namespace quarvo
