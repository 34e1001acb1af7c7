#include "collect/page_area.h"

#include <string>
#include <utility>

#include "ax/accessors.h"

namespace kestreye {

std::optional<PageArea> findPageArea(const Element& focused,
                                     const WalkState& scan) {
  std::optional<PageArea> outermost;
  Element current = focused;
  for (int64_t level = 1; level <= MAX_PAGE_LEVELS && !scan.walksOver();
       ++level) {
    auto parentValue = axValue(current, "AXParent");
    if (!parentValue) break;
    Element parent = asElement(std::move(*parentValue));
    const std::string role = axString(parent, "AXRole").value_or("");
    if (role == "AXWindow" || role == "AXApplication") break;
    // An iframe's document sits inside its page's: keep climbing, so the page
    // that holds an embedded editor is the context, not the editor's frame.
    if (role == "AXWebArea") outermost = PageArea{parent, level};
    current = std::move(parent);
  }
  return outermost;
}

}  // namespace kestreye
