#include "collect/ancestor_context.h"

#include <optional>
#include <string>
#include <utility>

#include "ax/accessors.h"
#include "ax/roles.h"
#include "collect/walk.h"
#include "text/text.h"

namespace kestreye {
namespace {

// The text of a static text or heading: "AXValue" when it is a string, even
// an empty one; otherwise "AXTitle"; otherwise nothing.
std::string rawText(const Element& element) {
  if (auto value = axString(element, "AXValue")) return std::move(*value);
  return axString(element, "AXTitle").value_or("");
}

}  // namespace

AncestorContext collectFromSubtree(const Element& start, WalkState& scan,
                                   int64_t maxDepth, int64_t currentDepth) {
  AncestorContext out;
  auto visit = [&](const Element& child, const std::string& role) {
    if (role == "AXStaticText" || role == "AXHeading") {
      const std::string raw = rawText(child);
      const std::string_view trimmed = trimSpace(raw);
      const int64_t length = graphemeCountCapped(trimmed, 200);
      if (length >= 3 && length < 200) {
        out.texts.push_back(replaceAll(trimmed, "\n", " "));
        ++scan.walk.elementCount;
      }
    }
    if (INTERACTIVE_ROLES.find(role) != INTERACTIVE_ROLES.end()) {
      if (const auto frame = usableFrame(child)) {
        const bool focused = axBool(child, "AXFocused").value_or(false);
        out.buttons.push_back(ElementInfo{child, role, frame->position.x,
                                          frame->position.y, frame->size.w,
                                          frame->size.h, focused});
        ++scan.walk.elementCount;
      }
    }
  };
  walkDescendants(start, maxDepth, currentDepth, scan, visit);
  return out;
}

AncestorContext collectAncestorContext(const Element& focused, WalkState& scan,
                                       int64_t maxLevels) {
  AncestorContext chosen;
  bool rich = false;
  auto visit = [&](const Element& parent, const std::string&) {
    scan.walk = WalkBudget{};
    AncestorContext walked = collectFromSubtree(parent, scan, 8, 0);
    const auto texts = static_cast<int64_t>(walked.texts.size());
    const auto buttons = static_cast<int64_t>(walked.buttons.size());
    if (texts >= 2 || buttons >= 2) {
      rich = texts >= 5 && buttons >= 3;
      chosen = std::move(walked);
    }
    return rich;
  };
  climbAncestors(focused, maxLevels, scan, visit);
  return chosen;
}

}  // namespace kestreye
