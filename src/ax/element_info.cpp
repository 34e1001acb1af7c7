#include "ax/element_info.h"

#include <optional>
#include <vector>

#include "ax/accessors.h"
#include "ax/roles.h"
#include "text/safe_text.h"
#include "text/text.h"

namespace kestreye {
ElementInfo focusedRecord(const Element& focused, Position position,
                          Extent size) {
  return ElementInfo{focused,    axString(focused, "AXRole").value_or(""),
                     position.x, position.y,
                     size.w,     size.h,
                     true};
}

std::string ElementInfo::describeElement(const Element& target) const {
  // Nine reads, always all of them and in this order, whatever the role.
  const auto name = axDisplayName(target);
  const auto value = axString(target, "AXValue");
  const auto placeholder = axString(target, "AXPlaceholderValue");
  const auto focused = axBool(target, "AXFocused");
  const auto enabled = axBool(target, "AXEnabled");
  const auto selected = axBool(target, "AXSelected");
  const auto selectedText = axString(target, "AXSelectedText");

  // Appends, not "[" + std::string: GCC 12 at -O3 warns falsely (-Wrestrict)
  // on a literal added to a temporary string.
  std::string out = "[";
  out += safeText(readableRole(role));
  out += ']';
  const auto add = [&out](const std::string& part) {
    out += ' ';
    out += part;
  };

  if (name && !name->empty())
    add(quoted(safeText(truncateString(*name, MAX_STRING_LENGTH))));

  if (value) {
    const std::string_view trimmed = trimSpace(*value);
    if (!trimmed.empty()) {
      add("value: " +
          quoted(safeText(truncateString(trimmed, MAX_STRING_LENGTH))));
    }
  }

  if (placeholder && !placeholder->empty()) {
    add("placeholder: " +
        quoted(safeText(truncateString(*placeholder, MAX_STRING_LENGTH))));
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
    add("selection: " + quoted(safeText(truncateString(*selectedText, 30))));
  }
  return out;
}

}  // namespace kestreye
