#include "quarvo/core/validation.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <tuple>
#include <utility>
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

// A temporary volume's name: any text made to fit the backend's rule, the
// random part kept whole at the end.
TEST(TemporaryVolumeName, AnyTextFitsTheBackendsRule) {
  const std::string suffix = "1a2b3c4d";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"My_Test.case", "my-test-case"},
      {"test_x[param-1]", "test-x-param-1"},
      {"__a__", "a"},
      {"", "volume"},
      {"._-", "volume"},
      {"caf\u00E9 au lait", "caf-au-lait"},
      {std::string(100, 'A'), std::string(54, 'a')},
      {std::string(53, 'a') + "_b", std::string(53, 'a')},  // cut at the dash, which is then dropped
  };
  for (const auto& [base, stem] : cases) {
    const std::string name = temporary_volume_name(base, suffix);
    EXPECT_EQ(name, stem + "-" + suffix) << base;
    EXPECT_TRUE(validate_backend_volume_name(name)) << name;
  }
}

}  // namespace
}  // namespace quarvo
