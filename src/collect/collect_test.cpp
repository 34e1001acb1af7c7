#include "collect/collect.h"

#include <gtest/gtest.h>

#include "ax/accessors.h"
#include "platform/memory/test_support.h"

namespace kestreye {
namespace {

using testing::MemoryTest;

memory::Node* control(const char* role, double x, double y, double w, double h,
                      memory::Node* parent, const char* title = "") {
  return memory::addNode({{"AXRole", role},
                          {"AXTitle", title},
                          {"AXPosition", Point{x, y}},
                          {"AXSize", Size{w, h}}},
                         parent);
}

std::vector<std::string> titles(const std::vector<ElementInfo>& infos) {
  std::vector<std::string> out;
  for (const auto& info : infos)
    out.push_back(axString(info.element, "AXTitle").value_or("?"));
  return out;
}

class CollectTest : public MemoryTest {};

TEST_F(CollectTest, DepthFirstPreOrderOfMatchingRolesOnly) {
  memory::Node* root = memory::addNode({{"AXRole", "AXWindow"}});
  memory::Node* group = control("AXGroup", 0, 0, 500, 500, root, "group");
  control("AXTextField", 10, 10, 100, 20, group, "a");
  memory::Node* box = control("AXCheckBox", 10, 40, 100, 20, group, "b");
  control("AXTextField", 10, 60, 100, 20, box, "c");
  control("AXButton", 10, 80, 100, 20, root, "button");
  control("AXSlider", 10, 90, 100, 20, root, "d");
  const auto found =
      collectAllElements(memory::elementOf(root), INPUT_ROLES, state);
  EXPECT_EQ(titles(found), (std::vector<std::string>{"a", "b", "c", "d"}));
  EXPECT_EQ(state.walk.elementCount, 4);
  EXPECT_EQ(found[0].role, "AXTextField");
  EXPECT_EQ(found[1].x, 10);
  EXPECT_EQ(found[1].y, 40);
}

TEST_F(CollectTest, StartElementIsNeverExamined) {
  memory::Node* root = control("AXTextField", 0, 0, 100, 100, nullptr, "root");
  EXPECT_TRUE(
      collectAllElements(memory::elementOf(root), INPUT_ROLES, state).empty());
  EXPECT_TRUE(collectAllElements(Element(), INPUT_ROLES, state).empty());
}

TEST_F(CollectTest, SmallOrFramelessElementsAreSkippedButWalked) {
  memory::Node* root = memory::addNode({});
  control("AXTextField", 0, 0, 6, 6, root, "six");
  memory::Node* thin = control("AXTextField", 0, 0, 5, 100, root, "thin");
  control("AXTextField", 0, 0, 100, 6, thin, "inside-thin");
  control("AXTextField", 0, 0, 100, 5, root, "flat");
  memory::Node* noFrame = memory::addNode(
      {{"AXRole", "AXTextField"}, {"AXTitle", "noframe"}}, root);
  control("AXCheckBox", 0, 0, 10, 10, noFrame, "inside-noframe");
  memory::Node* noRole = memory::addNode({{"AXTitle", "norole"}}, root);
  control("AXComboBox", 0, 0, 10, 10, noRole, "inside-norole");
  EXPECT_EQ(
      titles(collectAllElements(memory::elementOf(root), INPUT_ROLES, state)),
      (std::vector<std::string>{"six", "inside-thin", "inside-noframe",
                                "inside-norole"}));
}

TEST_F(CollectTest, DepthLimitCountsLevelsBelowTheStart) {
  memory::Node* root = memory::addNode({});
  memory::Node* level1 = control("AXTextField", 0, 0, 10, 10, root, "1");
  memory::Node* level2 = control("AXTextField", 0, 0, 10, 10, level1, "2");
  control("AXTextField", 0, 0, 10, 10, level2, "3");
  EXPECT_EQ(titles(collectAllElements(memory::elementOf(root), INPUT_ROLES,
                                      state, 0, 0)),
            (std::vector<std::string>{"1"}));
  EXPECT_EQ(titles(collectAllElements(memory::elementOf(root), INPUT_ROLES,
                                      state, 1, 0)),
            (std::vector<std::string>{"1", "2"}));
}

TEST_F(CollectTest, DefaultDepthReachesTwentySixLevels) {
  memory::Node* root = memory::addNode({});
  memory::Node* parent = root;
  for (int level = 1; level <= 27; ++level) {
    parent = control("AXTextField", 0, 0, 10, 10, parent,
                     std::to_string(level).c_str());
  }
  const auto found =
      collectAllElements(memory::elementOf(root), INPUT_ROLES, state);
  ASSERT_EQ(found.size(), 26u);
  EXPECT_EQ(axString(found.back().element, "AXTitle"), "26");
}

TEST_F(CollectTest, BudgetIsTestedOnEntryOnly) {
  memory::Node* root = memory::addNode({});
  for (int i = 0; i < 600; ++i) {
    memory::Node* field = control("AXTextField", 0, 0, 10, 10, root);
    if (i == 550) control("AXTextField", 0, 0, 10, 10, field, "late-child");
  }
  const auto found =
      collectAllElements(memory::elementOf(root), INPUT_ROLES, state);
  EXPECT_EQ(found.size(), 600u);
  EXPECT_EQ(state.walk.elementCount, 600);
}

TEST_F(CollectTest, SpentBudgetReadsNothing) {
  memory::Node* root = memory::addNode({});
  control("AXTextField", 0, 0, 10, 10, root);
  state.walk.elementCount = MAX_ELEMENTS;
  const Element start = memory::elementOf(root);
  const uint64_t before = memory::attributeReads();
  EXPECT_TRUE(collectAllElements(start, INPUT_ROLES, state).empty());
  EXPECT_EQ(memory::attributeReads(), before);
}

TEST_F(CollectTest, ReadsPerChildFollowTheRole) {
  memory::Node* root = memory::addNode({});
  control("AXButton", 0, 0, 10, 10, root);             // role + focus: 2
  control("AXTextField", 0, 0, 10, 10, root);          // + position + size: 4
  memory::addNode({{"AXRole", "AXTextField"}}, root);  // no position: 3
  const Element start = memory::elementOf(root);
  const uint64_t before = memory::attributeReads();
  (void)collectAllElements(start, INPUT_ROLES, state, 0, 0);
  // One children read, then the reads per child.
  EXPECT_EQ(memory::attributeReads() - before, 1u + 2 + 4 + 3);
}

TEST_F(CollectTest, LoopingTreeStopsAtTheExaminationCap) {
  // Every element lists itself twice: without a cap the walk would examine
  // 2^26 elements.
  memory::Node* loop = memory::addNode({{"AXRole", "AXGroup"}});
  memory::setAttribute(loop, "AXChildren",
                       std::vector<memory::Value>{loop, loop});
  const auto found =
      collectAllElements(memory::elementOf(loop), INPUT_ROLES, state);
  EXPECT_TRUE(found.empty());
  EXPECT_EQ(state.walk.examinedCount, MAX_EXAMINED_ELEMENTS);
}

TEST_F(CollectTest, FocusFlagIsKept) {
  memory::Node* root = memory::addNode({});
  memory::Node* field = control("AXTextField", 0, 0, 10, 10, root);
  memory::setAttribute(field, "AXFocused", true);
  const auto found =
      collectAllElements(memory::elementOf(root), INPUT_ROLES, state);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_TRUE(found[0].isFocused);
}

ElementInfo at(int64_t x, int64_t y, int64_t w = 10, int64_t h = 10,
               bool focused = false) {
  return ElementInfo{Element(), "AXTextField", x, y, w, h, focused};
}

std::vector<int64_t> xs(const std::vector<ElementInfo>& infos) {
  std::vector<int64_t> out;
  for (const auto& info : infos) out.push_back(info.x);
  return out;
}

TEST(FilterNearbyTest, HorizontalTest) {
  // Focused frame x 200, width 100: right limit 350.
  const std::vector<ElementInfo> candidates = {
      at(81, 500), at(80, 500), at(319, 500, 1000), at(330, 500, 20),
      at(330, 500, 21)};
  EXPECT_EQ(xs(filterNearby(candidates, 200, 500, 100, 20, 120, 400, 300)),
            (std::vector<int64_t>{81, 319, 330}));
}

TEST(FilterNearbyTest, VerticalReachUsesTheCentreLine) {
  // Focused y 500, height 20: centre lines from 100 to 820 pass.
  const std::vector<ElementInfo> candidates = {
      at(200, 100, 10, 0), at(200, 99, 10, 0), at(200, 820, 10, 0),
      at(200, 821, 10, 0), at(200, 95, 10, 9), at(200, 96, 10, 9)};
  EXPECT_EQ(filterNearby(candidates, 200, 500, 100, 20, 120, 400, 300).size(),
            3u);
  const auto kept = filterNearby(candidates, 200, 500, 100, 20, 120, 400, 300);
  EXPECT_EQ(kept[0].y, 100);
  EXPECT_EQ(kept[1].y, 820);
  EXPECT_EQ(kept[2].y, 96);  // centre 100; y 95 with h 9 has centre 99
  // The default upward reach is 300.
  EXPECT_TRUE(filterNearby({at(200, 150, 10, 0)}, 200, 500, 100, 20).empty());
}

TEST(FilterNearbyTest, FocusedElementPassesItsOwnFilter) {
  EXPECT_EQ(
      filterNearby({at(200, 500, 100, 20, true)}, 200, 500, 100, 20).size(),
      1u);
  EXPECT_TRUE(filterNearby({}, 0, 0, 0, 0).empty());
}

TEST(FilterNearbyTest, ExtremeCoordinatesDoNotOverflow) {
  const std::vector<ElementInfo> candidates = {
      at(INT64_MAX, INT64_MAX, INT64_MAX, INT64_MAX),
      at(INT64_MIN, INT64_MIN, INT64_MIN, INT64_MIN)};
  EXPECT_TRUE(filterNearby(candidates, 0, 0, 10, 10, 120, 400, 300).empty());
  EXPECT_EQ(
      filterNearby({at(INT64_MAX - 5, INT64_MAX - 5, 1, 1)}, INT64_MAX - 10,
                   INT64_MAX - 10, 100, 100, INT64_MAX, INT64_MAX, INT64_MAX)
          .size(),
      1u);
}

TEST(DedupTest, KeepsTheFirstOfNearDuplicates) {
  EXPECT_EQ(xs(dedup({at(100, 100), at(114, 86)})),
            (std::vector<int64_t>{100}));
  EXPECT_EQ(xs(dedup({at(100, 100), at(115, 100)})),
            (std::vector<int64_t>{100, 115}));
  // Dropped elements are not compared against later ones.
  EXPECT_EQ(xs(dedup({at(100, 0), at(110, 0), at(120, 0)})),
            (std::vector<int64_t>{100, 120}));
  const auto kept = dedup({at(5, 5), at(5, 5, 10, 10, true)});
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_FALSE(kept[0].isFocused);
  EXPECT_TRUE(dedup({}).empty());
  EXPECT_EQ(dedup({at(INT64_MIN, 0), at(INT64_MAX, 0)}).size(), 2u);
}

}  // namespace
}  // namespace kestreye
