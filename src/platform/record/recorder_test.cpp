#include "platform/record/recorder.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "cli/reply.h"
#include "cli/scan.h"
#include "platform/memory/memory_platform.h"
#include "platform/memory/test_support.h"

namespace kestreye::record {
namespace {

using Json = nlohmann::json;

// The recorder in front of the memory platform; never destroyed, like the
// platform behind it.
Recorder& recorder() {
  static Recorder* const instance =
      new Recorder(kestreye::testing::memoryPlatform());
  return *instance;
}

// What one scan printed and what the recorder wrote down.
struct Round {
  std::string reply;
  std::string recording;
};

class RecorderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    installPlatform(recorder());
    clear();
  }
  void TearDown() override {
    clear();
    EXPECT_EQ(memory::liveHandles(), 0);
  }

  // The recorder gives its handles back before the tree goes.
  static void clear() {
    recorder().reset();
    memory::reset();
  }

  static void load(std::string_view fixture) {
    clear();
    std::string error;
    ASSERT_TRUE(memory::loadFixtureText(fixture, "test fixture", &error))
        << error;
  }

  // The reply line `kestreye scan` would print.
  static std::string scanLine() {
    return encodeReply(kestreye::scanReply()) + "\n";
  }

  // Scans a fixture through the recorder.
  static Round recordScan(std::string_view fixture) {
    load(fixture);
    Round round;
    round.reply = scanLine();
    round.recording = recorder().fixtureJson();
    return round;
  }

  // Records a scan of the fixture, replays the recording, and checks that
  // the reply is the same byte for byte and the recording of the replay is
  // the recording itself.
  static Round expectFaithful(std::string_view fixture) {
    const Round live = recordScan(fixture);
    const Round replay = recordScan(live.recording);
    EXPECT_EQ(replay.reply, live.reply);
    EXPECT_EQ(replay.recording, live.recording);
    return live;
  }
};

constexpr std::string_view kSignIn = R"({
  "frontmost": 501,
  "applications": { "501": "app" },
  "elements": [
    { "id": "app",
      "attributes": { "AXRole": "AXApplication", "AXTitle": "Mail",
                      "AXFocusedWindow": {"element": "win"},
                      "AXFocusedUIElement": {"element": "email"} },
      "children": [
        { "id": "win", "attributes": { "AXRole": "AXWindow", "AXTitle": "Accounts" },
          "children": [
            { "attributes": { "AXRole": "AXGroup", "AXTitle": "Sign in" },
              "children": [
                { "attributes": { "AXRole": "AXStaticText", "AXValue": "Welcome back" } },
                { "id": "email",
                  "attributes": { "AXRole": "AXTextField", "AXTitle": "Email",
                                  "AXValue": "ann\nlee", "AXFocused": true,
                                  "AXEnabled": true,
                                  "AXPosition": {"point": [120.5, 300]},
                                  "AXSize": {"size": [200, 24]},
                                  "AXSelectedTextRange": {"range": [3, 0]},
                                  "AXInsertionPointLineNumber": {"number": 0} } },
                { "attributes": { "AXRole": "AXSecureTextField" } },
                { "attributes": { "AXRole": "AXTextField", "AXSubrole": "AXSecureTextField",
                                  "AXValue": "hunter2",
                                  "AXPosition": {"point": [120, 340]},
                                  "AXSize": {"size": [200, 24]} } },
                { "attributes": { "AXRole": "AXButton", "AXTitle": "Sign In",
                                  "AXPosition": {"point": [120, 420]},
                                  "AXSize": {"size": [80, 24]} } },
                { "attributes": { "AXRole": "AXButton", "AXTitle": "Cancel",
                                  "AXPosition": {"point": [220, 420]},
                                  "AXSize": {"size": [80, 24]} } }
              ] } ] } ] } ]
})";

// A scan through the recorder, and the reply and recording of its replay.
struct RoundTrip {
  std::string_view fixture;
  std::string replyHas;
  // Members of the compact recording that must stand in it exactly once.
  std::vector<std::string> recordedOnce;
  std::vector<std::string> neverRecorded;
};

TEST_F(RecorderTest, ReplayOfARecordingAnswersByteForByte) {
  const std::vector<RoundTrip> trips = {
      // Only what the scan read: the application's title is never read, and
      // the password rule is forwarded, not the password. Numbers keep their
      // kinds.
      {kSignIn,
       "Actions: \\\"Email\\\", \\\"Sign In\\\", \\\"Cancel\\\"",
       {R"("AXFocused":true)", R"("AXPosition":{"point":[120.5,300.0]})",
        R"("AXInsertionPointLineNumber":{"number":0})"},
       {"hunter2", "Mail"}},
      // Invalid UTF-8 and NULs are kept as bytes.
      {R"({"frontmost": 7, "applications": {"7": "app"}, "elements": [
          {"id": "app", "attributes": {"AXFocusedUIElement": {"element": "f"}}},
          {"id": "f", "attributes": {"AXRole": "AXTextField",
             "AXTitle": {"bytes": [78, 255, 97, 0, 109]},
             "AXValue": {"bytes": [104, 105, 192, 175]}}}]})",
       "N\xEF\xBF\xBD",
       {R"("AXTitle":{"bytes":[78,255,97,0,109]})",
        R"("AXValue":{"bytes":[104,105,192,175]})"},
       {}},
      // Errors and reads without a value; an attribute the element does not
      // have is unsupported.
      {R"({"frontmost": 9, "applications": {"9": "app"}, "elements": [
          {"id": "app", "attributes": {"AXFocusedWindow": {"error": -25204},
             "AXFocusedUIElement": {"element": "b"}}},
          {"id": "b", "attributes": {"AXRole": "AXButton",
             "AXTitle": {"novalue": true}, "AXDescription": {"error": -25212},
             "AXLabel": "Send", "AXPosition": {"error": -25202}}}]})",
       "Focused: [Button] \\\"Send\\\" (FOCUSED)",
       {R"("AXFocusedWindow":{"error":-25204})",
        R"("AXTitle":{"novalue":true})", R"("AXDescription":{"error":-25212})",
        R"("AXPosition":{"error":-25202})",
        R"("AXPlaceholderValue":{"error":-25205})"},
       {}},
      {R"({"trusted": false})",
       "Accessibility permission not granted",
       {R"("trusted":false)"},
       {"frontmost"}},
      {R"({"frontmost": null})",
       "No frontmost application",
       {R"("frontmost":null)"},
       {}},
      // No application element: the replay's element fails the same way.
      {R"({"frontmost": 77})",
       "No focused element",
       {R"("AXFocusedUIElement":{"error":-25202})"},
       {}},
      // The group lists the field twice and the window among its children.
      {R"({"frontmost": 5, "applications": {"5": "app"}, "elements": [
          {"id": "app", "attributes": {"AXFocusedWindow": {"element": "win"},
             "AXFocusedUIElement": {"element": "field"}}},
          {"id": "win", "attributes": {"AXRole": "AXWindow",
             "AXChildren": {"elements": ["group"]}}},
          {"id": "group", "attributes": {"AXRole": "AXGroup",
             "AXParent": {"element": "win"}, "AXChildren": {"array": [
               {"element": "field"}, {"element": "field"},
               {"element": "win"}, {"number": 4}]}}},
          {"id": "field", "attributes": {"AXRole": "AXTextField",
             "AXParent": {"element": "group"}, "AXValue": "x",
             "AXFocused": true, "AXPosition": {"point": [10, 10]},
             "AXSize": {"size": [100, 20]}}}]})",
       "1. [TextField] value: \\\"x\\\" (FOCUSED)",
       {R"("AXRole":"AXTextField")"},
       {}},
  };
  for (const RoundTrip& trip : trips) {
    const Round live = expectFaithful(trip.fixture);
    EXPECT_NE(live.reply.find(trip.replyHas), std::string::npos) << live.reply;
    const std::string recording = Json::parse(live.recording).dump();
    for (const std::string& member : trip.recordedOnce) {
      const size_t at = recording.find(member);
      EXPECT_NE(at, std::string::npos) << member << "\n" << recording;
      EXPECT_EQ(recording.find(member, at + 1), std::string::npos)
          << member << "\n"
          << recording;
    }
    for (const std::string& text : trip.neverRecorded) {
      EXPECT_EQ(recording.find(text), std::string::npos) << recording;
    }
  }
}

// Every kind of value read through the recorder is written down as the
// fixture gave it: no kind collapses into another (true is no integer, 3.0
// stays floating) and reals keep every bit.
TEST_F(RecorderTest, EveryValueKindIsRecordedAsGiven) {
  const Json given = Json::parse(R"({
    "Text": "caf\u00e9 \"quoted\" \\ back", "Empty": "",
    "Bytes": {"bytes": [0, 1, 255, 128, 65]},
    "True": true, "False": false, "Zero": {"number": 0},
    "Min": {"number": -9223372036854775808}, "Max": {"number": 9223372036854775807},
    "Half": {"number": 0.5}, "Whole": {"number": 3.0}, "NegZero": {"number": -0.0},
    "Huge": {"number": 1e300}, "Tiny": {"number": 5e-324},
    "NaN": {"number": "nan"}, "Inf": {"number": "inf"}, "NegInf": {"number": "-inf"},
    "Point": {"point": ["nan", -10.9]}, "Size": {"size": [0.4, "inf"]},
    "Range": {"range": [-5, 9223372036854775807]},
    "Rect": {"rect": [1.0, 2.5, 3.0, 4.0]},
    "Element": {"element": "e2"}, "Elements": {"elements": ["e2", "e1"]},
    "Mixed": {"array": [{"element": "e2"}, "text", {"number": 2}, true]},
    "Nested": {"array": [{"array": [{"number": 1.25}]}, {"elements": []}]},
    "Error": {"error": -25204}, "NoValue": {"novalue": true},
    "Control": "tab\tline\nbell\u0007"})");
  load(R"({"frontmost": 3, "applications": {"3": "e1"}, "elements": [
      {"id": "e1", "attributes": )" +
       given.dump() + R"(}, {"id": "e2", "attributes": {}}]})");
  {
    // Read in name order, so the recorder meets e2 second, as it is named.
    const Element app = kestreye::applicationElement(3);
    for (const auto& [name, value] : given.items()) {
      (void)kestreye::copyAttribute(app, name);
    }
    (void)kestreye::copyAttribute(app, "Missing");
  }
  const Json recording = Json::parse(recorder().fixtureJson());
  const Json& recorded = recording["elements"][0]["attributes"];
  ASSERT_EQ(recording["elements"][0]["id"], "e1") << recording;
  for (const auto& [name, value] : given.items()) {
    EXPECT_EQ(recorded[name].dump(), value.dump()) << name;
  }
  EXPECT_EQ(recorded["Missing"].dump(), R"({"error":-25205})");
}

TEST_F(RecorderTest, WritesTheRecordingToAFile) {
  recordScan(kSignIn);
  const std::string path = ::testing::TempDir() + "kestreye_recording.json";
  std::string error;
  ASSERT_TRUE(recorder().writeFixture(path, &error)) << error;
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  EXPECT_EQ(text.str(), recorder().fixtureJson());
  std::remove(path.c_str());

  EXPECT_FALSE(
      recorder().writeFixture("/nonexistent-folder/recording.json", &error));
  EXPECT_NE(error.find("/nonexistent-folder/recording.json"),
            std::string::npos);
}

}  // namespace
}  // namespace kestreye::record
