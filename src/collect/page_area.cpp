#include "collect/page_area.h"

#include <string>

#include "collect/walk.h"

namespace kestreye {

std::optional<PageArea> findPageArea(const Element& focused,
                                     const WalkState& scan) {
  std::optional<PageArea> outermost;
  int64_t level = 0;
  // An iframe's document sits inside its page's: the climb goes on past a
  // web area, so the page that holds an embedded editor is the context, not
  // the editor's frame.
  auto visit = [&](const Element& parent, const std::string& role) {
    ++level;
    if (role == "AXWebArea") outermost = PageArea{parent, level};
    return false;
  };
  climbAncestors(focused, MAX_PAGE_LEVELS, scan, visit);
  return outermost;
}

}  // namespace kestreye
