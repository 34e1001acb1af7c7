#include "platform/atspi/roles.h"

#include <gtest/gtest.h>

#include "ax/roles.h"

namespace kestreye::atspi {
namespace {

RoleFacts underPanel() {
  RoleFacts facts;
  facts.parentRole = ATSPI_ROLE_PANEL;
  return facts;
}

TEST(AtspiRolesTest, SingleLineTextIsTextFieldMultiLineIsTextArea) {
  RoleFacts facts = underPanel();
  EXPECT_EQ(macRoleName(ATSPI_ROLE_TEXT, facts), "AXTextField");
  EXPECT_EQ(macRoleName(ATSPI_ROLE_ENTRY, facts), "AXTextField");
  facts.multiLine = true;
  EXPECT_EQ(macRoleName(ATSPI_ROLE_TEXT, facts), "AXTextArea");
  EXPECT_EQ(macRoleName(ATSPI_ROLE_ENTRY, facts), "AXTextArea");
}

TEST(AtspiRolesTest, PasswordIsSecureTextField) {
  EXPECT_EQ(macRoleName(ATSPI_ROLE_PASSWORD_TEXT, underPanel()), "AXTextField");
  EXPECT_EQ(macSubroleName(ATSPI_ROLE_PASSWORD_TEXT), "AXSecureTextField");
  EXPECT_TRUE(isSecureSubrole(macSubroleName(ATSPI_ROLE_PASSWORD_TEXT)));
  EXPECT_EQ(macSubroleName(ATSPI_ROLE_TEXT), "");
  EXPECT_FALSE(isSecureSubrole(macSubroleName(ATSPI_ROLE_TEXT)));
}

TEST(AtspiRolesTest, ComboBoxDependsOnItsEntry) {
  RoleFacts facts = underPanel();
  EXPECT_EQ(macRoleName(ATSPI_ROLE_COMBO_BOX, facts), "AXPopUpButton");
  facts.hasEditableTextChild = true;
  EXPECT_EQ(macRoleName(ATSPI_ROLE_COMBO_BOX, facts), "AXComboBox");
}

TEST(AtspiRolesTest, ToggleButtons) {
  RoleFacts facts = underPanel();
  EXPECT_EQ(macRoleName(ATSPI_ROLE_TOGGLE_BUTTON, facts), "AXCheckBox");
  EXPECT_EQ(macRoleName(ATSPI_ROLE_CHECK_BOX, facts), "AXCheckBox");
  EXPECT_EQ(macRoleName(ATSPI_ROLE_RADIO_BUTTON, facts), "AXRadioButton");
  facts.hasPopup = true;
  EXPECT_EQ(macRoleName(ATSPI_ROLE_TOGGLE_BUTTON, facts), "AXMenuButton");
  facts.hasPopup = false;
  facts.expandable = true;
  EXPECT_EQ(macRoleName(ATSPI_ROLE_TOGGLE_BUTTON, facts),
            "AXDisclosureTriangle");
}

TEST(AtspiRolesTest, TopLevelChildrenOfAnApplicationAreWindows) {
  RoleFacts topLevel;
  topLevel.parentRole = ATSPI_ROLE_APPLICATION;
  for (AtspiRole role : {ATSPI_ROLE_FRAME, ATSPI_ROLE_DIALOG, ATSPI_ROLE_ALERT,
                         ATSPI_ROLE_WINDOW, ATSPI_ROLE_FILLER}) {
    EXPECT_EQ(macRoleName(role, topLevel), "AXWindow") << role;
  }
  // Below the top level a filler is a plain group and a frame still a window.
  EXPECT_EQ(macRoleName(ATSPI_ROLE_FILLER, underPanel()), "AXGroup");
  EXPECT_EQ(macRoleName(ATSPI_ROLE_ALERT, underPanel()), "AXGroup");
  EXPECT_EQ(macRoleName(ATSPI_ROLE_FRAME, underPanel()), "AXWindow");
  RoleFacts orphan;
  EXPECT_EQ(macRoleName(ATSPI_ROLE_APPLICATION, orphan), "AXApplication");
}

TEST(AtspiRolesTest, MenusNamedByWhereTheyHang) {
  RoleFacts facts;
  facts.parentRole = ATSPI_ROLE_MENU_BAR;
  EXPECT_EQ(macRoleName(ATSPI_ROLE_MENU, facts), "AXMenuBarItem");
  facts.parentRole = ATSPI_ROLE_MENU;
  EXPECT_EQ(macRoleName(ATSPI_ROLE_MENU, facts), "AXMenuItem");
  facts.parentRole = ATSPI_ROLE_WINDOW;
  EXPECT_EQ(macRoleName(ATSPI_ROLE_MENU, facts), "AXMenu");
  EXPECT_EQ(macRoleName(ATSPI_ROLE_CHECK_MENU_ITEM, facts), "AXMenuItem");
  EXPECT_EQ(macRoleName(ATSPI_ROLE_RADIO_MENU_ITEM, facts), "AXMenuItem");
}

TEST(AtspiRolesTest, CommonGtkRoles) {
  const RoleFacts facts = underPanel();
  EXPECT_EQ(macRoleName(ATSPI_ROLE_SPIN_BUTTON, facts), "AXTextField");
  EXPECT_EQ(macRoleName(ATSPI_ROLE_SLIDER, facts), "AXSlider");
  EXPECT_EQ(macRoleName(ATSPI_ROLE_PUSH_BUTTON, facts), "AXButton");
  EXPECT_EQ(macRoleName(ATSPI_ROLE_LINK, facts), "AXLink");
  EXPECT_EQ(macRoleName(ATSPI_ROLE_PAGE_TAB, facts), "AXTab");
  EXPECT_EQ(macRoleName(ATSPI_ROLE_PAGE_TAB_LIST, facts), "AXTabGroup");
  EXPECT_EQ(macRoleName(ATSPI_ROLE_LABEL, facts), "AXStaticText");
  EXPECT_EQ(macRoleName(ATSPI_ROLE_HEADING, facts), "AXHeading");
  EXPECT_EQ(macRoleName(ATSPI_ROLE_PANEL, facts), "AXGroup");
  EXPECT_EQ(macRoleName(ATSPI_ROLE_SCROLL_PANE, facts), "AXScrollArea");
  EXPECT_EQ(macRoleName(ATSPI_ROLE_TOOL_BAR, facts), "AXToolbar");
  EXPECT_EQ(macRoleName(ATSPI_ROLE_TABLE, facts), "AXTable");
  EXPECT_EQ(macRoleName(ATSPI_ROLE_TREE_TABLE, facts), "AXTable");
  EXPECT_EQ(macRoleName(ATSPI_ROLE_LIST_BOX, facts), "AXList");
  EXPECT_EQ(macRoleName(ATSPI_ROLE_ICON, facts), "AXImage");
  EXPECT_EQ(macRoleName(ATSPI_ROLE_MENU_ITEM, facts), "AXMenuItem");
}

// The controls a user types into or sets must land in the core's input
// roles, or the form-field list of the block never shows them.
TEST(AtspiRolesTest, InputControlsReachTheCoresInputRoles) {
  RoleFacts facts = underPanel();
  for (AtspiRole role :
       {ATSPI_ROLE_TEXT, ATSPI_ROLE_ENTRY, ATSPI_ROLE_PASSWORD_TEXT,
        ATSPI_ROLE_SPIN_BUTTON, ATSPI_ROLE_COMBO_BOX, ATSPI_ROLE_CHECK_BOX,
        ATSPI_ROLE_TOGGLE_BUTTON, ATSPI_ROLE_RADIO_BUTTON, ATSPI_ROLE_SLIDER}) {
    EXPECT_TRUE(INPUT_ROLES.count(std::string(macRoleName(role, facts))) != 0)
        << macRoleName(role, facts);
  }
  for (AtspiRole role : {ATSPI_ROLE_PUSH_BUTTON, ATSPI_ROLE_LINK,
                         ATSPI_ROLE_MENU_ITEM, ATSPI_ROLE_PAGE_TAB}) {
    EXPECT_TRUE(
        INTERACTIVE_ROLES.count(std::string(macRoleName(role, facts))) != 0)
        << macRoleName(role, facts);
  }
}

TEST(AtspiRolesTest, ValueSources) {
  EXPECT_EQ(valueSourceFor("AXTextField"), ValueSource::Text);
  EXPECT_EQ(valueSourceFor("AXTextArea"), ValueSource::Text);
  EXPECT_EQ(valueSourceFor("AXStaticText"), ValueSource::Text);
  EXPECT_EQ(valueSourceFor("AXCheckBox"), ValueSource::Toggle);
  EXPECT_EQ(valueSourceFor("AXRadioButton"), ValueSource::Toggle);
  EXPECT_EQ(valueSourceFor("AXSlider"), ValueSource::Number);
  EXPECT_EQ(valueSourceFor("AXPopUpButton"), ValueSource::PopUp);
  EXPECT_EQ(valueSourceFor("AXComboBox"), ValueSource::ComboEntry);
  EXPECT_EQ(valueSourceFor("AXButton"), ValueSource::None);
  EXPECT_EQ(valueSourceFor("AXGroup"), ValueSource::None);
}

}  // namespace
}  // namespace kestreye::atspi
