#include "quarvo/core/validation.hpp"

#include <gtest/gtest.h>

namespace quarvo {
namespace {

// Quarvo's own rule: ASCII letters, digits, '.', '_' and '-'. The backend's,
// for new volumes: 3 to 63 lowercase letters, digits and inner dashes.
TEST(ValidateVolumeName, OwnRuleAndTheBackendsStricterOne) {
  const struct {
    std::string name;
    bool own, backend;
  } cases[] = {
      {"a.b_c-9", true, false},
      {"..", true, false},
      {"", false, false},
      {"a/b", false, false},
      {"caf\u00E9", false, false},
      {std::string("a\0b", 3), false, false},
      {"my-vol-2", true, true},
      {"abc", true, true},
      {std::string(63, 'a'), true, true},
      {"ab", true, false},
      {std::string(64, 'a'), true, false},
      {"My-vol", true, false},
      {"-abc", true, false},
      {"abc-", true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (const auto& [valid, r] :
         {std::pair{c.own, validate_volume_name(c.name)}, std::pair{c.backend, validate_backend_volume_name(c.name)}}) {
      EXPECT_EQ(r.has_value(), valid);
      EXPECT_TRUE(r || r.error().kind() == ErrorKind::InvalidVolumeName);
    }
  }
}

}  // namespace
}  // namespace quarvo
