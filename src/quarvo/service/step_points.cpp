#include "quarvo/service/step_points.hpp"

namespace quarvo {

void (*step_hook)(std::string_view step) = nullptr;

void reach(std::string_view step) {
  if (step_hook != nullptr) step_hook(step);
}

}  // namespace quarvo
