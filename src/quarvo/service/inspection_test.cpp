#include "quarvo/service/inspection.hpp"

#include <gtest/gtest.h>

#include <chrono>

#include "quarvo/core/registry.hpp"
#include "quarvo/core/test_support.hpp"

namespace quarvo {
namespace {

namespace fs = std::filesystem;

// The real backend retries an engine that does not answer for about 70 s;
// inspection asks it within the configured bound and ends at once on a
// cancel, which is no finding but the end of the call.
TEST(Inspection, AnEngineThatDoesNotAnswerHoldsItOnlyUntilTheDeadline) {
  const auto program = testing::real_juicefs();
  if (!program) GTEST_SKIP() << "no juicefs client beside " << QUARVO_PYTHON;
  testing::TempDir tmp;
  testing::ScopedEnv env;
  env.set("QUARVO_STORAGE_BACKEND_BIN", program->string());
  const QuarvoHome home(tmp.path() / "home");
  const std::string now = "2026-01-01T00:00:00Z";
  ASSERT_TRUE(Registry(home).write({"team",
                                    "juicefs",
                                    testing::kUnreachableEngine,
                                    "file",
                                    (tmp.path() / "objects/").string(),
                                    false,
                                    {},
                                    now,
                                    now}));
  const struct {
    const char* timeout;  // QUARVO_COMMAND_TIMEOUT, or none
    const char* says;     // the call's error, else the backend's
  } cases[] = {{"0.5", "juicefs status timed out after 0.5 s"}, {nullptr, "interrupted"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.says);
    env.set("QUARVO_COMMAND_TIMEOUT", c.timeout ? std::optional<std::string>(c.timeout) : std::nullopt);
    const testing::CancelAfter cancel(std::chrono::milliseconds(300));
    const auto start = std::chrono::steady_clock::now();
    auto details = inspect_volume(home, "team", true, std::nullopt,
                                  c.timeout ? Cancel::never() : static_cast<const Cancel&>(cancel));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
    const std::optional<QuarvoError> error = details ? details->backend_error : details.error();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->message(), c.says);
  }
}

}  // namespace
}  // namespace quarvo
