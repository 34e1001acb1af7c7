#include "ax/accessors.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "platform/memory/test_support.h"

namespace kestreye {
namespace {

using memory::ErrorCode;
using memory::NoValue;
using testing::MemoryTest;

class AccessorsTest : public MemoryTest {};

TEST_F(AccessorsTest, NumberReadsAsBoolAndIntButNotAsText) {
  memory::Node* node =
      memory::addNode({{"AXValue", 1}, {"AXA", 2}, {"AXB", 0}});
  const Element e = memory::elementOf(node);
  EXPECT_EQ(axString(e, "AXValue"), std::nullopt);
  EXPECT_EQ(axBool(e, "AXValue"), true);
  EXPECT_EQ(axInt(e, "AXValue"), 1);
  EXPECT_EQ(axBool(e, "AXA"), true);
  EXPECT_EQ(axBool(e, "AXB"), false);
}

TEST_F(AccessorsTest, TextsAreNotNumbersAndEmptyTextIsPresent) {
  memory::Node* node = memory::addNode({{"AXTitle", ""}, {"AXValue", "true"}});
  const Element e = memory::elementOf(node);
  EXPECT_EQ(axString(e, "AXTitle"), "");
  EXPECT_EQ(axBool(e, "AXValue"), std::nullopt);
  EXPECT_EQ(axInt(e, "AXValue"), std::nullopt);
  EXPECT_EQ(axString(e, "AXMissing"), std::nullopt);
}

TEST_F(AccessorsTest, InvalidUtf8IsRepairedOnRead) {
  memory::Node* node =
      memory::addNode({{"AXTitle", std::string("h\xFF\0i", 4)}});
  EXPECT_EQ(axString(memory::elementOf(node), "AXTitle"),
            std::string("h\xEF\xBF\xBD\0i", 6));
}

TEST_F(AccessorsTest, FloatingNumbersFollowTheReadingRules) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  memory::Node* node = memory::addNode({{"AXA", 2.9},
                                        {"AXB", -2.9},
                                        {"AXC", nan},
                                        {"AXD", 1e300},
                                        {"AXE", -1e300},
                                        {"AXF", 0.0}});
  const Element e = memory::elementOf(node);
  EXPECT_EQ(axInt(e, "AXA"), 2);
  EXPECT_EQ(axInt(e, "AXB"), -2);
  EXPECT_EQ(axInt(e, "AXC"), 0);
  EXPECT_EQ(axBool(e, "AXC"), true);
  EXPECT_EQ(axInt(e, "AXD"), INT64_MAX);
  EXPECT_EQ(axInt(e, "AXE"), INT64_MIN);
  EXPECT_EQ(axBool(e, "AXF"), false);
}

TEST_F(AccessorsTest, FailuresAndEmptyAnswersAreAbsent) {
  memory::Node* node = memory::addNode(
      {{"AXTitle", ErrorCode{kAxCannotComplete}}, {"AXValue", NoValue{}}});
  const Element e = memory::elementOf(node);
  EXPECT_EQ(axString(e, "AXTitle"), std::nullopt);
  EXPECT_EQ(axString(e, "AXValue"), std::nullopt);
  EXPECT_EQ(axValue(e, "AXValue"), std::nullopt);
  EXPECT_TRUE(axChildren(e).empty());
  // A handle that refers to nothing answers nothing.
  EXPECT_EQ(axString(Element(), "AXTitle"), std::nullopt);
  EXPECT_TRUE(axChildren(Element()).empty());
}

TEST_F(AccessorsTest, PositionAndSizeTruncateTowardZero) {
  memory::Node* node = memory::addNode(
      {{"AXPosition", Point{10.9, -3.7}}, {"AXSize", Size{0.4, 0.4}}});
  const Element e = memory::elementOf(node);
  const auto position = axPosition(e);
  ASSERT_TRUE(position);
  EXPECT_EQ(position->x, 10);
  EXPECT_EQ(position->y, -3);
  const auto size = axSize(e);
  ASSERT_TRUE(size);
  EXPECT_EQ(size->w, 0);
  EXPECT_EQ(size->h, 0);
}

TEST_F(AccessorsTest, CoordinatesOutsideTheIntegerRangeMakeThePairAbsent) {
  const double inf = std::numeric_limits<double>::infinity();
  memory::Node* node = memory::addNode(
      {{"AXPosition", Point{inf, 1}}, {"AXSize", Size{1, 9.3e18}}});
  const Element e = memory::elementOf(node);
  EXPECT_EQ(axPosition(e).has_value(), false);
  EXPECT_EQ(axSize(e).has_value(), false);
  EXPECT_EQ(truncateCoordinate(-9223372036854775808.0), INT64_MIN);
  EXPECT_EQ(truncateCoordinate(9223372036854775808.0), std::nullopt);
  EXPECT_EQ(truncateCoordinate(std::nan("")), std::nullopt);
  EXPECT_EQ(truncateCoordinate(-0.5), 0);
}

TEST_F(AccessorsTest, BoxedValuesOfTheWrongKindAreAbsent) {
  memory::Node* node = memory::addNode({{"AXSelectedTextRange", Point{1, 2}},
                                        {"AXPosition", Size{1, 2}},
                                        {"AXSize", Rect{1, 2, 3, 4}},
                                        {"AXRange", Range{4, 2}}});
  const Element e = memory::elementOf(node);
  EXPECT_EQ(axRange(e, "AXSelectedTextRange").has_value(), false);
  EXPECT_EQ(axPosition(e).has_value(), false);
  EXPECT_EQ(axSize(e).has_value(), false);
  const auto range = axRange(e, "AXRange");
  ASSERT_TRUE(range);
  EXPECT_EQ(range->location, 4);
  EXPECT_EQ(range->length, 2);
}

TEST_F(AccessorsTest, ChildrenKeepOrderAndNonElementsBecomeDeadHandles) {
  memory::Node* parent = memory::addNode({});
  memory::Node* a = memory::addNode({{"AXTitle", "a"}}, parent);
  memory::Node* b = memory::addNode({{"AXTitle", "b"}}, parent);
  std::vector<Element> children = axChildren(memory::elementOf(parent));
  ASSERT_EQ(children.size(), 2u);
  EXPECT_EQ(axString(children[0], "AXTitle"), "a");
  EXPECT_EQ(axString(children[1], "AXTitle"), "b");

  memory::setAttribute(parent, "AXChildren",
                       std::vector<memory::Value>{b, "not an element", a});
  children = axChildren(memory::elementOf(parent));
  ASSERT_EQ(children.size(), 3u);
  EXPECT_EQ(axString(children[0], "AXTitle"), "b");
  EXPECT_TRUE(children[1].empty());
  EXPECT_EQ(axString(children[1], "AXTitle"), std::nullopt);
  EXPECT_EQ(axString(children[2], "AXTitle"), "a");

  memory::setAttribute(parent, "AXChildren", "text");
  EXPECT_TRUE(axChildren(memory::elementOf(parent)).empty());
}

TEST_F(AccessorsTest, EachAccessorIsExactlyOneRead) {
  memory::Node* node = memory::addNode({{"AXTitle", "x"}});
  const Element e = memory::elementOf(node);
  const uint64_t before = memory::attributeReads();
  (void)axString(e, "AXTitle");
  (void)axBool(e, "AXFocused");
  (void)axPosition(e);
  (void)axChildren(e);
  EXPECT_EQ(memory::attributeReads() - before, 4u);
}

TEST_F(AccessorsTest, AsElementTakesOnlyElements) {
  memory::Node* node = memory::addNode({{"AXTitle", "x"}});
  Element taken = asElement(RawValue{memory::elementOf(node)});
  EXPECT_EQ(axString(taken, "AXTitle"), "x");
  EXPECT_TRUE(asElement(RawValue{std::string("x")}).empty());
}

}  // namespace
}  // namespace kestreye
