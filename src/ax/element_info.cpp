#include "ax/element_info.h"

#include <optional>
#include <vector>

#include "ax/accessors.h"
#include "ax/roles.h"
#include "text/text.h"

namespace kestreye {
namespace {

// Screen coordinates never come near the 64-bit limits in practice; a hostile
// tree that reports them gets a saturated centre instead of an overflow.
int64_t saturatingCenter(int64_t origin, int64_t extent) {
  int64_t sum = 0;
  if (__builtin_add_overflow(origin, extent / 2, &sum)) {
    return origin > 0 ? INT64_MAX : INT64_MIN;
  }
  return sum;
}

}  // namespace

ElementInfo focusedRecord(const Element& focused, Position position,
                          Extent size) {
  return ElementInfo{focused,    axString(focused, "AXRole").value_or(""),
                     position.x, position.y,
                     size.w,     size.h,
                     true};
}

int64_t ElementInfo::centerX() const { return saturatingCenter(x, w); }

int64_t ElementInfo::centerY() const { return saturatingCenter(y, h); }

std::string ElementInfo::describeElement(const Element& target) const {
  // Nine reads, always all of them and in this order, whatever the role.
  const auto title = axString(target, "AXTitle");
  const auto description = axString(target, "AXDescription");
  const auto label = axString(target, "AXLabel");
  const auto value = axString(target, "AXValue");
  const auto placeholder = axString(target, "AXPlaceholderValue");
  const auto focused = axBool(target, "AXFocused");
  const auto enabled = axBool(target, "AXEnabled");
  const auto selected = axBool(target, "AXSelected");
  const auto selectedText = axString(target, "AXSelectedText");

  // Appends, not "[" + std::string: GCC 12 at -O3 warns falsely (-Wrestrict)
  // on a literal added to a temporary string.
  std::string out = "[";
  out += readableRole(role);
  out += ']';
  const auto add = [&out](const std::string& part) {
    out += ' ';
    out += part;
  };

  // A present empty title still wins and hides the description and label.
  const std::optional<std::string>& candidate =
      title ? title : (description ? description : label);
  if (candidate && !candidate->empty()) add(quoted(truncateString(*candidate, MAX_STRING_LENGTH)));

  if (value) {
    const std::string_view trimmed = trimSpace(*value);
    if (!trimmed.empty()) {
      add("value: " + quoted(replaceAll(truncateString(trimmed, MAX_STRING_LENGTH), "\n", "\\n")));
    }
  }

  if (placeholder && !placeholder->empty()) {
    add("placeholder: " + quoted(truncateString(*placeholder, MAX_STRING_LENGTH)));
  }

  std::vector<std::string> flags;
  if ((focused && *focused) || isFocused) flags.emplace_back("FOCUSED");
  if (enabled && !*enabled) flags.emplace_back("disabled");
  if (selected && *selected) flags.emplace_back("selected");
  if (!flags.empty()) {
    out += " (";
    out += joinWith(flags, ", ");
    out += ')';
  }

  if (selectedText && !selectedText->empty()) {
    add("selection: " + quoted(truncateString(*selectedText, 30)));
  }
  return out;
}

}  // namespace kestreye
