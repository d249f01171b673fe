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

}  // namespace
}  // namespace quarvo
