// What surrounds the focused control in its pane: short texts and buttons
// found below one of its ancestors.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ax/element_info.h"
#include "collect/walk_state.h"
#include "platform/platform.h"

namespace kestreye {

/// The texts and buttons gathered below one ancestor, in walk order.
struct AncestorContext {
  std::vector<std::string> texts;
  std::vector<ElementInfo> buttons;
};

/// Static texts, headings and interactive elements below `start`, in
/// depth-first pre-order, under the walk budget of `scan`.
AncestorContext collectFromSubtree(const Element& start, WalkState& scan,
                                   int64_t maxDepth = 6,
                                   int64_t currentDepth = 0);

/// Climbs from the focused element's parent towards the window and keeps the
/// context of the first rich ancestor, or else of the last useful one; each
/// ancestor's walk starts on a fresh budget.
AncestorContext collectAncestorContext(const Element& focused, WalkState& scan,
                                       int64_t maxLevels = 12);

}  // namespace kestreye
