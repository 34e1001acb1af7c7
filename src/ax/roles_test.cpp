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

TEST(TruncateTest, CutsAfterMaxLenCharacters) {
  const std::string fifty(50, 'x');
  EXPECT_EQ(truncateString(fifty), fifty);
  EXPECT_EQ(truncateString(fifty + "y"), fifty + "...");
  EXPECT_EQ(truncateString("abcd", 3), "abc...");
  EXPECT_EQ(truncateString("abc", 3), "abc");
  EXPECT_EQ(truncateString("a", 0), "...");
  EXPECT_EQ(truncateString("", 0), "");
  EXPECT_EQ(truncateString(" a\nb ", 4), " a\nb...");
}

TEST(TruncateTest, NeverSplitsACharacterOfSeveralCodePoints) {
  // 50 letters and a thumbs-up with a skin tone: 51 characters.
  const std::string text =
      std::string(50, 'x') + "\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD";
  EXPECT_EQ(truncateString(text), std::string(50, 'x') + "...");
  const std::string accented =
      "e\xCC\x81"
      "e\xCC\x81"
      "e\xCC\x81";
  EXPECT_EQ(truncateString(accented, 2),
            "e\xCC\x81"
            "e\xCC\x81...");
  EXPECT_EQ(truncateString(accented, 3), accented);
}

TEST(TruncateTest, ExtremeLimitsDoNotMisbehave) {
  EXPECT_EQ(truncateString("abc", -5), "...");
  EXPECT_EQ(truncateString("abc", INT64_MAX), "abc");
}

TEST(TruncateTest, HugeTextCostsOnlyItsPrefix) {
  const std::string huge(10 * 1024 * 1024, 'a');
  EXPECT_EQ(truncateString(huge), std::string(50, 'a') + "...");
}

}  // namespace
}  // namespace kestreye
