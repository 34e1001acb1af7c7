// The role names the AT-SPI platform reports. The core knows macOS role names
// only ("AXTextField", "AXCheckBox", ...), so every AT-SPI role is given the
// name its macOS twin control would carry, and the role sets, the readable-role
// table and the walks work unchanged on Linux.
#pragma once

#include <atspi/atspi-constants.h>

#include <string_view>

namespace kestreye::atspi {

/// What besides the AT-SPI role decides the role name of one element.
struct RoleFacts {
  bool multiLine = false;   ///< the MULTI_LINE state
  bool expandable = false;  ///< the EXPANDABLE state
  bool hasPopup = false;    ///< the HAS_POPUP state
  bool editable = false;    ///< the EDITABLE state
  /// Its text holds a line break, or its embedded objects are paragraphs:
  /// an editable one is a text area whatever its SINGLE_LINE state says
  /// (Firefox marks a role="textbox" editor without aria-multiline so).
  bool holdsLines = false;
  /// An unnamed element whose parent also holds an editable text field
  /// (asked only of toggle buttons).
  bool unnamedBesideEntry = false;
  /// A toggle button that opens a menu without saying so (HAS_POPUP): GTK 3's
  /// menu button, named "Menu" when it has no label of its own or listing
  /// the items of its menu (asked only of toggle buttons).
  bool opensMenu = false;
  /// A combo box has an editable text child (asked only of combo boxes).
  bool hasEditableTextChild = false;
  /// EDITABLE with a Text interface inside a parent that is not EDITABLE:
  /// the host of an editable web area (contenteditable).
  bool editableHost = false;
  /// The parent's AT-SPI role; ATSPI_ROLE_INVALID when there is none.
  AtspiRole parentRole = ATSPI_ROLE_INVALID;
};

/// The macOS role name for an element of this AT-SPI role.
std::string_view macRoleName(AtspiRole role, const RoleFacts& facts);

/// The macOS subrole name for an AT-SPI role, or the empty text for none.
std::string_view macSubroleName(AtspiRole role);

/// Where an element's "AXValue" comes from.
enum class ValueSource {
  None,    ///< no value: the read fails as unsupported
  Text,    ///< the Text interface's whole text (the name when there is none)
  Toggle,  ///< 0, 1 or 2 for unchecked, checked and mixed
  Number,  ///< the Value interface's current value
  PopUp,   ///< the chosen item's text
  ComboEntry,  ///< the text of the combo box's editable child
};

/// How "AXValue" is read for an element with this reported role name.
ValueSource valueSourceFor(std::string_view macRole);

/// Whether a name GTK 4 gives an element is its widget's class name
/// ("GtkStackPage", "AdwTabView", "EditorSourceView"), the name GTK 4 falls
/// back on for a widget without a label, rather than a label a user sees.
bool isGtk4ClassName(std::string_view name, AtspiRole role);

/// Whether an element of this role is a block of a web page's text (a
/// paragraph, a heading, a list, ...): its text starts a line of its own.
bool isTextBlockRole(AtspiRole role);

/// Whether an embedded object of this role is a run of text inside a line
/// (a link, a mark, a deletion).
bool isTextRunRole(AtspiRole role);

/// Whether an element of this role only lays out others (a panel, a filler,
/// a tool bar, a scroll bar, ...): the walks read no name of it, only the
/// climb from the focus for its container's label may.
bool isLayoutRole(AtspiRole role);

/// What the core's walks read of every element with a role name.
enum class WalkRead {
  Nothing,
  Frame,  ///< a button's frame
  Field,  ///< a form field's frame, label, value and selection
  Text,   ///< a static text's or a heading's text
};

/// What the walks read of an element with this reported role name.
WalkRead walkReadFor(std::string_view macRole);

/// Whether a role name is one whose element never hands out its text.
bool isSecureSubrole(std::string_view subrole);

}  // namespace kestreye::atspi
