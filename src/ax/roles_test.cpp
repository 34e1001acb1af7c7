#include "ax/roles.h"

#include <gtest/gtest.h>

#include <string>

namespace kestreye {
namespace {

TEST(RoleSetsTest, EveryInputRoleIsInteractive) {
  EXPECT_EQ(INPUT_ROLES.size(), 7u);
  EXPECT_EQ(INTERACTIVE_ROLES.size(), 13u);
  for (const auto& role : INPUT_ROLES) {
    EXPECT_TRUE(INTERACTIVE_ROLES.count(role)) << role;
  }
  EXPECT_FALSE(INPUT_ROLES.count("AXButton"));
  EXPECT_FALSE(INTERACTIVE_ROLES.count("AXStaticText"));
}

TEST(ReadableRoleTest, TableWordsAndPrefixRemoval) {
  EXPECT_EQ(readableRole(std::nullopt), "Unknown");
  EXPECT_EQ(readableRole(""), "");
  EXPECT_EQ(readableRole("AXApplication"), "App");
  EXPECT_EQ(readableRole("AXPopUpButton"), "Dropdown");
  EXPECT_EQ(readableRole("AXStaticText"), "Text");
  EXPECT_EQ(readableRole("AXTextField"), "TextField");
  EXPECT_EQ(readableRole("AXMenuItem"), "MenuItem");
  EXPECT_EQ(readableRole("AXDisclosureTriangle"), "DisclosureTriangle");
  EXPECT_EQ(readableRole("AXAXRole"), "Role");
  EXPECT_EQ(readableRole("AAXX"), "AX");
  EXPECT_EQ(readableRole("axbutton"), "axbutton");
}

}  // namespace
}  // namespace kestreye
