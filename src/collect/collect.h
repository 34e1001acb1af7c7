// The input controls of a window: a depth-first walk under the collection
// budget, the geometric nearby filter and de-duplication by position.
#pragma once

#include <cstdint>
#include <vector>

#include "ax/element_info.h"
#include "ax/roles.h"
#include "collect/walk_state.h"
#include "platform/platform.h"

namespace kestreye {

/// Every descendant of `start` whose role is in `roles` and whose frame is at
/// least 6 by 6 points, in depth-first pre-order.
std::vector<ElementInfo> collectAllElements(const Element& start,
                                            const RoleSet& roles,
                                            WalkState& scan,
                                            int64_t maxDepth = 25,
                                            int64_t currentDepth = 0);

/// How close to the focused element the scan keeps the fields it shows:
/// left edges within NEARBY_LEFT_EDGE points, centres from NEARBY_ABOVE
/// points above the focus to NEARBY_BELOW below it (filterNearby).
inline constexpr int64_t NEARBY_LEFT_EDGE = 120;
inline constexpr int64_t NEARBY_ABOVE = 400;
inline constexpr int64_t NEARBY_BELOW = 300;

/// The elements whose position is close to the focused element's frame, in
/// input order.
std::vector<ElementInfo> filterNearby(const std::vector<ElementInfo>& elements,
                                      int64_t focusedX, int64_t focusedY,
                                      int64_t focusedW, int64_t focusedH,
                                      int64_t leftEdgeTolerance = 120,
                                      int64_t yAbove = 300,
                                      int64_t yBelow = 300);

/// The elements without those whose top-left corner lies within `threshold`
/// (exclusive) of an element kept before them, in input order.
std::vector<ElementInfo> dedup(const std::vector<ElementInfo>& elements,
                               int64_t threshold = 15);

}  // namespace kestreye
