#include "cli/scan.h"

#include <gtest/gtest.h>

#include "cli/reply.h"
#include "platform/memory/test_support.h"

namespace kestreye {
namespace {

using testing::MemoryTest;

class ScanTest : public MemoryTest {
 protected:
  // The sign-in window of the examples, built in C++.
  void SetUp() override {
    MemoryTest::SetUp();
    app = memory::addNode({{"AXRole", "AXApplication"}, {"AXTitle", "Mail"}});
    window =
        memory::addNode({{"AXRole", "AXWindow"}, {"AXTitle", "Accounts"}}, app);
    pane = memory::addNode({{"AXRole", "AXGroup"}, {"AXTitle", "Sign in"}},
                           window);
    memory::addNode({{"AXRole", "AXStaticText"}, {"AXValue", "Welcome back"}},
                    pane);
    email = memory::addNode({{"AXRole", "AXTextField"},
                             {"AXTitle", "Email"},
                             {"AXValue", "ann"},
                             {"AXFocused", true},
                             {"AXPosition", Point{120, 300}},
                             {"AXSize", Size{200, 24}},
                             {"AXSelectedTextRange", Range{3, 0}},
                             {"AXInsertionPointLineNumber", 0}},
                            pane);
    memory::addNode({{"AXRole", "AXButton"},
                     {"AXTitle", "Sign In"},
                     {"AXPosition", Point{120, 420}},
                     {"AXSize", Size{80, 24}}},
                    pane);
    memory::setAttribute(app, "AXFocusedWindow", window);
    memory::setAttribute(app, "AXFocusedUIElement", email);
    memory::setApplication(501, app);
    memory::setFrontmost(501);
  }

  // The reply line scan() would print.
  static std::string run() { return encodeReply(scanReply()) + "\n"; }

  memory::Node* app = nullptr;
  memory::Node* window = nullptr;
  memory::Node* pane = nullptr;
  memory::Node* email = nullptr;
};

TEST_F(ScanTest, FullScanLogsTheLengthOfItsBlockInCharacters) {
  EXPECT_EQ(run().substr(0, 16), "{\"success\":true,");
  // The arrow of the focus marker counts as one character, not three bytes.
  EXPECT_EQ(memory::logLines(),
            (std::vector<std::string>{"[kestreye] scan complete: 239 chars"}));
}

TEST_F(ScanTest, FailedScansLogOneLineAndReadNoFurther) {
  memory::setTrusted(false);
  EXPECT_EQ(run(),
            "{\"success\":false,\"error\":\"Accessibility permission not "
            "granted\"}\n");
  EXPECT_EQ(memory::attributeReads(), 0u);
  memory::setTrusted(true);
  memory::setFrontmost(std::nullopt);
  EXPECT_EQ(run(),
            "{\"success\":false,\"error\":\"No frontmost application\"}\n");
  memory::setFrontmost(501);
  memory::setAttribute(app, "AXFocusedUIElement", memory::NoValue{});
  EXPECT_EQ(run(), "{\"success\":false,\"error\":\"No focused element\"}\n");
  EXPECT_EQ(
      memory::logLines(),
      (std::vector<std::string>{
          "[kestreye] Not trusted \xE2\x80\x94 accessibility permission "
          "required",
          "[kestreye] No frontmost app", "[kestreye] No focused element"}));
}

TEST_F(ScanTest, NoWindowReadsOnlyTheFocusedElementAndLogsNothing) {
  memory::setAttribute(app, "AXFocusedWindow", memory::ErrorCode{kAxNoValue});
  EXPECT_EQ(run(),
            "{\"success\":true,\"ui_block\":\"Focused: [TextField] "
            "\\\"Email\\\" value: \\\"ann\\\" (FOCUSED)\"}\n");
  // Window, focus, position, size, role and nine description reads.
  EXPECT_EQ(memory::attributeReads(), 14u);
  EXPECT_TRUE(memory::logLines().empty());
}

TEST_F(ScanTest, EachScanReadsTheTreeAfresh) {
  const std::string first = run();
  EXPECT_NE(first.find("value: \\\"ann\\\""), std::string::npos) << first;
  memory::setAttribute(email, "AXValue", "bob");
  memory::setAttribute(email, "AXSelectedTextRange", Range{1, 0});
  memory::addNode({{"AXRole", "AXButton"},
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
  EXPECT_EQ(memory::logLines().size(), 2u);
}

}  // namespace
}  // namespace kestreye
