#include "platform/atspi/roles.h"

#include <algorithm>
#include <iterator>

#include "platform/platform.h"

namespace kestreye::atspi {
namespace {

// A text that is typed into in lines: marked MULTI_LINE, or editable and
// holding lines.
std::string_view textRoleName(const RoleFacts& facts) {
  return facts.multiLine || (facts.editable && facts.holdsLines)
             ? "AXTextArea"
             : "AXTextField";
}

}  // namespace

std::string_view macRoleName(AtspiRole role, const RoleFacts& facts) {
  // Every direct child of an application is a top-level window, whatever its
  // role: GTK says FRAME, DIALOG, ALERT or WINDOW, Qt says FILLER.
  if (facts.parentRole == ATSPI_ROLE_APPLICATION) return "AXWindow";
  // Web engines expose a contenteditable element as a section or paragraph
  // that is EDITABLE and carries a Text interface, and a document in design
  // mode (Thunderbird's message body, an iframe editor) as an EDITABLE
  // document; the controls keep theirs.
  if (facts.editableHost) {
    switch (role) {
      case ATSPI_ROLE_PASSWORD_TEXT:
      case ATSPI_ROLE_SPIN_BUTTON:
      case ATSPI_ROLE_COMBO_BOX:
      case ATSPI_ROLE_DOCUMENT_TEXT:
      case ATSPI_ROLE_DOCUMENT_EMAIL:
      case ATSPI_ROLE_TERMINAL:
        break;
      // A document holds lines, whatever its body says (Chromium's is
      // SINGLE_LINE).
      case ATSPI_ROLE_DOCUMENT_WEB:
      case ATSPI_ROLE_DOCUMENT_FRAME:
        return "AXTextArea";
      default:
        return textRoleName(facts);
    }
  }

  switch (role) {
    case ATSPI_ROLE_APPLICATION:
      return "AXApplication";
    case ATSPI_ROLE_FRAME:
    case ATSPI_ROLE_DIALOG:
    case ATSPI_ROLE_WINDOW:
      return "AXWindow";

    case ATSPI_ROLE_TEXT:
    case ATSPI_ROLE_ENTRY:
      return textRoleName(facts);
    case ATSPI_ROLE_PASSWORD_TEXT:
      return "AXTextField";
    // A spin button is typed into like a text field; its macOS twin is a text
    // field with a stepper beside it, and the field is what takes the focus.
    case ATSPI_ROLE_SPIN_BUTTON:
      return "AXTextField";
    case ATSPI_ROLE_TERMINAL:
    case ATSPI_ROLE_DOCUMENT_TEXT:
    case ATSPI_ROLE_DOCUMENT_EMAIL:
      return "AXTextArea";
    case ATSPI_ROLE_COMBO_BOX:
      return facts.hasEditableTextChild ? "AXComboBox" : "AXPopUpButton";

    case ATSPI_ROLE_CHECK_BOX:
      return "AXCheckBox";
    // GtkExpander is a toggle button that can expand; GtkMenuButton is a
    // toggle button with a pop-up (GTK 3's does not say so: gedit's header
    // bar menus).
    case ATSPI_ROLE_TOGGLE_BUTTON:
      if (facts.expandable) return "AXDisclosureTriangle";
      // LibreOffice draws a combo box as an entry and, beside it, an unnamed
      // toggle button that opens the list.
      if (facts.hasPopup || facts.unnamedBesideEntry || facts.opensMenu) {
        return "AXMenuButton";
      }
      // A toolbar's toggles (Bold, Print Preview) are commands, not fields.
      if (facts.parentRole == ATSPI_ROLE_TOOL_BAR) return "AXButton";
      return "AXCheckBox";
    case ATSPI_ROLE_RADIO_BUTTON:
      return "AXRadioButton";
    case ATSPI_ROLE_SLIDER:
    case ATSPI_ROLE_DIAL:
      return "AXSlider";
    case ATSPI_ROLE_PUSH_BUTTON:
      return facts.hasPopup ? "AXMenuButton" : "AXButton";
    case ATSPI_ROLE_PUSH_BUTTON_MENU:
      return "AXMenuButton";
    case ATSPI_ROLE_LINK:
      return "AXLink";

    case ATSPI_ROLE_MENU_ITEM:
    case ATSPI_ROLE_CHECK_MENU_ITEM:
    case ATSPI_ROLE_RADIO_MENU_ITEM:
    case ATSPI_ROLE_TEAROFF_MENU_ITEM:
      return "AXMenuItem";
    // A GTK menu is also the item that opens it: the title in a menu bar, a
    // submenu entry inside another menu.
    case ATSPI_ROLE_MENU:
      if (facts.parentRole == ATSPI_ROLE_MENU_BAR) return "AXMenuBarItem";
      if (facts.parentRole == ATSPI_ROLE_MENU ||
          facts.parentRole == ATSPI_ROLE_POPUP_MENU) {
        return "AXMenuItem";
      }
      return "AXMenu";
    case ATSPI_ROLE_POPUP_MENU:
      return "AXMenu";
    case ATSPI_ROLE_MENU_BAR:
      return "AXMenuBar";

    case ATSPI_ROLE_PAGE_TAB:
      return "AXTab";
    case ATSPI_ROLE_PAGE_TAB_LIST:
      return "AXTabGroup";

    case ATSPI_ROLE_LABEL:
    case ATSPI_ROLE_STATIC:
    case ATSPI_ROLE_CAPTION:
    case ATSPI_ROLE_ACCELERATOR_LABEL:
    // Web engines put a paragraph's text in the paragraph itself, with no
    // text leaves below it; a word processor's paragraph is typed into.
    case ATSPI_ROLE_PARAGRAPH:
      if (facts.editable) return textRoleName(facts);
      return "AXStaticText";
    case ATSPI_ROLE_HEADING:
      return "AXHeading";

    case ATSPI_ROLE_IMAGE:
    case ATSPI_ROLE_ICON:
    case ATSPI_ROLE_ANIMATION:
      return "AXImage";
    case ATSPI_ROLE_LIST:
    case ATSPI_ROLE_LIST_BOX:
    case ATSPI_ROLE_DESCRIPTION_LIST:
      return "AXList";
    case ATSPI_ROLE_TABLE:
    case ATSPI_ROLE_TREE_TABLE:
    case ATSPI_ROLE_TREE:
      return "AXTable";
    case ATSPI_ROLE_TABLE_ROW:
    case ATSPI_ROLE_TREE_ITEM:
      return "AXRow";
    case ATSPI_ROLE_TABLE_CELL:
      return "AXCell";
    case ATSPI_ROLE_TABLE_COLUMN_HEADER:
    case ATSPI_ROLE_COLUMN_HEADER:
      return "AXColumnHeader";
    case ATSPI_ROLE_SCROLL_PANE:
      return "AXScrollArea";
    case ATSPI_ROLE_SCROLL_BAR:
      return "AXScrollBar";
    case ATSPI_ROLE_TOOL_BAR:
      return "AXToolbar";
    case ATSPI_ROLE_PROGRESS_BAR:
    case ATSPI_ROLE_LEVEL_BAR:
      return "AXProgressIndicator";
    case ATSPI_ROLE_SPLIT_PANE:
      return "AXSplitGroup";
    case ATSPI_ROLE_SEPARATOR:
      return "AXSplitter";
    case ATSPI_ROLE_DOCUMENT_WEB:
    case ATSPI_ROLE_DOCUMENT_FRAME:
      return "AXWebArea";
    case ATSPI_ROLE_CALENDAR:
    case ATSPI_ROLE_DATE_EDITOR:
      return "AXDateField";
    case ATSPI_ROLE_TOOL_TIP:
      return "AXHelpTag";

    // Containers: panels, fillers, sections, forms, groupings, status bars,
    // alerts that are not top-level, and every role without a macOS twin.
    default:
      return "AXGroup";
  }
}

std::string_view macSubroleName(AtspiRole role) {
  return role == ATSPI_ROLE_PASSWORD_TEXT ? SECURE_SUBROLE : "";
}

ValueSource valueSourceFor(std::string_view macRole) {
  if (macRole == "AXTextField" || macRole == "AXTextArea" ||
      macRole == "AXStaticText" || macRole == "AXHeading") {
    return ValueSource::Text;
  }
  if (macRole == "AXCheckBox" || macRole == "AXRadioButton" ||
      macRole == "AXDisclosureTriangle") {
    return ValueSource::Toggle;
  }
  if (macRole == "AXSlider" || macRole == "AXProgressIndicator" ||
      macRole == "AXScrollBar") {
    return ValueSource::Number;
  }
  if (macRole == "AXPopUpButton") return ValueSource::PopUp;
  if (macRole == "AXComboBox") return ValueSource::ComboEntry;
  return ValueSource::None;
}

bool isGtk4ClassName(std::string_view name, AtspiRole role) {
  auto upper = [](char c) { return c >= 'A' && c <= 'Z'; };
  auto alnum = [&](char c) {
    return upper(c) || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
  };
  if (name.size() < 4 || !upper(name.front()) ||
      !std::all_of(name.begin(), name.end(), alnum)) {
    return false;
  }
  // GTK's and libadwaita's own classes carry their namespace.
  for (std::string_view space : {"Gtk", "Adw", "Gdk", "Gsk"}) {
    if (name.starts_with(space) && upper(name[space.size()])) return true;
  }
  // A class name is a namespace and a type ("EditorPage", "EditorSourceView");
  // so are brands ("GitHub", "PowerPoint"), which label buttons and texts but
  // hardly a plain container. Three capitalised words are no brand.
  int words = 0;
  for (size_t i = 0; i < name.size(); ++i) {
    if (upper(name[i]) && (i == 0 || !upper(name[i - 1]))) ++words;
  }
  if (words >= 3) return true;
  if (words < 2) return false;
  switch (role) {
    case ATSPI_ROLE_FILLER:
    case ATSPI_ROLE_PANEL:
    case ATSPI_ROLE_SECTION:
    case ATSPI_ROLE_GROUPING:
    case ATSPI_ROLE_SCROLL_PANE:
    case ATSPI_ROLE_VIEWPORT:
    case ATSPI_ROLE_SPLIT_PANE:
    case ATSPI_ROLE_LAYERED_PANE:
    case ATSPI_ROLE_REDUNDANT_OBJECT:
    case ATSPI_ROLE_UNKNOWN:
      return true;
    default:
      return false;
  }
}

bool isTextRunRole(AtspiRole role) {
  switch (role) {
    case ATSPI_ROLE_LINK:
    case ATSPI_ROLE_LABEL:
    case ATSPI_ROLE_MARK:
    case ATSPI_ROLE_SUBSCRIPT:
    case ATSPI_ROLE_SUPERSCRIPT:
    case ATSPI_ROLE_CONTENT_DELETION:
    case ATSPI_ROLE_CONTENT_INSERTION:
      return true;
    default:
      return false;
  }
}

bool isTextBlockRole(AtspiRole role) {
  switch (role) {
    case ATSPI_ROLE_SECTION:
    case ATSPI_ROLE_PARAGRAPH:
    case ATSPI_ROLE_HEADING:
    case ATSPI_ROLE_BLOCK_QUOTE:
    case ATSPI_ROLE_LIST:
    case ATSPI_ROLE_LIST_ITEM:
      return true;
    default:
      return false;
  }
}

bool isSecureSubrole(std::string_view subrole) {
  return subrole == SECURE_SUBROLE;
}

WalkRead walkReadFor(std::string_view macRole) {
  // The roles the form-field walk keeps, and those the walk for buttons
  // keeps besides.
  static constexpr std::string_view kFields[] = {
      "AXTextField",   "AXTextArea",    "AXComboBox", "AXCheckBox",
      "AXRadioButton", "AXPopUpButton", "AXSlider"};
  static constexpr std::string_view kButtons[] = {
      "AXButton",     "AXLink", "AXMenuItem",
      "AXMenuButton", "AXTab",  "AXDisclosureTriangle"};
  auto among = [macRole](const auto& names) {
    return std::find(std::begin(names), std::end(names), macRole) !=
           std::end(names);
  };
  if (macRole == "AXStaticText" || macRole == "AXHeading") {
    return WalkRead::Text;
  }
  return among(kFields)    ? WalkRead::Field
         : among(kButtons) ? WalkRead::Frame
                           : WalkRead::Nothing;
}

bool isLayoutRole(AtspiRole role) {
  switch (role) {
    case ATSPI_ROLE_FILLER:
    case ATSPI_ROLE_PANEL:
    case ATSPI_ROLE_SCROLL_PANE:
    case ATSPI_ROLE_VIEWPORT:
    case ATSPI_ROLE_SPLIT_PANE:
    case ATSPI_ROLE_LAYERED_PANE:
    case ATSPI_ROLE_ROOT_PANE:
    case ATSPI_ROLE_TOOL_BAR:
    case ATSPI_ROLE_STATUS_BAR:
    case ATSPI_ROLE_MENU_BAR:
    case ATSPI_ROLE_SEPARATOR:
    case ATSPI_ROLE_SCROLL_BAR:
      return true;
    default:
      return false;
  }
}

}  // namespace kestreye::atspi
