#include "quarvo/core/validation.hpp"

#include <gtest/gtest.h>

namespace quarvo {
namespace {

// Quarvo's own rule: ASCII letters, digits, '.', '_' and '-'. The backend's,
// for new volumes: 3 to 63 lowercase letters, digits and inner dashes.
TEST(ValidateVolumeName, OwnRuleAndTheBackendsStricterOne) {
  const std::vector<std::string> both = {"my-vol-2", "abc", std::string(63, 'a')};
  const std::vector<std::string> own_only = {"a.b_c-9", "..", "ab", std::string(64, 'a'), "My-vol", "-abc", "abc-"};
  const std::vector<std::string> neither = {"", "a/b", "caf\u00E9", std::string("a\0b", 3)};
  for (const auto& [names, own, backend] :
       {std::tuple{&both, true, true}, std::tuple{&own_only, true, false}, std::tuple{&neither, false, false}}) {
    for (const std::string& name : *names) {
      for (const auto& [valid, r] :
           {std::pair{own, validate_volume_name(name)}, std::pair{backend, validate_backend_volume_name(name)}}) {
        EXPECT_TRUE(r ? valid : !valid && r.error().kind() == ErrorKind::InvalidVolumeName) << name << " " << valid;
      }
    }
  }
}

}  // namespace
}  // namespace quarvo
