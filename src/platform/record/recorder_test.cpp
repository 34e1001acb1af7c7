#include "platform/record/recorder.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "platform/memory/memory_platform.h"
#include "scan/reply.h"
#include "scan/scan.h"

namespace kestreye::record {
namespace {

using Json = nlohmann::json;

std::string slurp(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

// The recorder in front of the memory platform; the recorder gives its
// handles back before the tree goes.
class RecorderTest : public ::testing::Test {
 protected:
  void SetUp() override { installPlatform(recorder); }
  void TearDown() override {
    recorder.reset();
    tree.reset();
    EXPECT_EQ(tree.liveHandles(), 0);
  }
  // Loads a fixture file and scans it through the recorder; the reply line
  // as `kestreye scan` prints it.
  std::string recordScan(const std::string& path) {
    TearDown();
    std::string error;
    EXPECT_TRUE(tree.loadFixtureFile(path, &error)) << error;
    return encodeReply(kestreye::scanReply()) + "\n";
  }
  memory::MemoryPlatform tree;
  Recorder recorder{tree};
};

// Every case, recorded, written and replayed from the file, answers its
// expected reply byte for byte, and no recording holds a password.
TEST_F(RecorderTest, EveryCaseRecordedAndReplayedAnswersItsReply) {
  const std::string file = ::testing::TempDir() + "kestreye_recording_" +
                           std::to_string(getpid()) + ".json";
  int cases = 0;
  for (const auto& entry :
       std::filesystem::directory_iterator(KESTREYE_CASES_DIR)) {
    if (entry.path().extension() != ".json") continue;
    SCOPED_TRACE(entry.path().filename().string());
    ++cases;
    std::filesystem::path replyPath = entry.path();
    const std::string expected = slurp(replyPath.replace_extension(".reply"));
    EXPECT_EQ(recordScan(entry.path()), expected);
    std::string error;
    ASSERT_TRUE(recorder.writeFixture(file, &error)) << error;
    const std::string recording = slurp(file);
    const Json flat = Json::parse(slurp(entry.path())).flatten();
    for (const auto& [key, value] : flat.items()) {
      if (value != "AXSecureTextField") continue;  // a role or subrole
      const auto secret = flat.find(key.substr(0, key.rfind('/')) + "/AXValue");
      if (secret == flat.end() || !secret->is_string()) continue;
      EXPECT_EQ(recording.find(secret->get<std::string>()), std::string::npos);
    }
    EXPECT_EQ(recordScan(file), expected);
    EXPECT_EQ(recorder.fixtureJson(), recording);
  }
  EXPECT_GT(cases, 50);
  std::remove(file.c_str());
  std::string error;
  EXPECT_FALSE(recorder.writeFixture("/nonexistent/recording.json", &error));
  EXPECT_NE(error.find("/nonexistent/recording.json"), std::string::npos);
}

// What no reply tells apart is still written down as given: no kind collapses
// into another (true is no integer, 3.0 stays real), reals keep every bit.
TEST_F(RecorderTest, EveryValueKindIsRecordedAsGiven) {
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
  std::string error;
  ASSERT_TRUE(tree.loadFixtureText(
      R"({"applications": {"3": "e1"}, "elements": [{"id": "e1", "attributes": )" +
          given.dump() + R"(}, {"id": "e2", "attributes": {}}]})",
      "kinds", &error))
      << error;
  {
    const Element app = kestreye::applicationElement(3);
    for (const auto& [name, value] : given.items()) copyAttribute(app, name);
    copyAttribute(app, "Missing");
  }
  const Json recorded =
      Json::parse(recorder.fixtureJson())["elements"][0]["attributes"];
  for (const auto& [name, value] : given.items()) {
    EXPECT_EQ(recorded[name].dump(), value.dump()) << name;
  }
  EXPECT_EQ(recorded["Missing"].dump(), R"({"error":-25205})");
}

}  // namespace
}  // namespace kestreye::record
