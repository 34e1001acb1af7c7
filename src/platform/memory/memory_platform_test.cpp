#include "platform/memory/memory_platform.h"

#include <gtest/gtest.h>

#include <cmath>

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

TEST_F(FixtureTest, TopLevelDefaults) {
  ASSERT_TRUE(load("{}")) << error;
  EXPECT_TRUE(isProcessTrusted());
  EXPECT_EQ(frontmostProcessId(), std::nullopt);
  // An unlisted process gets an element whose every read fails.
  const Element unknown = applicationElement(42);
  EXPECT_EQ(copyAttribute(unknown, "AXRole").code, kAxInvalidElement);
  ASSERT_TRUE(load(R"({"trusted": false, "frontmost": 7})")) << error;
  EXPECT_FALSE(isProcessTrusted());
  EXPECT_EQ(frontmostProcessId(), 7);
}

TEST_F(FixtureTest, ValuesOfEveryKind) {
  ASSERT_TRUE(load(R"({
    "applications": {"1": "app"},
    "elements": [{"id": "app", "attributes": {
      "AXText": "t", "AXBytes": {"bytes": [104, 255, 0]}, "AXTrue": true,
      "AXInt": {"number": -9223372036854775808}, "AXReal": {"number": 1.7},
      "AXNan": {"number": "nan"}, "AXPoint": {"point": [1.5, "-inf"]},
      "AXSize": {"size": [3, 4]}, "AXRange": {"range": [5, 6]},
      "AXRect": {"rect": [1, 2, 3, 4]}, "AXSelf": {"element": "app"},
      "AXList": {"elements": ["app"]}, "AXMixed": {"array": ["x", {"number": 2}]},
      "AXFails": {"error": -25204}, "AXNothing": {"novalue": true}}}]})"))
      << error;
  const Element app = application();
  EXPECT_EQ(axString(app, "AXText"), "t");
  EXPECT_EQ(axString(app, "AXBytes"), std::string("h\xEF\xBF\xBD\0", 5));
  EXPECT_EQ(axBool(app, "AXTrue"), true);
  EXPECT_EQ(axInt(app, "AXTrue"), 1);
  EXPECT_EQ(axInt(app, "AXInt"), INT64_MIN);
  EXPECT_EQ(axInt(app, "AXReal"), 1);
  EXPECT_EQ(axBool(app, "AXNan"), true);
  const auto point = std::get<Point>(axValue(app, "AXPoint")->v);
  EXPECT_EQ(point.x, 1.5);
  EXPECT_TRUE(std::isinf(point.y) && point.y < 0);
  EXPECT_EQ(axValue(app, "AXSize").has_value(), true);
  EXPECT_EQ(axRange(app, "AXRange")->length, 6);
  EXPECT_EQ(axRange(app, "AXRect"), std::nullopt);
  EXPECT_EQ(axString(asElement(*axValue(app, "AXSelf")), "AXText"), "t");
  EXPECT_EQ(std::get<RawArray>(axValue(app, "AXList")->v).size(), 1u);
  EXPECT_EQ(std::get<RawArray>(axValue(app, "AXMixed")->v).size(), 2u);
  EXPECT_EQ(copyAttribute(app, "AXFails").code, kAxCannotComplete);
  const AttributeRead nothing = copyAttribute(app, "AXNothing");
  EXPECT_EQ(nothing.code, kAxSuccess);
  EXPECT_FALSE(nothing.value.has_value());
  EXPECT_EQ(copyAttribute(app, "AXUnlisted").code, kAxAttributeUnsupported);
}

TEST_F(FixtureTest, ChildrenAndParentsAreImpliedUnlessListed) {
  ASSERT_TRUE(load(R"({"applications": {"1": "app"}, "elements": [
    {"id": "app", "children": [
      {"id": "a", "attributes": {"AXTitle": "a"}, "children": []},
      {"id": "b", "attributes": {"AXTitle": "b", "AXParent": {"error": -25202}}}]},
    {"id": "c", "attributes": {"AXChildren": {"elements": ["a"]}}, "children": [{"id": "d"}]}]})"))
      << error;
  const Element app = application();
  const auto children = axChildren(app);
  ASSERT_EQ(children.size(), 2u);
  EXPECT_EQ(axString(asElement(*axValue(children[0], "AXParent")), "AXTitle"),
            std::nullopt);
  EXPECT_EQ(axChildren(asElement(*axValue(children[0], "AXParent"))).size(),
            2u);
  // An empty children list still lists AXChildren; no list means no attribute.
  EXPECT_EQ(copyAttribute(children[0], "AXChildren").code, kAxSuccess);
  EXPECT_EQ(copyAttribute(children[1], "AXChildren").code,
            kAxAttributeUnsupported);
  EXPECT_EQ(copyAttribute(children[1], "AXParent").code, kAxInvalidElement);
  EXPECT_EQ(copyAttribute(app, "AXParent").code, kAxAttributeUnsupported);
}

TEST_F(FixtureTest, PasswordTextIsWithheld) {
  ASSERT_TRUE(load(
      R"({"applications": {"1": "p"}, "elements": [{"id": "p", "attributes": {
    "AXSubrole": "AXSecureTextField", "AXValue": "hunter2", "AXSelectedText": "hunter2",
    "AXTitle": "Password"}}]})"))
      << error;
  const Element field = application();
  EXPECT_EQ(copyAttribute(field, "AXValue").code, kAxAttributeUnsupported);
  EXPECT_EQ(copyAttribute(field, "AXSelectedText").code,
            kAxAttributeUnsupported);
  EXPECT_EQ(axString(field, "AXTitle"), "Password");
}

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

TEST_F(FixtureTest, HandlesAreCountedUntilReleased) {
  ASSERT_TRUE(load(
      R"({"applications": {"1": "a"}, "elements": [{"id": "a", "children": [{}]}]})"));
  {
    const Element app = application();
    const auto children = axChildren(app);
    EXPECT_EQ(memory::liveHandles(), 2);
    const Element copy = children[0];
    EXPECT_EQ(memory::liveHandles(), 3);
  }
  EXPECT_EQ(memory::liveHandles(), 0);
}

TEST_F(FixtureTest, ReadsAreCounted) {
  ASSERT_TRUE(
      load(R"({"applications": {"1": "a"}, "elements": [{"id": "a"}]})"));
  const Element app = application();
  (void)copyAttribute(app, "AXRole");
  (void)copyAttribute(Element(), "AXRole");
  EXPECT_EQ(memory::attributeReads(), 2u);
}

}  // namespace
}  // namespace kestreye
