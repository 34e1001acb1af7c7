#include "collect/ancestor_context.h"

#include <gtest/gtest.h>

#include "ax/accessors.h"
#include "ax/roles.h"
#include "platform/memory/test_support.h"

namespace kestreye {
namespace {

using testing::MemoryTest;

memory::Node* text(const std::string& value, memory::Node* parent,
                   const char* role = "AXStaticText") {
  return memory::addNode({{"AXRole", role}, {"AXValue", value}}, parent);
}

memory::Node* button(const char* title, memory::Node* parent, double w = 40,
                     double h = 20) {
  return memory::addNode({{"AXRole", "AXButton"},
                          {"AXTitle", title},
                          {"AXPosition", Point{0, 0}},
                          {"AXSize", Size{w, h}}},
                         parent);
}

memory::Node* group(memory::Node* parent, const char* title = "") {
  return memory::addNode({{"AXRole", "AXGroup"}, {"AXTitle", title}}, parent);
}

class SubtreeTest : public MemoryTest {};

TEST_F(SubtreeTest, TextRuleTrimsMeasuresAndJoinsLines) {
  memory::Node* root = group(nullptr);
  text("ab", root);
  text("abc", root);
  text("  first\nsecond  ", root);
  text(std::string(199, 'x'), root);
  text(std::string(200, 'y'), root);
  memory::addNode({{"AXRole", "AXHeading"}, {"AXTitle", "Heading title"}},
                  root);
  memory::addNode({{"AXRole", "AXStaticText"},
                   {"AXValue", ""},
                   {"AXTitle", "hidden title"}},
                  root);
  memory::addNode(
      {{"AXRole", "AXStaticText"}, {"AXValue", 5}, {"AXTitle", "number value"}},
      root);
  const auto context = collectFromSubtree(memory::elementOf(root), state);
  EXPECT_EQ(context.texts, (std::vector<std::string>{
                               "abc", "first second", std::string(199, 'x'),
                               "Heading title", "number value"}));
  EXPECT_TRUE(context.buttons.empty());
  EXPECT_EQ(state.walk.elementCount, 5);
}

TEST_F(SubtreeTest, ButtonRuleTakesInteractiveRolesWithAUsableFrame) {
  memory::Node* root = group(nullptr);
  button("six", root, 6, 6);
  memory::Node* thin = button("thin", root, 5, 40);
  button("inside", thin);
  memory::Node* field = memory::addNode({{"AXRole", "AXTextField"},
                                         {"AXFocused", true},
                                         {"AXPosition", Point{1, 2}},
                                         {"AXSize", Size{100, 20}}},
                                        root);
  (void)field;
  const auto context = collectFromSubtree(memory::elementOf(root), state);
  ASSERT_EQ(context.buttons.size(), 3u);
  EXPECT_EQ(axString(context.buttons[0].element, "AXTitle"), "six");
  EXPECT_EQ(axString(context.buttons[1].element, "AXTitle"), "inside");
  EXPECT_EQ(context.buttons[2].role, "AXTextField");
  EXPECT_TRUE(context.buttons[2].isFocused);
  EXPECT_EQ(context.buttons[2].y, 2);
}

TEST_F(SubtreeTest, StartElementIsNeverIncluded) {
  memory::Node* root = button("start", nullptr);
  EXPECT_TRUE(
      collectFromSubtree(memory::elementOf(root), state).buttons.empty());
}

TEST_F(SubtreeTest, SpentBudgetReadsNothing) {
  memory::Node* root = group(nullptr);
  button("b", root);
  const Element start = memory::elementOf(root);
  state.walk.elementCount = MAX_ELEMENTS;
  const uint64_t before = memory::attributeReads();
  const auto context = collectFromSubtree(start, state);
  EXPECT_TRUE(context.buttons.empty());
  EXPECT_EQ(memory::attributeReads(), before);
}

class AncestorContextTest : public MemoryTest {
 protected:
  // window > outer > middle > inner > focused
  void SetUp() override {
    MemoryTest::SetUp();
    window = memory::addNode({{"AXRole", "AXWindow"}});
    outer = group(window, "outer");
    middle = group(outer, "middle");
    inner = group(middle, "inner");
    focused = memory::addNode({{"AXRole", "AXTextField"}}, inner);
  }
  memory::Node* window = nullptr;
  memory::Node* outer = nullptr;
  memory::Node* middle = nullptr;
  memory::Node* inner = nullptr;
  memory::Node* focused = nullptr;
};

TEST_F(AncestorContextTest, ParentIsTheWindow) {
  memory::Node* field = memory::addNode({{"AXRole", "AXTextField"}}, window);
  text("Window text one", window);
  text("Window text two", window);
  EXPECT_TRUE(
      collectAncestorContext(memory::elementOf(field), state).texts.empty());
}

TEST_F(AncestorContextTest, UnreadableParentOrNoLevels) {
  memory::Node* orphan =
      memory::addNode({{"AXParent", memory::ErrorCode{kAxInvalidElement}}});
  EXPECT_TRUE(
      collectAncestorContext(memory::elementOf(orphan), state).texts.empty());
  const Element start = memory::elementOf(focused);
  const uint64_t before = memory::attributeReads();
  EXPECT_TRUE(collectAncestorContext(start, state, 0).buttons.empty());
  EXPECT_TRUE(collectAncestorContext(start, state, -3).buttons.empty());
  EXPECT_EQ(memory::attributeReads(), before);
}

TEST_F(AncestorContextTest, OneTextAndOneButtonDoNotQualify) {
  text("only text", inner);
  button("only button", inner);
  const auto context =
      collectAncestorContext(memory::elementOf(focused), state);
  EXPECT_TRUE(context.texts.empty());
  EXPECT_TRUE(context.buttons.empty());
}

TEST_F(AncestorContextTest, HighestQualifyingLevelWinsWhenNoneIsRich) {
  text("inner one", inner);
  text("inner two", inner);
  button("middle a", middle);
  button("middle b", middle);
  // outer adds nothing new enough to qualify on its own terms, but its walk
  // sees everything below it, so it qualifies and replaces middle's.
  const auto context =
      collectAncestorContext(memory::elementOf(focused), state);
  EXPECT_EQ(context.texts,
            (std::vector<std::string>{"inner one", "inner two"}));
  EXPECT_EQ(context.buttons.size(), 2u);
}

TEST_F(AncestorContextTest, RichLevelIsReturnedAtOnce) {
  for (int i = 0; i < 5; ++i) text("inner text " + std::to_string(i), inner);
  for (int i = 0; i < 3; ++i) button("inner button", inner);
  text("outer text one", outer);
  text("outer text two", outer);
  const auto context =
      collectAncestorContext(memory::elementOf(focused), state);
  EXPECT_EQ(context.texts.size(), 5u);
  EXPECT_EQ(context.buttons.size(), 3u);
}

TEST_F(AncestorContextTest, NearlyRichLevelsKeepClimbing) {
  for (int i = 0; i < 5; ++i) text("inner text " + std::to_string(i), inner);
  button("one", inner);
  button("two", inner);
  text("outer extra", outer);
  const auto context =
      collectAncestorContext(memory::elementOf(focused), state);
  EXPECT_EQ(context.texts.size(), 6u);
  EXPECT_EQ(context.texts.back(), "outer extra");
}

TEST_F(AncestorContextTest, LevelLimitStopsTheClimb) {
  text("middle one", middle);
  text("middle two", middle);
  EXPECT_TRUE(collectAncestorContext(memory::elementOf(focused), state, 1)
                  .texts.empty());
  EXPECT_EQ(
      collectAncestorContext(memory::elementOf(focused), state, 2).texts.size(),
      2u);
}

TEST_F(AncestorContextTest, EachLevelStartsWithAFullBudget) {
  for (int i = 0; i < 600; ++i) text("filler text", inner);
  button("a", outer);
  button("b", outer);
  const auto context =
      collectAncestorContext(memory::elementOf(focused), state);
  // The levels below spend far more than the budget; without a fresh one the
  // outer walk would return nothing and the buttons would be lost.
  EXPECT_EQ(context.buttons.size(), 2u);
}

}  // namespace
}  // namespace kestreye
