#include "platform/atspi/roles.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ax/roles.h"

namespace kestreye::atspi {
namespace {

// The roles whose macOS twin depends on more than the AT-SPI role: a state,
// an editable child, or where the element hangs.
struct RoleCase {
  AtspiRole role;
  RoleFacts facts;
  std::string_view expected;
};

RoleFacts under(AtspiRole parent) {
  RoleFacts facts;
  facts.parentRole = parent;
  return facts;
}

RoleFacts with(bool RoleFacts::*flag) {
  RoleFacts facts = under(ATSPI_ROLE_PANEL);
  facts.*flag = true;
  return facts;
}

TEST(AtspiRolesTest, RolesThatDependOnStateOrPlace) {
  const RoleFacts plain = under(ATSPI_ROLE_PANEL);
  const RoleFacts top = under(ATSPI_ROLE_APPLICATION);
  RoleFacts editableLines = with(&RoleFacts::editable);
  editableLines.multiLine = true;
  RoleFacts editableHost = with(&RoleFacts::editableHost);
  editableHost.multiLine = true;
  // Editable and holding lines, without MULTI_LINE: Firefox's role="textbox"
  // editors (tiptap, Lexical, CKEditor 5).
  RoleFacts linesTyped = with(&RoleFacts::editable);
  linesTyped.holdsLines = true;
  RoleFacts linesHost = linesTyped;
  linesHost.editableHost = true;
  const std::vector<RoleCase> cases = {
      {ATSPI_ROLE_TEXT, plain, "AXTextField"},
      {ATSPI_ROLE_ENTRY, with(&RoleFacts::multiLine), "AXTextArea"},
      {ATSPI_ROLE_PASSWORD_TEXT, plain, "AXTextField"},
      {ATSPI_ROLE_COMBO_BOX, plain, "AXPopUpButton"},
      {ATSPI_ROLE_COMBO_BOX, with(&RoleFacts::hasEditableTextChild),
       "AXComboBox"},
      // GtkExpander is a toggle button that can expand; GtkMenuButton one
      // with a pop-up.
      {ATSPI_ROLE_TOGGLE_BUTTON, plain, "AXCheckBox"},
      {ATSPI_ROLE_TOGGLE_BUTTON, with(&RoleFacts::hasPopup), "AXMenuButton"},
      {ATSPI_ROLE_TOGGLE_BUTTON, with(&RoleFacts::expandable),
       "AXDisclosureTriangle"},
      {ATSPI_ROLE_PUSH_BUTTON, with(&RoleFacts::hasPopup), "AXMenuButton"},
      // GTK 3's menu button in gedit's header bar says nothing of its menu.
      {ATSPI_ROLE_TOGGLE_BUTTON, with(&RoleFacts::opensMenu), "AXMenuButton"},
      // LibreOffice's Bold and Print Preview: commands, not form fields.
      {ATSPI_ROLE_TOGGLE_BUTTON, under(ATSPI_ROLE_TOOL_BAR), "AXButton"},
      {ATSPI_ROLE_CHECK_BOX, under(ATSPI_ROLE_TOOL_BAR), "AXCheckBox"},
      // Its font box: an entry and an unnamed toggle that opens the list.
      {ATSPI_ROLE_TOGGLE_BUTTON, with(&RoleFacts::unnamedBesideEntry),
       "AXMenuButton"},
      // A web page's paragraph is text; a word processor's is typed into.
      {ATSPI_ROLE_PARAGRAPH, plain, "AXStaticText"},
      {ATSPI_ROLE_PARAGRAPH, with(&RoleFacts::editable), "AXTextField"},
      {ATSPI_ROLE_PARAGRAPH, editableLines, "AXTextArea"},
      // An editable web area is typed into, a document in design mode too;
      // a page that is not editable is a web area.
      {ATSPI_ROLE_SECTION, editableHost, "AXTextArea"},
      {ATSPI_ROLE_DOCUMENT_WEB, editableHost, "AXTextArea"},
      {ATSPI_ROLE_DOCUMENT_FRAME, editableHost, "AXTextArea"},
      {ATSPI_ROLE_DOCUMENT_WEB, with(&RoleFacts::editableHost), "AXTextArea"},
      {ATSPI_ROLE_SECTION, with(&RoleFacts::editableHost), "AXTextField"},
      {ATSPI_ROLE_DOCUMENT_WEB, plain, "AXWebArea"},
      {ATSPI_ROLE_PASSWORD_TEXT, editableHost, "AXTextField"},
      // An editable text that holds lines is a text area, whatever its
      // SINGLE_LINE state says; one that is not editable keeps its state's
      // word, and one without lines stays a field.
      {ATSPI_ROLE_ENTRY, linesHost, "AXTextArea"},
      {ATSPI_ROLE_SECTION, linesHost, "AXTextArea"},
      {ATSPI_ROLE_ENTRY, linesTyped, "AXTextArea"},
      {ATSPI_ROLE_TEXT, linesTyped, "AXTextArea"},
      {ATSPI_ROLE_PARAGRAPH, linesTyped, "AXTextArea"},
      {ATSPI_ROLE_ENTRY, with(&RoleFacts::holdsLines), "AXTextField"},
      {ATSPI_ROLE_PARAGRAPH, with(&RoleFacts::holdsLines), "AXStaticText"},
      {ATSPI_ROLE_ENTRY, with(&RoleFacts::editable), "AXTextField"},
      {ATSPI_ROLE_PASSWORD_TEXT, linesHost, "AXTextField"},
      {ATSPI_ROLE_SPIN_BUTTON, linesTyped, "AXTextField"},
      {ATSPI_ROLE_DOCUMENT_WEB, linesTyped, "AXWebArea"},
      // Every child of an application is a window: Qt's are fillers.
      {ATSPI_ROLE_FILLER, top, "AXWindow"},
      {ATSPI_ROLE_ALERT, top, "AXWindow"},
      {ATSPI_ROLE_FILLER, plain, "AXGroup"},
      {ATSPI_ROLE_ALERT, plain, "AXGroup"},
      {ATSPI_ROLE_FRAME, plain, "AXWindow"},
      // A GTK menu is also the item that opens it.
      {ATSPI_ROLE_MENU, under(ATSPI_ROLE_MENU_BAR), "AXMenuBarItem"},
      {ATSPI_ROLE_MENU, under(ATSPI_ROLE_MENU), "AXMenuItem"},
      {ATSPI_ROLE_MENU, under(ATSPI_ROLE_POPUP_MENU), "AXMenuItem"},
      {ATSPI_ROLE_MENU, under(ATSPI_ROLE_WINDOW), "AXMenu"},
  };
  for (const RoleCase& each : cases) {
    EXPECT_EQ(macRoleName(each.role, each.facts), each.expected) << each.role;
  }
}

// The controls a user types into or sets must land in the core's input
// roles, or the form-field list of the block never shows them.
TEST(AtspiRolesTest, InputControlsReachTheCoresInputRoles) {
  for (AtspiRole role :
       {ATSPI_ROLE_TEXT, ATSPI_ROLE_PASSWORD_TEXT, ATSPI_ROLE_SPIN_BUTTON,
        ATSPI_ROLE_COMBO_BOX, ATSPI_ROLE_CHECK_BOX, ATSPI_ROLE_TOGGLE_BUTTON,
        ATSPI_ROLE_RADIO_BUTTON, ATSPI_ROLE_SLIDER}) {
    const std::string name(macRoleName(role, under(ATSPI_ROLE_PANEL)));
    EXPECT_EQ(INPUT_ROLES.count(name), 1u) << name;
  }
}

// The platform reads ahead what the core's walks read: the frames of the
// elements they keep as buttons, the frames and what describes them of
// those they keep as fields, the texts of those they keep as texts. A role
// left out costs a round trip; one too many, a call per element.
TEST(AtspiRolesTest, WhatTheWalksReadFollowsTheCoresRoleSets) {
  for (const std::string& name : INTERACTIVE_ROLES) {
    EXPECT_EQ(walkReadFor(name),
              INPUT_ROLES.count(name) != 0 ? WalkRead::Field : WalkRead::Frame)
        << name;
  }
  for (const std::string& name : INPUT_ROLES) {
    EXPECT_EQ(walkReadFor(name), WalkRead::Field) << name;
  }
  for (std::string_view name : {"AXStaticText", "AXHeading"}) {
    EXPECT_EQ(walkReadFor(name), WalkRead::Text) << name;
  }
  for (std::string_view name : {"AXGroup", "AXImage", "AXRow", "AXWindow"}) {
    EXPECT_EQ(walkReadFor(name), WalkRead::Nothing) << name;
  }
}

// Names GTK 4 gives unnamed widgets (seen in gnome-text-editor and our GTK 4
// form) against labels users read.
TEST(AtspiRolesTest, Gtk4ClassNamesAreToldFromLabels) {
  struct NameCase {
    std::string_view name;
    AtspiRole role;
    bool className;
  };
  const std::vector<NameCase> cases = {
      {"GtkStackPage", ATSPI_ROLE_PANEL, true},
      {"GtkToggleButton", ATSPI_ROLE_TOGGLE_BUTTON, true},
      {"GtkImage", ATSPI_ROLE_PUSH_BUTTON, true},
      {"AdwTabView", ATSPI_ROLE_FILLER, true},
      {"AdwTab", ATSPI_ROLE_FILLER, true},
      {"AdwGizmo", ATSPI_ROLE_FILLER, true},
      {"EditorSourceView", ATSPI_ROLE_TEXT, true},
      {"EditorInfoBar", ATSPI_ROLE_FILLER, true},
      {"EditorPage", ATSPI_ROLE_FILLER, true},
      {"EditorPage", ATSPI_ROLE_PANEL, true},
      // Brands and words label controls and texts.
      {"GitHub", ATSPI_ROLE_PUSH_BUTTON, false},
      {"GitHub", ATSPI_ROLE_LINK, false},
      {"PowerPoint", ATSPI_ROLE_LABEL, false},
      {"PowerPoint", ATSPI_ROLE_TOGGLE_BUTTON, false},
      {"YouTube", ATSPI_ROLE_PAGE_TAB, false},
      {"OK", ATSPI_ROLE_PUSH_BUTTON, false},
      {"OK", ATSPI_ROLE_PANEL, false},
      {"Open", ATSPI_ROLE_PANEL, false},
      {"Menu", ATSPI_ROLE_PUSH_BUTTON, false},
      {"Gtk", ATSPI_ROLE_PANEL, false},
      {"Gtkfoo", ATSPI_ROLE_PANEL, false},
      {"Adwaita", ATSPI_ROLE_PANEL, false},
      {"Start or Open a Document", ATSPI_ROLE_PANEL, false},
      {"New tab (Ctrl+T)", ATSPI_ROLE_PUSH_BUTTON, false},
      {"Dear Ann", ATSPI_ROLE_LABEL, false},
      {"iPhone", ATSPI_ROLE_PANEL, false},
      {"sidebar", ATSPI_ROLE_PANEL, false},
      {"USB", ATSPI_ROLE_PANEL, false},
      {"", ATSPI_ROLE_PANEL, false},
  };
  for (const NameCase& each : cases) {
    EXPECT_EQ(isGtk4ClassName(each.name, each.role), each.className)
        << each.name << " " << each.role;
  }
}

TEST(AtspiRolesTest, OnlyAPasswordFieldIsSecure) {
  EXPECT_TRUE(isSecureSubrole(macSubroleName(ATSPI_ROLE_PASSWORD_TEXT)));
  EXPECT_FALSE(isSecureSubrole(macSubroleName(ATSPI_ROLE_TEXT)));
  EXPECT_FALSE(isSecureSubrole(macSubroleName(ATSPI_ROLE_ENTRY)));
}

}  // namespace
}  // namespace kestreye::atspi
