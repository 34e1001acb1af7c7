// The web page around the focused element: in a browser the page, not the
// browser's window with its toolbar, address bar and menus, is the context.
#pragma once

#include <cstdint>
#include <optional>

#include "collect/walk_state.h"
#include "platform/platform.h"

namespace kestreye {

/// How many ancestors above the focused element are looked at for a page.
inline constexpr int64_t MAX_PAGE_LEVELS = 64;

/// The outermost web area among the focused element's ancestors, and how
/// many levels above the focused element it stands (1 for its parent).
struct PageArea {
  Element element;
  int64_t level = 0;
};

/// The outermost ancestor of `focused` whose role is "AXWebArea", looking at
/// most MAX_PAGE_LEVELS levels up and stopping at the first window or
/// application, at a parent that cannot be read, or when the scan's walks are
/// over; nothing when no ancestor is a web area.
std::optional<PageArea> findPageArea(const Element& focused,
                                     const WalkState& scan);

}  // namespace kestreye
