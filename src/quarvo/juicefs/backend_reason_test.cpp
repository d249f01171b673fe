#include "quarvo/juicefs/backend_reason.hpp"

#include <gtest/gtest.h>

namespace quarvo {
namespace {

// Outputs of the real backend, cut short where they repeat.
TEST(BackendReason, LastFatalOrErrorRecordInTheBackendsWords) {
  const std::pair<std::string, std::string> cases[] = {
      {"redis: 2026/12/06 17:49:32 pool.go:617: redis: connection pool: failed to dial after 5 attempts: dial tcp "
       "127.0.0.1:1: connect: connection refused\n"
       "2026/12/06 17:49:49.441439 juicefs[24569] <WARNING>: parse info: dial tcp 127.0.0.1:1: connect: connection "
       "refused [checkServerConfig@redis.go:4602]\n"
       "2026/12/06 17:50:10.313070 juicefs[24569] <FATAL>: Load metadata: dial tcp 127.0.0.1:1: connect: connection "
       "refused [format@format.go:553]\n",
       "Load metadata: dial tcp 127.0.0.1:1: connect: connection refused"},
      // A record over two lines; the next logger's line is not part of it.
      {"2026/12/06 17:49:14.89 juicefs[24638] <FATAL>: Storage s3://127.0.0.1:9/nb/v/ is not configured correctly: "
       "Failed to create bucket\nPlease create bucket s3://127.0.0.1:9/nb/v/ manually, then format again. "
       "[format@format.go:574]\nSDK 2026/12/06 17:54:58 WARN falling back\n",
       "Storage s3://127.0.0.1:9/nb/v/ is not configured correctly: Failed to create bucket Please create bucket "
       "s3://127.0.0.1:9/nb/v/ manually, then format again."},
      // The last of two; a later INFO record changes nothing; passwords masked.
      {"2026/12/06 10:00:00.000001 juicefs[1] <ERROR>: first [a@b.go:1]\n"
       "2026/12/06 10:00:00.000002 juicefs[1] <ERROR>: bucket http://ak:sk@h/b refused p@ss-word here [a@b.go:2]\n"
       "2026/12/06 10:00:00.000003 juicefs[1] <INFO>: umount [a@b.go:3]\n",
       "bucket http://ak:****@h/b refused **** here"},
      {"2026/12/06 10:00:00.1 juicefs[1] <WARNING>: AOF is not enabled [checkRedisInfo@info.go:84]\nplain text\n", ""},
  };
  for (const auto& [output, reason] : cases) EXPECT_EQ(backend_reason(output, "p@ss-word"), reason) << output;
  const std::string flood = "2026/12/06 10:00:00.1 juicefs[1] <FATAL>: " + std::string(5000, 'x');
  EXPECT_EQ(backend_reason(flood).size(), 1003u);
}

// The cut to 1000 bytes leaves no part of the password: the "..." it adds
// completes none that ends in dots, and one it breaks off leaves no start
// of 4 bytes or more (a shorter one cannot be told from a word).
TEST(BackendReason, TheCutLeavesNoPartOfThePassword) {
  const std::string head = "2026/12/06 10:00:00.1 juicefs[1] <FATAL>: ";
  const struct {
    std::string secret;
    std::string at_cut;  // the words end with it where the cut falls, then go on otherwise
    std::string tail;    // what the reason ends with
  } cases[] = {
      {"pw0...", "pw0", "xxx****"},
      {"sesame-open", "sesame", "xxx..."},
      {"sesame-open", "ses", "xxxses..."},
      {"\u00e9t\u00e9-long-one", "\u00e9t\u00e9", "xxx..."},
  };
  for (const auto& c : cases) {
    const std::string words = std::string(1000 - c.at_cut.size(), 'x') + c.at_cut + "!" + std::string(100, 'y');
    const std::string reason = backend_reason(head + words, c.secret);
    EXPECT_TRUE(reason.ends_with(c.tail)) << c.secret << ": ..." << reason.substr(reason.size() - 20);
    EXPECT_EQ(reason.find(c.secret.substr(0, 4)), std::string::npos) << c.secret;
  }
}

}  // namespace
}  // namespace quarvo
