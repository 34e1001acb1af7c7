// The depth-first walk the collections share: the budget checks, the child
// loop and the role read, and the frame rule for the elements they keep.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "ax/accessors.h"
#include "ax/roles.h"
#include "collect/walk_state.h"
#include "platform/platform.h"

namespace kestreye {

/// A frame of at least 6 by 6 points.
struct UsableFrame {
  Position position;
  Extent size;
};

/// The element's frame when it has a position and a size of at least 6 by 6
/// points; the size is read only after a position.
std::optional<UsableFrame> usableFrame(const Element& element);

/// Calls `visit(child, role)` for every descendant of `start` in depth-first
/// pre-order, `role` being its "AXRole" or "" ; descends while `currentDepth`
/// is below `maxDepth`. Stops when the walk has gathered MAX_ELEMENTS entries
/// (tested on entering an element) or examined MAX_EXAMINED_ELEMENTS, and
/// when the scan's walks are over.
template <class Visit>
void walkDescendants(const Element& start, int64_t maxDepth,
                     int64_t currentDepth, WalkState& scan, Visit& visit) {
  WalkBudget& budget = scan.walk;
  if (budget.elementCount >= MAX_ELEMENTS || scan.walksOver()) return;
  for (Element& child : axChildren(start)) {
    if (budget.examinedCount >= MAX_EXAMINED_ELEMENTS || scan.walksOver()) {
      return;
    }
    ++budget.examinedCount;
    const std::string role = axString(child, "AXRole").value_or("");
    visit(child, role);
    if (currentDepth < maxDepth) {
      walkDescendants(child, maxDepth, currentDepth + 1, scan, visit);
    }
  }
}

/// Calls `visit(ancestor, role)` for the parent of `from` and each ancestor
/// above it, `role` being its "AXRole" or "", at most `maxLevels` of them;
/// stops at one that cannot be read, before a window or an application, when
/// `visit` returns true, or when the scan's walks are over.
template <class Visit>
void climbAncestors(const Element& from, int64_t maxLevels,
                    const WalkState& scan, Visit& visit) {
  Element current = from;
  for (int64_t level = 0; level < maxLevels && !scan.walksOver(); ++level) {
    auto parentValue = axValue(current, "AXParent");
    if (!parentValue) return;
    Element parent = asElement(std::move(*parentValue));
    const std::string role = axString(parent, "AXRole").value_or("");
    if (role == "AXWindow" || role == "AXApplication") return;
    if (visit(parent, role)) return;
    current = std::move(parent);
  }
}

}  // namespace kestreye
