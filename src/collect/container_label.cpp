#include "collect/container_label.h"

#include <string>
#include <utility>

#include "ax/accessors.h"
#include "collect/walk.h"
#include "text/text.h"

namespace kestreye {

std::optional<std::string> findContainerLabel(const Element& focused,
                                              const WalkState& scan,
                                              int64_t maxLevels) {
  std::optional<std::string> found;
  auto visit = [&](const Element& parent, const std::string&) {
    std::optional<std::string> candidate = axDisplayName(parent);
    if (candidate && graphemeCountCapped(*candidate, 4) >= 4) {
      found = std::move(candidate);
      return true;
    }
    return false;
  };
  climbAncestors(focused, maxLevels, scan, visit);
  return found;
}

}  // namespace kestreye
