#include "scan/scan.h"

#include <gtest/gtest.h>

#include "platform/memory/memory_platform.h"
#include "scan/reply.h"
#include "text/text.h"

namespace kestreye {
namespace {

class ScanTest : public ::testing::Test {
 protected:
  // A sign-in window like that of the examples.
  void SetUp() override {
    installPlatform(tree);
    std::string error;
    ASSERT_TRUE(tree.loadFixtureText(
        R"({"frontmost": 501, "applications": {"501": "app"}, "elements": [
      {"id": "app", "attributes": {"AXRole": "AXApplication", "AXTitle": "Mail",
         "AXFocusedWindow": {"element": "win"}, "AXFocusedUIElement": {"element": "email"}}, "children": [
       {"id": "win", "attributes": {"AXRole": "AXWindow", "AXTitle": "Accounts"}, "children": [
        {"attributes": {"AXRole": "AXGroup", "AXTitle": "Sign in"}, "children": [
         {"attributes": {"AXRole": "AXStaticText", "AXValue": "Welcome back"}},
         {"id": "email", "attributes": {"AXRole": "AXTextField", "AXTitle": "Email", "AXValue": "ann",
            "AXFocused": true, "AXPosition": {"point": [120, 300]}, "AXSize": {"size": [200, 24]},
            "AXSelectedTextRange": {"range": [3, 0]}, "AXInsertionPointLineNumber": {"number": 0}}},
         {"attributes": {"AXRole": "AXButton", "AXTitle": "Sign In",
            "AXPosition": {"point": [120, 420]}, "AXSize": {"size": [80, 24]}}}]}]}]}]})",
        "sign-in", &error))
        << error;
    app = static_cast<memory::Node*>(tree.applicationElement(501).ref());
    pane = app->children[0]->children[0];
    email = pane->children[1];
  }

  // The reply line `kestreye scan` would print.
  static std::string run() { return encodeReply(scanReply()) + "\n"; }

  // Every handle a test took is given back.
  void TearDown() override { EXPECT_EQ(tree.liveHandles(), 0); }

  memory::MemoryPlatform tree;
  memory::Node* app = nullptr;
  memory::Node* pane = nullptr;
  memory::Node* email = nullptr;
};

// The bound that README states for the reply line: every text the block
// shows filled to its limit with characters of 201 four-byte code points.
TEST_F(ScanTest, ReplyOfTextsFilledToEveryLimitStaysUnderItsBound) {
  const auto giant = [](int characters, char32_t base) {
    std::string text;
    for (int i = 0; i < characters; ++i) {
      appendUtf8(text, base + static_cast<char32_t>(i % 64));
      for (int mark = 0; mark < 200; ++mark) appendUtf8(text, 0x1D167);
    }
    return text;
  };
  memory::setAttribute(pane, "AXTitle", giant(90, 0x1F600));
  memory::setAttribute(email, "AXPosition", Point{120, 2000});
  memory::Node* first = nullptr;
  for (int i = 0; i < 13; ++i) {
    memory::Node* field =
        tree.addNode({{"AXRole", "AXTextArea"},
                      {"AXTitle", giant(60, 0x1F600)},
                      {"AXValue", giant(120, 0x1F600)},
                      {"AXPlaceholderValue", giant(60, 0x1F600)},
                      {"AXSelectedText", giant(40, 0x1F600)},
                      {"AXSelectedTextRange", Range{30, 60}},
                      {"AXInsertionPointLineNumber", 1234567},
                      {"AXFocused", true},
                      {"AXEnabled", false},
                      {"AXSelected", true},
                      {"AXPosition", Point{120, 300.0 + 20 * i}},
                      {"AXSize", Size{200, 16}}},
                     pane);
    if (first == nullptr) first = field;
  }
  for (char32_t i = 0; i < 12; ++i) {
    tree.addNode({{"AXRole", "AXButton"},
                  {"AXTitle", giant(60, 0x1F400 + 64 * i)},
                  {"AXPosition", Point{400.0 + 20 * i, 600}},
                  {"AXSize", Size{10, 10}}},
                 pane);
    tree.addNode(
        {{"AXRole", "AXStaticText"}, {"AXValue", giant(90, 0x1F400 + 64 * i)}},
        pane);
  }
  memory::setAttribute(app, "AXFocusedUIElement", first);
  const std::string reply = run();
  // Near the bound, so that the texts do fill the limits.
  EXPECT_GT(reply.size(), size_t{400} * 1024);
  EXPECT_LE(reply.size(), size_t{512} * 1024);
}

// The deadlines of one scan: walks cut short give the block of what was read
// before them; reads that end before the platform has started give its error.
TEST_F(ScanTest, DeadlinesCutTheWalksThenTheReads) {
  const auto now = std::chrono::steady_clock::now();
  const auto later = now + std::chrono::hours(1);
  EXPECT_EQ(encodeReply(scanReply(ScanDeadlines{now, later})),
            "{\"success\":true,\"ui_block\":\"Focused: [TextField] "
            "\\\"Email\\\" value: \\\"ann\\\" (FOCUSED)\\ncursor: "
            "\\\"ann|\\\" (pos 3\\/3, line 0)\"}");
  std::atomic<ScanStep> step{ScanStep::Gathering};
  EXPECT_EQ(encodeReply(scanReply(ScanDeadlines{now, now}, &step)),
            "{\"success\":false,\"error\":\"Accessibility permission not "
            "granted\"}");
  EXPECT_EQ(step.load(), ScanStep::Starting);
  EXPECT_EQ(
      encodeReply(scanReply(ScanDeadlines{later, later}, &step)).substr(0, 16),
      "{\"success\":true,");
  EXPECT_EQ(step.load(), ScanStep::Gathering);
}

TEST_F(ScanTest, EachScanReadsTheTreeAfresh) {
  const std::string first = run();
  EXPECT_NE(first.find("value: \\\"ann\\\""), std::string::npos) << first;
  memory::setAttribute(email, "AXValue", "bob");
  memory::setAttribute(email, "AXSelectedTextRange", Range{1, 0});
  tree.addNode({{"AXRole", "AXButton"},
                {"AXTitle", "Forgot password"},
                {"AXPosition", Point{220, 420}},
                {"AXSize", Size{80, 24}}},
               pane);
  EXPECT_EQ(
      run(),
      "{\"success\":true,\"ui_block\":\"Focused: [TextField] "
      "\\\"Email\\\" value: \\\"bob\\\" (FOCUSED) in \\\"Sign in\\\"\\n"
      "cursor: \\\"b|ob\\\" (pos 1\\/3, line 0)\\n\\n"
      "Form fields (tab order):\\n  1. [TextField] \\\"Email\\\" value: "
      "\\\"bob\\\" (FOCUSED) \xE2\x86\x90 you are here\\n\\n"
      "Actions: \\\"Email\\\", \\\"Sign In\\\", \\\"Forgot password\\\"\\n\\n"
      "Nearby: \\\"Welcome back\\\"\"}\n");
  EXPECT_EQ(tree.logLines().size(), 2u);
}

}  // namespace
}  // namespace kestreye
