#include "scan/scan.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "ax/accessors.h"
#include "ax/element_info.h"
#include "ax/roles.h"
#include "collect/ancestor_context.h"
#include "collect/collect.h"
#include "collect/container_label.h"
#include "collect/page_area.h"
#include "format/ui_block.h"
#include "platform/platform.h"
#include "scan/scan_state.h"
#include "text/text.h"

namespace kestreye {
namespace {

ErrorResponse failure(std::string_view logged, std::string message) {
  logLine(logged);
  return ErrorResponse{std::move(message)};
}

}  // namespace

Reply scanReply(const ScanDeadlines& deadlines, std::atomic<ScanStep>* step) {
  ScanState scan{deadlines, {{}, deadlines.walksEnd}};
  scan.step = step;
  scan.enter(ScanStep::Starting);
  const ScanScope platformScan(deadlines.readsEnd);
  if (!isProcessTrusted()) {
    return failure(
        "[kestreye] Not trusted \u2014 accessibility permission required",
        "Accessibility permission not granted");
  }
  scan.enter(ScanStep::FindingApplication);
  const std::optional<int32_t> pid = frontmostProcessId();
  if (!pid) {
    return failure("[kestreye] No frontmost app", "No frontmost application");
  }
  const Element application = applicationElement(*pid);

  scan.enter(ScanStep::ReadingFocus);
  // The window is read before the focused element.
  std::optional<Element> window;
  if (auto value = axValue(application, "AXFocusedWindow")) {
    window = asElement(std::move(*value));
  }
  auto focusedValue = axValue(application, "AXFocusedUIElement");
  if (!focusedValue) {
    return failure("[kestreye] No focused element", "No focused element");
  }
  const Element focused = asElement(std::move(*focusedValue));
  scan.enter(ScanStep::Gathering);

  const Position position = axPosition(focused).value_or(Position{});
  const Extent size = axSize(focused).value_or(Extent{});

  if (!window) {
    const ElementInfo record = focusedRecord(focused, position, size);
    return SuccessResponse{"Focused: " + record.describeElement(focused)};
  }

  // Inside a web page the page stands for the window: the browser's toolbar
  // and address bar are not the context of a field on the page.
  const std::optional<PageArea> page = findPageArea(focused, scan.walks);
  const Element& walkRoot = page ? page->element : *window;
  const int64_t contextLevels = page ? std::min<int64_t>(12, page->level) : 12;

  scan.walks.walk = WalkBudget{};
  const auto inputs =
      collectAllElements(walkRoot, INPUT_ROLES, scan.walks, 25, 0);
  const auto nearby =
      filterNearby(inputs, position.x, position.y, size.w, size.h,
                   NEARBY_LEFT_EDGE, NEARBY_ABOVE, NEARBY_BELOW);
  const auto nearbyInputs = dedup(nearby, 15);

  const auto containerLabel = findContainerLabel(focused, scan.walks, 10);

  scan.walks.walk = WalkBudget{};
  const AncestorContext context =
      collectAncestorContext(focused, scan.walks, contextLevels);
  const auto nearbyButtons = dedup(context.buttons, 15);

  std::string block = formatForLLM(focused, position, size, containerLabel,
                                   nearbyInputs, nearbyButtons, context.texts);
  logLine("[kestreye] scan complete: " + std::to_string(graphemeCount(block)) +
          " chars");
  return SuccessResponse{std::move(block)};
}

}  // namespace kestreye
