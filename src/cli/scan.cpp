#include "cli/scan.h"

#include <optional>
#include <string>
#include <utility>

#include "ax/accessors.h"
#include "ax/element_info.h"
#include "ax/roles.h"
#include "text/text.h"
#include "cli/reply.h"
#include "collect/ancestor_context.h"
#include "collect/collect.h"
#include "collect/container_label.h"
#include "format/ui_block.h"
#include "platform/platform.h"

namespace kestreye {

void scan() {
  if (!isProcessTrusted()) {
    logLine("[kestreye] Not trusted \u2014 accessibility permission required");
    outputError("Accessibility permission not granted");
    return;
  }
  const std::optional<int32_t> pid = frontmostProcessId();
  if (!pid) {
    logLine("[kestreye] No frontmost app");
    outputError("No frontmost application");
    return;
  }
  const Element application = applicationElement(*pid);

  // The window is read before the focused element.
  std::optional<Element> window;
  if (auto value = axValue(application, "AXFocusedWindow")) {
    window = asElement(std::move(*value));
  }
  auto focusedValue = axValue(application, "AXFocusedUIElement");
  if (!focusedValue) {
    logLine("[kestreye] No focused element");
    outputError("No focused element");
    return;
  }
  const Element focused = asElement(std::move(*focusedValue));

  const Position position = axPosition(focused).value_or(Position{});
  const Extent size = axSize(focused).value_or(Extent{});

  if (!window) {
    const ElementInfo record = focusedRecord(focused, position, size);
    outputSuccess("Focused: " + record.describeElement(focused));
    return;
  }

  resetWalkBudget();
  const auto inputs = collectAllElements(*window, INPUT_ROLES, 25, 0);
  const auto nearby = filterNearby(inputs, position.x, position.y, size.w,
                                   size.h, 120, 400, 300);
  const auto nearbyInputs = dedup(nearby, 15);

  const auto containerLabel = findContainerLabel(focused, 10);

  resetWalkBudget();
  const AncestorContext context = collectAncestorContext(focused, 12);
  const auto nearbyButtons = dedup(context.buttons, 15);

  const std::string block =
      formatForLLM(focused, position, size, containerLabel, nearbyInputs,
                   nearbyButtons, context.texts);
  logLine("[kestreye] scan complete: " + std::to_string(graphemeCount(block)) +
          " chars");
  outputSuccess(block);
}

}  // namespace kestreye
