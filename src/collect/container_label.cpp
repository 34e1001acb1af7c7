#include "collect/container_label.h"

#include <utility>

#include "ax/accessors.h"
#include "text/text.h"

namespace kestreye {

std::optional<std::string> findContainerLabel(const Element& focused,
                                              int64_t maxLevels) {
  Element current = focused;
  for (int64_t level = 0; level < maxLevels; ++level) {
    auto parentValue = axValue(current, "AXParent");
    if (!parentValue) return std::nullopt;
    Element parent = asElement(std::move(*parentValue));
    const std::string role = axString(parent, "AXRole").value_or("");
    if (role == "AXWindow" || role == "AXApplication") return std::nullopt;
    // All three are read before one is picked; a present empty string hides
    // the ones after it.
    auto title = axString(parent, "AXTitle");
    auto description = axString(parent, "AXDescription");
    auto label = axString(parent, "AXLabel");
    std::optional<std::string>& candidate =
        title ? title : (description ? description : label);
    if (candidate && graphemeCountCapped(*candidate, 4) >= 4) {
      return std::move(candidate);
    }
    current = std::move(parent);
  }
  return std::nullopt;
}

}  // namespace kestreye
