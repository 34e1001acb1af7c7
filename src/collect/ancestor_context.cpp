#include "collect/ancestor_context.h"

#include <optional>
#include <utility>

#include "ax/accessors.h"
#include "ax/roles.h"
#include "text/text.h"

namespace kestreye {
namespace {

// The text of a static text or heading: "AXValue" when it is a string, even
// an empty one; otherwise "AXTitle"; otherwise nothing.
std::string rawText(const Element& element) {
  if (auto value = axString(element, "AXValue")) return std::move(*value);
  return axString(element, "AXTitle").value_or("");
}

void collectInto(const Element& start, WalkBudget& budget, int64_t maxDepth,
                 int64_t currentDepth, AncestorContext& out) {
  if (budget.elementCount >= MAX_ELEMENTS) return;
  for (Element& child : axChildren(start)) {
    if (budget.examinedCount >= MAX_EXAMINED_ELEMENTS) return;
    ++budget.examinedCount;
    const std::string role = axString(child, "AXRole").value_or("");
    if (role == "AXStaticText" || role == "AXHeading") {
      const std::string raw = rawText(child);
      const std::string_view trimmed = trimSpace(raw);
      const int64_t length = graphemeCountCapped(trimmed, 200);
      if (length >= 3 && length < 200) {
        out.texts.push_back(replaceAll(trimmed, "\n", " "));
        ++budget.elementCount;
      }
    }
    if (INTERACTIVE_ROLES.find(role) != INTERACTIVE_ROLES.end()) {
      if (const auto position = axPosition(child)) {
        const auto size = axSize(child);
        if (size && size->w >= 6 && size->h >= 6) {
          const bool focused = axBool(child, "AXFocused").value_or(false);
          out.buttons.push_back(ElementInfo{child, role, position->x,
                                            position->y, size->w, size->h,
                                            focused});
          ++budget.elementCount;
        }
      }
    }
    if (currentDepth < maxDepth) {
      collectInto(child, budget, maxDepth, currentDepth + 1, out);
    }
  }
}

}  // namespace

AncestorContext collectFromSubtree(const Element& start, ScanState& scan,
                                   int64_t maxDepth, int64_t currentDepth) {
  AncestorContext context;
  collectInto(start, scan.walk, maxDepth, currentDepth, context);
  return context;
}

AncestorContext collectAncestorContext(const Element& focused, ScanState& scan,
                                       int64_t maxLevels) {
  AncestorContext chosen;
  Element current = focused;
  for (int64_t level = 0; level < maxLevels; ++level) {
    auto parentValue = axValue(current, "AXParent");
    if (!parentValue) break;
    Element parent = asElement(std::move(*parentValue));
    const std::string role = axString(parent, "AXRole").value_or("");
    if (role == "AXWindow" || role == "AXApplication") break;
    scan.walk = WalkBudget{};
    AncestorContext walked = collectFromSubtree(parent, scan, 8, 0);
    const auto texts = static_cast<int64_t>(walked.texts.size());
    const auto buttons = static_cast<int64_t>(walked.buttons.size());
    if (texts >= 2 || buttons >= 2) {
      if (texts >= 5 && buttons >= 3) return walked;
      chosen = std::move(walked);
    }
    current = std::move(parent);
  }
  return chosen;
}

}  // namespace kestreye
