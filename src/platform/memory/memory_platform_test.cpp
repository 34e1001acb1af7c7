#include "platform/memory/memory_platform.h"

#include <gtest/gtest.h>

namespace kestreye {
namespace {

class FixtureTest : public ::testing::Test {
 protected:
  void SetUp() override { installPlatform(tree); }
  void TearDown() override { EXPECT_EQ(tree.liveHandles(), 0); }
  bool load(std::string_view json) {
    return tree.loadFixtureText(json, "t.json", &error);
  }
  Element application(int32_t pid = 1) { return applicationElement(pid); }
  // The handles an AXChildren read gives, as the platform hands them out.
  static std::vector<Element> children(const Element& element) {
    AttributeRead read = copyAttribute(element, "AXChildren");
    std::vector<Element> out;
    if (!read.value) return out;
    for (RawValue& child : std::get<RawArray>(read.value->v)) {
      out.push_back(std::get<Element>(std::move(child.v)));
    }
    return out;
  }
  memory::MemoryPlatform tree;
  std::string error;
};

// Each fault's message is a case (tests/cases/cli/fixture-*).
TEST_F(FixtureTest, RejectedFilesLeaveNothingBehind) {
  EXPECT_FALSE(load(R"({"trusted": false, "frontmost": 1, "elements": [)"));
  EXPECT_EQ(error.rfind("t.json: /: not valid JSON", 0), 0u) << error;
  EXPECT_FALSE(load(R"({"trusted": false, "frontmost": 1, "extra": 1})"));
  EXPECT_TRUE(isProcessTrusted());
  EXPECT_EQ(frontmostProcessId(), std::nullopt);
  EXPECT_FALSE(tree.loadFixtureFile("/nonexistent/fixture.json", &error));
  EXPECT_EQ(error, "/nonexistent/fixture.json: cannot be read");
}

TEST_F(FixtureTest, DeeplyNestedElementsLoadWithoutRecursion) {
  std::string json = R"({"applications": {"1": "root"}, "elements": [)";
  constexpr int kDepth = 100000;
  for (int i = 0; i < kDepth; ++i) {
    json += i == 0 ? R"({"id": "root", "children": [)" : R"({"children": [)";
  }
  for (int i = 0; i < kDepth; ++i) json += "]}";
  json += "]}";
  ASSERT_TRUE(load(json)) << error;
  EXPECT_EQ(children(application()).size(), 1u);
}

// The counts that every other test relies on to find leaks and extra reads.
TEST_F(FixtureTest, HandlesAndReadsAreCounted) {
  ASSERT_TRUE(load(
      R"({"applications": {"1": "a"}, "elements": [{"id": "a", "children": [{}]}]})"));
  {
    const Element app = application();
    const auto listed = children(app);
    EXPECT_EQ(tree.liveHandles(), 2);
    const Element copy = listed[0];
    EXPECT_EQ(tree.liveHandles(), 3);
    (void)copyAttribute(Element(), "AXRole");
  }
  EXPECT_EQ(tree.liveHandles(), 0);
  EXPECT_EQ(tree.attributeReads(), 2u);
}

}  // namespace
}  // namespace kestreye
