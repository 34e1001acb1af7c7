#include "ax/element_info.h"

#include <gtest/gtest.h>

#include "platform/memory/test_support.h"

namespace kestreye {
namespace {

using testing::MemoryTest;

class DescribeTest : public MemoryTest {
 protected:
  std::string describe(const std::string& role, bool isFocused,
                       memory::Attributes attributes) {
    memory::Node* node = memory::addNode(std::move(attributes));
    const ElementInfo info{
        memory::elementOf(node), role, 0, 0, 0, 0, isFocused};
    return info.describeElement(info.element);
  }
};

TEST_F(DescribeTest, WorkedExamples) {
  EXPECT_EQ(describe("AXTextField", true,
                     {{"AXDescription", "Search"},
                      {"AXValue", "  hello world\n"},
                      {"AXPlaceholderValue", "Type here"},
                      {"AXFocused", true},
                      {"AXEnabled", true},
                      {"AXSelectedText", ""}}),
            "[TextField] \"Search\" value: \"hello world\" placeholder: "
            "\"Type here\" (FOCUSED)");
  EXPECT_EQ(describe("AXCheckBox", false,
                     {{"AXTitle", "Remember me"},
                      {"AXValue", 1},
                      {"AXFocused", false},
                      {"AXEnabled", false}}),
            "[CheckBox] \"Remember me\" (disabled)");
  EXPECT_EQ(describe("AXMenuItem", false,
                     {{"AXTitle", ""},
                      {"AXDescription", "Open"},
                      {"AXEnabled", true},
                      {"AXSelected", true}}),
            "[MenuItem] (selected)");
  EXPECT_EQ(describe("AXTextArea", true,
                     {{"AXValue", "first line\nsecond line"},
                      {"AXSelectedText", "second line"}}),
            "[TextArea] value: \"first line\\nsecond line\" (FOCUSED) "
            "selection: \"second line\"");
}

TEST_F(DescribeTest, LabelCandidateOrder) {
  EXPECT_EQ(
      describe("AXButton", false, {{"AXDescription", ""}, {"AXLabel", "Name"}}),
      "[Button]");
  EXPECT_EQ(describe("AXButton", false, {{"AXLabel", "Name"}}),
            "[Button] \"Name\"");
  EXPECT_EQ(describe("", false, {{"AXTitle", "Go"}}), "[] \"Go\"");
  EXPECT_EQ(describe("AXButton", false, {{"AXTitle", std::string(60, 't')}}),
            "[Button] \"" + std::string(50, 't') + "...\"");
  // Quotes and line feeds of a label pass unchanged.
  EXPECT_EQ(describe("AXButton", false, {{"AXTitle", "say \"hi\"\nnow"}}),
            "[Button] \"say \"hi\"\nnow\"");
}

TEST_F(DescribeTest, ValueIsTrimmedCutThenEscaped) {
  EXPECT_EQ(describe("AXTextField", false, {{"AXValue", " \n\t "}}),
            "[TextField]");
  EXPECT_EQ(describe("AXTextField", false,
                     {{"AXValue", "  " + std::string(55, 'v')}}),
            "[TextField] value: \"" + std::string(50, 'v') + "...\"");
  // The cut comes before the escape, so line feeds can lengthen the result.
  const std::string lines = std::string(49, 'a') + "\n\nzz";
  EXPECT_EQ(describe("AXTextArea", false, {{"AXValue", lines}}),
            "[TextArea] value: \"" + std::string(49, 'a') + "\\n...\"");
}

TEST_F(DescribeTest, PlaceholderAndSelectionAreNotTrimmed) {
  EXPECT_EQ(describe("AXTextField", false, {{"AXPlaceholderValue", "   "}}),
            "[TextField] placeholder: \"   \"");
  EXPECT_EQ(describe("AXTextField", false,
                     {{"AXSelectedText", std::string(30, 's')}}),
            "[TextField] selection: \"" + std::string(30, 's') + "\"");
  EXPECT_EQ(describe("AXTextField", false,
                     {{"AXSelectedText", std::string(31, 's')}}),
            "[TextField] selection: \"" + std::string(30, 's') + "...\"");
}

TEST_F(DescribeTest, Flags) {
  EXPECT_EQ(describe("AXButton", true, {}), "[Button] (FOCUSED)");
  EXPECT_EQ(describe("AXButton", false, {{"AXFocused", true}}),
            "[Button] (FOCUSED)");
  EXPECT_EQ(
      describe("AXButton", false, {{"AXEnabled", true}, {"AXSelected", false}}),
      "[Button]");
  EXPECT_EQ(
      describe(
          "AXButton", false,
          {{"AXFocused", true}, {"AXEnabled", false}, {"AXSelected", true}}),
      "[Button] (FOCUSED, disabled, selected)");
}

TEST_F(DescribeTest, PasswordTextIsNeverShown) {
  EXPECT_EQ(describe("AXTextField", true,
                     {{"AXSubrole", "AXSecureTextField"},
                      {"AXTitle", "Password"},
                      {"AXValue", "hunter2"},
                      {"AXSelectedText", "hunter2"}}),
            "[TextField] \"Password\" (FOCUSED)");
}

TEST_F(DescribeTest, VanishedElementShowsRoleAndFocusOnly) {
  const ElementInfo info{Element(), "AXTextField", 0, 0, 0, 0, true};
  EXPECT_EQ(info.describeElement(info.element), "[TextField] (FOCUSED)");
}

TEST_F(DescribeTest, ExactlyNineReads) {
  memory::Node* node =
      memory::addNode({{"AXTitle", "x"}, {"AXRole", "AXButton"}});
  const ElementInfo info{
      memory::elementOf(node), "AXButton", 0, 0, 0, 0, false};
  const uint64_t before = memory::attributeReads();
  (void)info.description();
  EXPECT_EQ(memory::attributeReads() - before, 9u);
}

}  // namespace
}  // namespace kestreye
