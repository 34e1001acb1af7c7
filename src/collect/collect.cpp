#include "collect/collect.h"

#include <string>

#include "ax/accessors.h"

namespace kestreye {
namespace {

// Coordinate arithmetic is exact in 128 bits, so hostile frames near the
// 64-bit limits compare as the numbers they are instead of overflowing.
using Wide = __int128;

Wide absWide(Wide value) { return value < 0 ? -value : value; }

void collectInto(const Element& start, const RoleSet& roles, WalkBudget& budget,
                 int64_t maxDepth, int64_t currentDepth,
                 std::vector<ElementInfo>& out) {
  if (budget.elementCount >= MAX_ELEMENTS) return;
  for (Element& child : axChildren(start)) {
    if (budget.examinedCount >= MAX_EXAMINED_ELEMENTS) return;
    ++budget.examinedCount;
    const std::string role = axString(child, "AXRole").value_or("");
    const bool focused = axBool(child, "AXFocused").value_or(false);
    if (roles.find(role) != roles.end()) {
      if (const auto position = axPosition(child)) {
        const auto size = axSize(child);
        if (size && size->w >= 6 && size->h >= 6) {
          out.push_back(ElementInfo{child, role, position->x, position->y,
                                    size->w, size->h, focused});
          ++budget.elementCount;
        }
      }
    }
    if (currentDepth < maxDepth) {
      collectInto(child, roles, budget, maxDepth, currentDepth + 1, out);
    }
  }
}

}  // namespace

std::vector<ElementInfo> collectAllElements(const Element& start,
                                            const RoleSet& roles,
                                            ScanState& scan, int64_t maxDepth,
                                            int64_t currentDepth) {
  std::vector<ElementInfo> out;
  collectInto(start, roles, scan.walk, maxDepth, currentDepth, out);
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
