#include "quarvo/core/cancel.hpp"

namespace quarvo {
namespace {

class Never final : public Cancel {
 public:
  bool requested() const override { return false; }
};

}  // namespace

const Cancel& Cancel::never() {
  static const Never never;
  return never;
}

}  // namespace quarvo
