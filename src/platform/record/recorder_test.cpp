#include "platform/record/recorder.h"

#include <gtest/gtest.h>

#include <cmath>
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

  static const Json* elementById(const Json& recording, const std::string& id) {
    for (const Json& element : recording["elements"]) {
      if (element["id"] == id) return &element;
    }
    return nullptr;
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

TEST_F(RecorderTest, ReplayOfARecordedScanPrintsTheSameReply) {
  const Round live = expectFaithful(kSignIn);
  // The scan went all the way: a form, not an error reply.
  EXPECT_NE(live.reply.find("\"success\":true"), std::string::npos)
      << live.reply;
  EXPECT_NE(live.reply.find("Sign In"), std::string::npos) << live.reply;
  // The recorder forwarded the platform's password rule, not the password.
  EXPECT_EQ(live.recording.find("hunter2"), std::string::npos);
}

TEST_F(RecorderTest, RecordingIsAFlatListWithExplicitRelations) {
  const Round live = expectFaithful(kSignIn);
  const Json recording = Json::parse(live.recording);
  EXPECT_EQ(recording["trusted"], true);
  EXPECT_EQ(recording["frontmost"], 501);
  const std::string appId = recording["applications"]["501"];
  const Json* app = elementById(recording, appId);
  ASSERT_NE(app, nullptr);
  EXPECT_EQ(app->count("children"), 0u);
  // Only what the scan read: nothing reads the application's title.
  EXPECT_FALSE(app->at("attributes").contains("AXTitle"));

  // The focused element is one element, whether reached from the
  // application or from its parent's children.
  const std::string focusedId =
      (*app)["attributes"]["AXFocusedUIElement"]["element"];
  const std::string windowId =
      (*app)["attributes"]["AXFocusedWindow"]["element"];
  const Json* focused = elementById(recording, focusedId);
  ASSERT_NE(focused, nullptr);
  const std::string parentId = (*focused)["attributes"]["AXParent"]["element"];
  const Json* parent = elementById(recording, parentId);
  ASSERT_NE(parent, nullptr);
  const Json& siblings = (*parent)["attributes"]["AXChildren"]["elements"];
  EXPECT_NE(std::find(siblings.begin(), siblings.end(), focusedId),
            siblings.end());
  EXPECT_NE(windowId, focusedId);

  // Numbers keep their kinds: a Boolean, an integer, a floating point.
  EXPECT_EQ((*focused)["attributes"]["AXFocused"], true);
  EXPECT_EQ((*focused)["attributes"]["AXPosition"]["point"][0], 120.5);
  EXPECT_TRUE(
      (*focused)["attributes"]["AXPosition"]["point"][1].is_number_float());
  EXPECT_TRUE((*focused)["attributes"]["AXInsertionPointLineNumber"]["number"]
                  .is_number_integer());
}

TEST_F(RecorderTest, InvalidUtf8AndNulsAreRecordedAsBytes) {
  const Round live = expectFaithful(R"({
    "frontmost": 7, "applications": {"7": "app"},
    "elements": [
      { "id": "app", "attributes": { "AXRole": "AXApplication",
          "AXFocusedUIElement": {"element": "field"} } },
      { "id": "field", "attributes": { "AXRole": "AXTextField",
          "AXTitle": {"bytes": [78, 255, 97, 0, 109]},
          "AXValue": {"bytes": [104, 105, 192, 175]} } }
    ]
  })");
  // The scan saw the repaired text: one U+FFFD per ill-formed sequence.
  EXPECT_NE(live.reply.find("N\xEF\xBF\xBD"
                            "a"),
            std::string::npos)
      << live.reply;
  const Json recording = Json::parse(live.recording);
  bool sawTitle = false;
  for (const Json& element : recording["elements"]) {
    const Json& attributes = element["attributes"];
    if (!attributes.contains("AXTitle") ||
        attributes["AXRole"] != "AXTextField") {
      continue;
    }
    sawTitle = true;
    EXPECT_EQ(attributes["AXTitle"]["bytes"],
              Json::parse("[78, 255, 97, 0, 109]"));
  }
  EXPECT_TRUE(sawTitle) << live.recording;
}

TEST_F(RecorderTest, ErrorsAndMissingValuesAreRecorded) {
  const Round live = expectFaithful(R"({
    "frontmost": 9, "applications": {"9": "app"},
    "elements": [
      { "id": "app", "attributes": { "AXRole": "AXApplication",
          "AXFocusedWindow": {"error": -25204},
          "AXFocusedUIElement": {"element": "button"} } },
      { "id": "button", "attributes": { "AXRole": "AXButton",
          "AXTitle": {"novalue": true}, "AXDescription": {"error": -25212},
          "AXLabel": "Send", "AXPosition": {"error": -25202} } }
    ]
  })");
  EXPECT_NE(live.reply.find("Send"), std::string::npos) << live.reply;
  const Json recording = Json::parse(live.recording);
  const Json* app = elementById(recording, recording["applications"]["9"]);
  ASSERT_NE(app, nullptr);
  EXPECT_EQ((*app)["attributes"]["AXFocusedWindow"],
            Json::parse(R"({"error": -25204})"));
  const Json* button = elementById(
      recording, (*app)["attributes"]["AXFocusedUIElement"]["element"]);
  ASSERT_NE(button, nullptr);
  const Json& attributes = (*button)["attributes"];
  EXPECT_EQ(attributes["AXTitle"], Json::parse(R"({"novalue": true})"));
  EXPECT_EQ(attributes["AXDescription"], Json::parse(R"({"error": -25212})"));
  EXPECT_EQ(attributes["AXPosition"], Json::parse(R"({"error": -25202})"));
  // An attribute the element does not have fails as unsupported.
  ASSERT_TRUE(attributes.contains("AXPlaceholderValue"));
  EXPECT_EQ(attributes["AXPlaceholderValue"],
            Json::parse(R"({"error": -25205})"));
}

TEST_F(RecorderTest, FailedScansAreRecordedToo) {
  const Round untrusted = expectFaithful(R"({"trusted": false})");
  EXPECT_NE(untrusted.reply.find("Accessibility permission not granted"),
            std::string::npos);
  const Json recording = Json::parse(untrusted.recording);
  EXPECT_EQ(recording["trusted"], false);
  EXPECT_FALSE(recording.contains("frontmost"));

  const Round nobody = expectFaithful(R"({"frontmost": null})");
  EXPECT_NE(nobody.reply.find("No frontmost application"), std::string::npos);
  EXPECT_TRUE(Json::parse(nobody.recording)["frontmost"].is_null());

  // A process without an application element: every read fails, and the
  // replay's element fails the same way.
  const Round unknown = expectFaithful(R"({"frontmost": 77})");
  EXPECT_NE(unknown.reply.find("No focused element"), std::string::npos);
  const Json unknownRecording = Json::parse(unknown.recording);
  const Json* app =
      elementById(unknownRecording, unknownRecording["applications"]["77"]);
  ASSERT_NE(app, nullptr);
  EXPECT_EQ(app->at("attributes").at("AXFocusedUIElement"),
            Json::parse(R"({"error": -25202})"));
}

TEST_F(RecorderTest, SharedAndLoopingElementsAreRecordedOnce) {
  // The group lists the field twice and its own window among its children.
  const Round live = expectFaithful(R"({
    "frontmost": 5, "applications": {"5": "app"},
    "elements": [
      { "id": "app", "attributes": { "AXRole": "AXApplication",
          "AXFocusedWindow": {"element": "win"},
          "AXFocusedUIElement": {"element": "field"} } },
      { "id": "win", "attributes": { "AXRole": "AXWindow",
          "AXChildren": {"elements": ["group"]} } },
      { "id": "group", "attributes": { "AXRole": "AXGroup", "AXParent": {"element": "win"},
          "AXChildren": {"array": [{"element": "field"}, {"element": "field"},
                                   {"element": "win"}, {"number": 4}]} } },
      { "id": "field", "attributes": { "AXRole": "AXTextField", "AXParent": {"element": "group"},
          "AXValue": "x", "AXFocused": true,
          "AXPosition": {"point": [10, 10]}, "AXSize": {"size": [100, 20]} } }
    ]
  })");
  const Json recording = Json::parse(live.recording);
  int fields = 0;
  for (const Json& element : recording["elements"]) {
    if (element["attributes"].value("AXRole", Json()) == "AXTextField")
      ++fields;
  }
  EXPECT_EQ(fields, 1) << live.recording;
}

// One answer as text that holds no element handle: the result code and the
// value with its kinds, reals in hexadecimal so every bit counts.
std::string canonical(const RawValue& value) {
  char buffer[128];
  if (const auto* text = std::get_if<std::string>(&value.v)) {
    std::string out = "text:";
    for (const char c : *text) {
      std::snprintf(buffer, sizeof buffer, "%02x",
                    static_cast<unsigned char>(c));
      out += buffer;
    }
    return out;
  }
  if (const auto* number = std::get_if<Number>(&value.v)) {
    std::snprintf(buffer, sizeof buffer, "number:%d:%lld:%a",
                  static_cast<int>(number->kind),
                  static_cast<long long>(number->integer), number->real);
    return buffer;
  }
  if (const auto* point = std::get_if<Point>(&value.v)) {
    std::snprintf(buffer, sizeof buffer, "point:%a:%a", point->x, point->y);
    return buffer;
  }
  if (const auto* size = std::get_if<Size>(&value.v)) {
    std::snprintf(buffer, sizeof buffer, "size:%a:%a", size->w, size->h);
    return buffer;
  }
  if (const auto* range = std::get_if<Range>(&value.v)) {
    std::snprintf(buffer, sizeof buffer, "range:%lld:%lld",
                  static_cast<long long>(range->location),
                  static_cast<long long>(range->length));
    return buffer;
  }
  if (const auto* rect = std::get_if<Rect>(&value.v)) {
    std::snprintf(buffer, sizeof buffer, "rect:%a:%a:%a:%a", rect->x, rect->y,
                  rect->w, rect->h);
    return buffer;
  }
  if (const auto* element = std::get_if<Element>(&value.v)) {
    return element->empty() ? "element:none" : "element";
  }
  std::string out = "array[";
  for (const RawValue& entry : std::get<RawArray>(value.v)) {
    out += canonical(entry) + ",";
  }
  return out + "]";
}

std::string canonical(const AttributeRead& read) {
  std::string out = "code " + std::to_string(read.code);
  if (read.value.has_value()) out += " " + canonical(*read.value);
  return out;
}

TEST_F(RecorderTest, EveryValueKindReadsBackTheSame) {
  const std::vector<std::string> names = {
      "Text",  "Empty",   "Bytes",   "True",     "False",   "Zero",
      "Min",   "Max",     "Half",    "Whole",    "NegZero", "Huge",
      "Tiny",  "NaN",     "Inf",     "NegInf",   "Point",   "Size",
      "Range", "Rect",    "Element", "Elements", "Mixed",   "Nested",
      "Error", "NoValue", "Control", "Missing"};
  load(R"({
    "frontmost": 3, "applications": {"3": "app"},
    "elements": [
      { "id": "app", "attributes": {
          "Text": "caf\u00e9 \"quoted\" \\ back", "Empty": "",
          "Bytes": {"bytes": [0, 1, 255, 128, 65]},
          "True": true, "False": false, "Zero": {"number": 0},
          "Min": {"number": -9223372036854775808}, "Max": {"number": 9223372036854775807},
          "Half": {"number": 0.5}, "Whole": {"number": 3.0}, "NegZero": {"number": -0.0},
          "Huge": {"number": 1e300}, "Tiny": {"number": 5e-324},
          "NaN": {"number": "nan"}, "Inf": {"number": "inf"}, "NegInf": {"number": "-inf"},
          "Point": {"point": ["nan", -10.9]}, "Size": {"size": [0.4, "inf"]},
          "Range": {"range": [-5, 9223372036854775807]},
          "Rect": {"rect": [1, 2.5, 3, 4]},
          "Element": {"element": "other"}, "Elements": {"elements": ["other", "app"]},
          "Mixed": {"array": [{"element": "other"}, "text", {"number": 2}, true]},
          "Nested": {"array": [{"array": [{"number": 1.25}]}, {"elements": []}]},
          "Error": {"error": -25204}, "NoValue": {"novalue": true},
          "Control": "tab\tline\nnul\u0000bell\u0007" } },
      { "id": "other", "attributes": {} }
    ]
  })");
  ASSERT_EQ(kestreye::frontmostProcessId(), std::optional<int32_t>(3));
  std::vector<std::string> live;
  {
    const Element app = kestreye::applicationElement(3);
    for (const std::string& name : names) {
      live.push_back(canonical(kestreye::copyAttribute(app, name)));
    }
  }
  const std::string recording = recorder().fixtureJson();
  load(recording);
  const Element app = kestreye::testing::memoryPlatform().applicationElement(3);
  ASSERT_FALSE(app.empty()) << recording;
  for (size_t i = 0; i < names.size(); ++i) {
    EXPECT_EQ(canonical(kestreye::testing::memoryPlatform().copyAttribute(
                  app, names[i])),
              live[i])
        << names[i] << "\n"
        << recording;
  }
  // The kinds that must not collapse into one another on the way.
  EXPECT_NE(live[3], live[5]);  // true is not the integer 0 or 1
  EXPECT_NE(live[9], "code 0 number:1:3:0x0p+0");  // 3.0 stays floating
  EXPECT_EQ(live.back(), "code -25205");
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
