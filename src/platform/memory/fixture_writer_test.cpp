#include "platform/memory/fixture_writer.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "platform/memory/memory_platform.h"

namespace kestreye::memory {
namespace {

using Json = nlohmann::json;

// What the loader read, the writer gives back as given, though no reply
// tells it apart: no kind collapses into another (true is no integer, 3.0
// stays real), reals keep every bit.
TEST(FixtureWriterTest, EveryValueKindIsWrittenAsLoaded) {
  const Json given = Json::parse(R"({
    "Text": "caf\u00e9 \"q\" \\ \t\u0007", "Bytes": {"bytes": [0, 255, 65]},
    "True": true, "Min": {"number": -9223372036854775808},
    "Max": {"number": 9223372036854775807}, "Whole": {"number": 3.0},
    "NegZero": {"number": -0.0}, "Tiny": {"number": 5e-324},
    "NaN": {"number": "nan"}, "NegInf": {"number": "-inf"},
    "Point": {"point": ["nan", -10.9]}, "Size": {"size": [0.4, "inf"]},
    "Range": {"range": [-5, 9223372036854775807]},
    "Rect": {"rect": [1.0, 2.5, 3.0, 4.0]}, "Elements": {"elements": ["e2"]},
    "Mixed": {"array": [{"element": "e2"}, "t", {"number": 2}, true, {"array": [{"number": 1.25}]}]},
    "Error": {"error": -25204}, "NoValue": {"novalue": true}})");
  MemoryPlatform tree;
  installPlatform(tree);
  std::string error;
  ASSERT_TRUE(tree.loadFixtureText(
      R"({"applications": {"3": "e1"}, "elements": [{"id": "e1", "attributes": )" +
          given.dump() + R"(}, {"id": "e2", "attributes": {}}]})",
      "kinds", &error))
      << error;
  const FixtureIdOf idOf = [](const Element& element) {
    return static_cast<const Node*>(element.ref())->id;
  };
  {
    const Element app = applicationElement(3);
    for (const auto& [name, value] : given.items()) {
      const std::string written = fixtureAnswer(copyAttribute(app, name), idOf);
      EXPECT_EQ(Json::parse(written).dump(), value.dump()) << name;
    }
    EXPECT_EQ(fixtureAnswer(copyAttribute(app, "Missing"), idOf),
              R"({"error": -25205})");
  }
  EXPECT_EQ(tree.liveHandles(), 0);
}

}  // namespace
}  // namespace kestreye::memory
