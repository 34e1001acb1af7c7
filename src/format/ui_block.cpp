#include "format/ui_block.h"

#include <algorithm>
#include <cstdint>
#include <unordered_set>

#include "ax/roles.h"
#include "collect/cursor_line.h"
#include "text/safe_text.h"
#include "text/text.h"

namespace kestreye {
namespace {

constexpr int64_t kContainerLabelLength = 80;
constexpr int64_t kNearbyTextLength = 80;

// Repeats removed, the first occurrence of each kept in place.
std::vector<std::string> withoutRepeats(const std::vector<std::string>& items) {
  std::vector<std::string> unique;
  std::unordered_set<std::string_view> seen;
  for (const auto& item : items) {
    if (seen.insert(item).second) unique.push_back(item);
  }
  return unique;
}

void addFormFields(const std::vector<ElementInfo>& nearbyInputs,
                   std::vector<std::string>& lines) {
  if (nearbyInputs.empty()) return;
  std::vector<const ElementInfo*> sorted;
  sorted.reserve(nearbyInputs.size());
  for (const auto& info : nearbyInputs) sorted.push_back(&info);
  std::stable_sort(sorted.begin(), sorted.end(),
                   [](const ElementInfo* a, const ElementInfo* b) {
                     return a->y < b->y || (a->y == b->y && a->x < b->x);
                   });
  lines.emplace_back();
  lines.emplace_back("Form fields (tab order):");
  const auto count = static_cast<int64_t>(sorted.size());
  const int64_t shown = std::min(count, MAX_FORM_FIELDS);
  for (int64_t k = 0; k < shown; ++k) {
    const ElementInfo& entry = *sorted[static_cast<size_t>(k)];
    std::string line = "  " + std::to_string(k + 1) + ". " +
                       entry.describeElement(entry.element);
    if (entry.isFocused) line += " \u2190 you are here";
    lines.push_back(std::move(line));
  }
  if (count > MAX_FORM_FIELDS) {
    lines.push_back("  ...and " + std::to_string(count - MAX_FORM_FIELDS) +
                    " more");
  }
}

void addActions(const std::vector<ElementInfo>& nearbyButtons,
                std::vector<std::string>& lines) {
  std::vector<std::string> items;
  for (const auto& button : nearbyButtons) {
    // Both are read for every entry, before repeats and the cut.
    const auto title = axString(button.element, "AXTitle");
    const auto description = axString(button.element, "AXDescription");
    const std::string label =
        title && !title->empty() ? *title : description.value_or("");
    if (label.empty()) continue;
    items.push_back(quoted(safeText(truncateString(label, MAX_STRING_LENGTH))));
  }
  if (items.empty()) return;
  items = withoutRepeats(items);
  if (static_cast<int64_t>(items.size()) > MAX_ACTIONS)
    items.resize(MAX_ACTIONS);
  lines.emplace_back();
  lines.push_back("Actions: " + joinWith(items, ", "));
}

void addNearbyTexts(const std::vector<std::string>& nearbyTexts,
                    std::vector<std::string>& lines) {
  // Repeats are found among the whole texts as they would be shown, so that
  // two texts that differ only in what is dropped give one item; the cut is
  // made on the text as read.
  std::vector<std::string> items;
  std::unordered_set<std::string> seen;
  for (const auto& text : nearbyTexts) {
    if (static_cast<int64_t>(items.size()) >= MAX_TEXT_SNIPPETS) break;
    if (!seen.insert(safeText(text)).second) continue;
    items.push_back(quoted(safeText(truncateString(text, kNearbyTextLength))));
  }
  if (items.empty()) return;
  lines.emplace_back();
  lines.push_back("Nearby: " + joinWith(items, ", "));
}

}  // namespace

std::string formatForLLM(const Element& focused, Position focusedPos,
                         Extent focusedSize,
                         const std::optional<std::string>& containerLabel,
                         const std::vector<ElementInfo>& nearbyInputs,
                         const std::vector<ElementInfo>& nearbyButtons,
                         const std::vector<std::string>& nearbyTexts) {
  const ElementInfo record = focusedRecord(focused, focusedPos, focusedSize);
  std::vector<std::string> lines;
  std::string focusedLine = "Focused: " + record.describeElement(focused);
  if (containerLabel) {
    focusedLine += " in " + quoted(safeText(truncateString(
                                *containerLabel, kContainerLabelLength)));
  }
  lines.push_back(std::move(focusedLine));
  if (auto cursor = cursorContextLine(focused))
    lines.push_back(std::move(*cursor));

  addFormFields(nearbyInputs, lines);
  addActions(nearbyButtons, lines);
  addNearbyTexts(nearbyTexts, lines);

  std::string block;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) block += '\n';
    block += lines[i];
  }
  return block;
}

}  // namespace kestreye
