#include "policy.h"

#include <array>

namespace quellar {

std::string_view termination_name(const Termination& termination) {
  static constexpr std::array<std::string_view, std::variant_size_v<Termination>> kNames = {
      "exited", "timed_out", "cancelled", "stdout_limit_exceeded", "stderr_limit_exceeded"};
  return kNames[termination.index()];
}

std::string_view enforcement_name(EnforcementLevel level) {
  static constexpr std::array<std::string_view, 4> kNames = {"enforced", "degraded",
                                                             "unavailable", "trusted"};
  return kNames[static_cast<std::size_t>(level) & 3];
}

}  // namespace quellar
