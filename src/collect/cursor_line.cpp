#include "collect/cursor_line.h"

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <vector>

#include "ax/accessors.h"
#include "text/safe_text.h"
#include "text/text.h"

namespace kestreye {
namespace {

constexpr int64_t kContext = 25;
constexpr int64_t kLongSelection = 41;
constexpr int64_t kSelectionKeep = 18;
constexpr int64_t kHiddenLineNumber = INT64_MAX / 2;

// A long selection keeps its first and last characters around "...", counted
// on the text as shown.
std::string shortenSelection(const std::string& selection) {
  if (graphemeCountCapped(selection, kLongSelection) < kLongSelection) {
    return selection;
  }
  std::string out =
      selection.substr(0, graphemePrefixBytes(selection, kSelectionKeep));
  out += "...";
  out += selection.substr(graphemeSuffixStart(selection, kSelectionKeep));
  return out;
}

}  // namespace

std::optional<std::string> cursorContextLine(const Element& element) {
  const auto text = axString(element, "AXValue");
  if (!text || text->empty()) return std::nullopt;
  const auto range = axRange(element, "AXSelectedTextRange");
  if (!range) return std::nullopt;

  const int64_t count = graphemeCount(*text);
  const int64_t caret = std::clamp<int64_t>(range->location, 0, count);
  const int64_t selectionLength = std::max<int64_t>(range->length, 0);
  // Written so that a hostile length cannot overflow the sum.
  const int64_t selectionEnd = caret + std::min(selectionLength, count - caret);
  const int64_t windowStart = std::max<int64_t>(caret - kContext, 0);
  const int64_t windowEnd = std::min(selectionEnd + kContext, count);

  const std::vector<size_t> at =
      graphemeOffsets(*text, {windowStart, caret, selectionEnd, windowEnd});
  const std::string_view all = *text;
  const auto piece = [&](size_t from, size_t to) {
    return safeText(all.substr(at[from], at[to] - at[from]));
  };

  std::string shown = caret > kContext ? "..." : "";
  shown += piece(0, 1);
  std::string item;
  if (selectionLength == 0) {
    shown += "|";
    shown += piece(1, 3);
    item = "pos " + std::to_string(caret) + "/" + std::to_string(count);
  } else {
    shown += "[";
    shown += shortenSelection(piece(1, 2));
    shown += "]";
    shown += piece(2, 3);
    item = "selected " + std::to_string(caret) + "-" +
           std::to_string(selectionEnd);
  }
  if (selectionEnd + kContext < count) shown += "...";

  const auto lineNumber = axInt(element, "AXInsertionPointLineNumber");
  if (lineNumber && *lineNumber < kHiddenLineNumber) {
    item += ", line " + std::to_string(*lineNumber);
  }
  return "cursor: \"" + shown + "\" (" + item + ")";
}

}  // namespace kestreye
