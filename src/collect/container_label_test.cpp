#include "collect/container_label.h"

#include <gtest/gtest.h>

#include "platform/memory/test_support.h"

namespace kestreye {
namespace {

using testing::MemoryTest;

class ContainerLabelTest : public MemoryTest {
 protected:
  // A chain window > levels[n-1] > ... > levels[0] > focused.
  memory::Node* chain(std::vector<memory::Attributes> levels) {
    memory::Node* parent =
        memory::addNode({{"AXRole", "AXWindow"}, {"AXTitle", "Window title"}});
    for (auto it = levels.rbegin(); it != levels.rend(); ++it) {
      parent = memory::addNode(std::move(*it), parent);
    }
    return memory::addNode({{"AXRole", "AXTextField"}}, parent);
  }
  std::optional<std::string> label(std::vector<memory::Attributes> levels,
                                   int64_t maxLevels = 10) {
    return findContainerLabel(memory::elementOf(chain(std::move(levels))),
                              maxLevels);
  }
};

TEST_F(ContainerLabelTest, WindowTitleIsNeverUsed) {
  EXPECT_EQ(label({}), std::nullopt);
  EXPECT_EQ(label({{{"AXRole", "AXGroup"}}}), std::nullopt);
}

TEST_F(ContainerLabelTest, FirstLongEnoughCandidateWins) {
  EXPECT_EQ(label({{{"AXTitle", "abc"}}, {{"AXTitle", "abcd"}}}), "abcd");
  EXPECT_EQ(label({{{"AXTitle", "    "}}}), "    ");
  EXPECT_EQ(label({{{"AXDescription", "A description."}}}), "A description.");
  EXPECT_EQ(label({{{"AXLabel", "Labl"}}}), "Labl");
  // Returned as read: not trimmed, not shortened.
  EXPECT_EQ(label({{{"AXTitle", std::string(100, 'x') + "\n"}}}),
            std::string(100, 'x') + "\n");
}

TEST_F(ContainerLabelTest, PresentEmptyTitleHidesTheOthers) {
  EXPECT_EQ(label({{{"AXTitle", ""}, {"AXDescription", "A long description"}},
                   {{"AXTitle", "Outer pane"}}}),
            "Outer pane");
  // A title of another kind is absent, so the description counts.
  EXPECT_EQ(label({{{"AXTitle", 5}, {"AXDescription", "Described"}}}),
            "Described");
}

TEST_F(ContainerLabelTest, UnreadableRoleIsAnyContainer) {
  EXPECT_EQ(label({{{"AXRole", memory::ErrorCode{kAxCannotComplete}},
                    {"AXTitle", "Pane"}}}),
            "Pane");
}

TEST_F(ContainerLabelTest, TenthAncestorIsExaminedAndEleventhIsNot) {
  std::vector<memory::Attributes> levels(
      11, memory::Attributes{{"AXRole", "AXGroup"}});
  levels[9] = {{"AXTitle", "Tenth"}};
  EXPECT_EQ(label(levels), "Tenth");
  std::vector<memory::Attributes> deeper(
      11, memory::Attributes{{"AXRole", "AXGroup"}});
  deeper[10] = {{"AXTitle", "Eleventh"}};
  EXPECT_EQ(label(deeper), std::nullopt);
}

TEST_F(ContainerLabelTest, NoLevelsOrNoParentReadNothing) {
  memory::Node* focused = chain({{{"AXTitle", "Pane"}}});
  const Element element = memory::elementOf(focused);
  const uint64_t before = memory::attributeReads();
  EXPECT_EQ(findContainerLabel(element, 0), std::nullopt);
  EXPECT_EQ(memory::attributeReads(), before);
  memory::Node* orphan = memory::addNode({{"AXRole", "AXTextField"}});
  EXPECT_EQ(findContainerLabel(memory::elementOf(orphan)), std::nullopt);
}

TEST_F(ContainerLabelTest, ReadsAllThreeLabelsOfEachAncestor) {
  memory::Node* focused = chain({{{"AXTitle", "Pane"}}});
  const Element element = memory::elementOf(focused);
  const uint64_t before = memory::attributeReads();
  EXPECT_EQ(findContainerLabel(element), "Pane");
  // Parent, role, title, description, label.
  EXPECT_EQ(memory::attributeReads() - before, 5u);
}

}  // namespace
}  // namespace kestreye
