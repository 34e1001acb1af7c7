#include "platform/memory/memory_platform.h"

#include <gtest/gtest.h>

#include "ax/accessors.h"
#include "platform/memory/test_support.h"

namespace kestreye {
namespace {

using testing::MemoryTest;

class FixtureTest : public MemoryTest {
 protected:
  bool load(std::string_view json) {
    return memory::loadFixtureText(json, "t.json", &error);
  }
  Element application(int32_t pid = 1) { return applicationElement(pid); }
  std::string error;
};

TEST_F(FixtureTest, FaultsNameTheFileAndThePath) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"[1]", "t.json: /: the top level must be an object"},
      {"{\"extra\": 1}", "t.json: /extra: unknown member"},
      {"{\"trusted\": 1}", "t.json: /trusted: must be true or false"},
      {"{\"frontmost\": \"x\"}",
       "t.json: /frontmost: must be a process id or null"},
      {"{\"elements\": [{\"id\": \"a\"}, {\"children\": [{\"id\": \"a\"}]}]}",
       "t.json: /elements/1/children/0/id: repeats the id \"a\""},
      {"{\"elements\": [{\"attributes\": {\"AXParent\": {\"element\": "
       "\"nope\"}}}]}",
       "t.json: /elements/0/attributes/AXParent/element: refers to the unknown "
       "id \"nope\""},
      {"{\"elements\": [{\"attributes\": {\"AXValue\": 3}}]}",
       "t.json: /elements/0/attributes/AXValue: a value must be a string, "
       "true, false or an "
       "object of one member"},
      {"{\"elements\": [{\"attributes\": {\"AXA\": {\"range\": [1.5, 2]}}}]}",
       "t.json: /elements/0/attributes/AXA/range: must be an array of 2 "
       "integers"},
      {"{\"elements\": [{\"attributes\": {\"AXA\": {\"bytes\": [256]}}}]}",
       "t.json: /elements/0/attributes/AXA/bytes/0: must be a byte from 0 to "
       "255"},
      {"{\"elements\": [{\"attributes\": {\"AXA\": {\"error\": 0}}}]}",
       "t.json: /elements/0/attributes/AXA/error: must be a non-zero result "
       "code"},
      {"{\"elements\": [{\"attributes\": {\"AXA\": {\"color\": 1}}}]}",
       "t.json: /elements/0/attributes/AXA: unknown value kind \"color\""},
      {"{\"elements\": [{\"attributes\": {\"AXA\": {\"number\": "
       "18446744073709551615}}}]}",
       "t.json: /elements/0/attributes/AXA/number: an integer must fit in 64 "
       "bits"},
      {"{\"applications\": {\"x1\": \"a\"}, \"elements\": [{\"id\": \"a\"}]}",
       "t.json: /applications/x1: the member name must be a decimal process "
       "id"},
      {"{\"applications\": {\"1\": \"b\"}}",
       "t.json: /applications/1: refers to the unknown id \"b\""},
  };
  for (const auto& [json, message] : cases) {
    EXPECT_FALSE(load(json)) << json;
    EXPECT_EQ(error, message) << json;
  }
}

TEST_F(FixtureTest, InvalidJsonAndLoneSurrogatesAreRejectedWhole) {
  EXPECT_FALSE(load(R"({"elements": [)"));
  EXPECT_EQ(error.rfind("t.json: /: not valid JSON", 0), 0u) << error;
  EXPECT_FALSE(
      load(R"({"elements": [{"attributes": {"AXTitle": "\ud800"}}]})"));
  EXPECT_FALSE(
      load("{\"elements\": [{\"attributes\": {\"AXTitle\": \"\xFF\"}}]}"));
  // Nothing of a rejected file stays behind.
  EXPECT_TRUE(isProcessTrusted());
  EXPECT_EQ(frontmostProcessId(), std::nullopt);
}

TEST_F(FixtureTest, MissingFileIsAClearError) {
  EXPECT_FALSE(memory::loadFixtureFile("/nonexistent/fixture.json", &error));
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
  EXPECT_EQ(axChildren(application()).size(), 1u);
}

// The counts that every other test relies on to find leaks and extra reads.
TEST_F(FixtureTest, HandlesAndReadsAreCounted) {
  ASSERT_TRUE(load(
      R"({"applications": {"1": "a"}, "elements": [{"id": "a", "children": [{}]}]})"));
  {
    const Element app = application();
    const auto children = axChildren(app);
    EXPECT_EQ(memory::liveHandles(), 2);
    const Element copy = children[0];
    EXPECT_EQ(memory::liveHandles(), 3);
    (void)copyAttribute(Element(), "AXRole");
  }
  EXPECT_EQ(memory::liveHandles(), 0);
  EXPECT_EQ(memory::attributeReads(), 2u);
}

}  // namespace
}  // namespace kestreye
