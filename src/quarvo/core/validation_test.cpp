#include "quarvo/core/validation.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace quarvo {
namespace {

// Quarvo's own rule: ASCII letters, digits, '.', '_' and '-'. The backend's,
// for new volumes: 3 to 63 lowercase letters, digits and inner dashes; a name
// only the backend refuses gets the kind whose message states its rule.
TEST(ValidateVolumeName, OwnRuleAndTheBackendsStricterOne) {
  const std::optional<ErrorKind> ok, own_rule = ErrorKind::InvalidVolumeName,
                                     backend_rule = ErrorKind::InvalidBackendVolumeName;
  const std::vector<std::string> both = {"my-vol-2", "abc", std::string(63, 'a')};
  const std::vector<std::string> own_only = {"a.b_c-9", "..", "ab", std::string(64, 'a'), "My-vol", "-abc", "abc-"};
  const std::vector<std::string> neither = {"", "a/b", "caf\u00E9", std::string("a\0b", 3)};
  for (const auto& [names, own, backend] :
       {std::tuple{&both, ok, ok}, std::tuple{&own_only, ok, backend_rule}, std::tuple{&neither, own_rule, own_rule}}) {
    for (const std::string& name : *names) {
      for (const auto& [expected, r] :
           {std::pair{own, validate_volume_name(name)}, std::pair{backend, validate_backend_volume_name(name)}}) {
        EXPECT_EQ(r ? std::nullopt : std::optional(r.error().kind()), expected) << name;
      }
    }
  }
}

}  // namespace
}  // namespace quarvo
