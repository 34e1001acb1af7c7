#include "collect/collect.h"

#include <string>

#include "ax/accessors.h"
#include "collect/walk.h"

namespace kestreye {
namespace {

// Coordinate arithmetic is exact in 128 bits, so hostile frames near the
// 64-bit limits compare as the numbers they are instead of overflowing.
using Wide = __int128;

Wide absWide(Wide value) { return value < 0 ? -value : value; }

}  // namespace

std::vector<ElementInfo> collectAllElements(const Element& start,
                                            const RoleSet& roles,
                                            WalkState& scan, int64_t maxDepth,
                                            int64_t currentDepth) {
  std::vector<ElementInfo> out;
  auto visit = [&](const Element& child, const std::string& role) {
    const bool focused = axBool(child, "AXFocused").value_or(false);
    if (roles.find(role) == roles.end()) return;
    if (const auto frame = usableFrame(child)) {
      out.push_back(ElementInfo{child, role, frame->position.x,
                                frame->position.y, frame->size.w, frame->size.h,
                                focused});
      ++scan.walk.elementCount;
    }
  };
  walkDescendants(start, maxDepth, currentDepth, scan, visit);
  return out;
}

std::vector<ElementInfo> filterNearby(const std::vector<ElementInfo>& elements,
                                      int64_t focusedX, int64_t focusedY,
                                      int64_t focusedW, int64_t focusedH,
                                      int64_t leftEdgeTolerance, int64_t yAbove,
                                      int64_t yBelow) {
  const Wide rightLimit = Wide(focusedX) + focusedW + 50;
  const Wide topLimit = Wide(focusedY) - yAbove;
  const Wide bottomLimit = Wide(focusedY) + focusedH + yBelow;
  std::vector<ElementInfo> kept;
  for (const ElementInfo& info : elements) {
    const bool aligned = absWide(Wide(info.x) - focusedX) < leftEdgeTolerance;
    const bool within =
        info.x >= focusedX && Wide(info.x) + info.w <= rightLimit;
    const Wide centerY = Wide(info.y) + info.h / 2;
    if ((aligned || within) && topLimit <= centerY && centerY <= bottomLimit) {
      kept.push_back(info);
    }
  }
  return kept;
}

std::vector<ElementInfo> dedup(const std::vector<ElementInfo>& elements,
                               int64_t threshold) {
  std::vector<ElementInfo> kept;
  for (const ElementInfo& candidate : elements) {
    bool duplicate = false;
    for (const ElementInfo& other : kept) {
      if (absWide(Wide(other.x) - candidate.x) < threshold &&
          absWide(Wide(other.y) - candidate.y) < threshold) {
        duplicate = true;
        break;
      }
    }
    if (!duplicate) kept.push_back(candidate);
  }
  return kept;
}

}  // namespace kestreye
