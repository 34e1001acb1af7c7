#include "ax/roles.h"

#include <array>
#include <cstdint>
#include <utility>

#include "text/text.h"

namespace kestreye {

const RoleSet INPUT_ROLES = {"AXTextField", "AXTextArea",    "AXComboBox",
                             "AXCheckBox",  "AXRadioButton", "AXPopUpButton",
                             "AXSlider"};

const RoleSet INTERACTIVE_ROLES = {"AXButton",
                                   "AXLink",
                                   "AXTextField",
                                   "AXTextArea",
                                   "AXCheckBox",
                                   "AXRadioButton",
                                   "AXPopUpButton",
                                   "AXComboBox",
                                   "AXSlider",
                                   "AXMenuItem",
                                   "AXMenuButton",
                                   "AXTab",
                                   "AXDisclosureTriangle"};

namespace {

constexpr std::array<std::pair<std::string_view, std::string_view>, 26>
    kReadableRoles = {{
        {"AXApplication", "App"},
        {"AXWindow", "Window"},
        {"AXSheet", "Sheet"},
        {"AXDialog", "Dialog"},
        {"AXButton", "Button"},
        {"AXRadioButton", "RadioButton"},
        {"AXCheckBox", "CheckBox"},
        {"AXPopUpButton", "Dropdown"},
        {"AXMenuButton", "MenuButton"},
        {"AXTextField", "TextField"},
        {"AXTextArea", "TextArea"},
        {"AXStaticText", "Text"},
        {"AXHeading", "Heading"},
        {"AXLink", "Link"},
        {"AXImage", "Image"},
        {"AXGroup", "Group"},
        {"AXList", "List"},
        {"AXTable", "Table"},
        {"AXRow", "Row"},
        {"AXScrollArea", "ScrollArea"},
        {"AXToolbar", "Toolbar"},
        {"AXTabGroup", "TabGroup"},
        {"AXTab", "Tab"},
        {"AXWebArea", "WebArea"},
        {"AXComboBox", "ComboBox"},
        {"AXSlider", "Slider"},
    }};

}  // namespace

std::string readableRole(const std::optional<std::string>& role) {
  if (!role) return "Unknown";
  for (const auto& [key, word] : kReadableRoles) {
    if (key == *role) return std::string(word);
  }
  return replaceAll(*role, "AX", "");
}

}  // namespace kestreye
