#include "cli/scan.h"

#include <gtest/gtest.h>

#include "cli/entry.h"
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

TEST_F(ScanTest, FullScanAnswersTheBlockAndLogsItsLength) {
  EXPECT_EQ(run(),
            "{\"success\":true,\"ui_block\":\"Focused: [TextField] "
            "\\\"Email\\\" value: "
            "\\\"ann\\\" (FOCUSED) in \\\"Sign in\\\"\\ncursor: \\\"ann|\\\" "
            "(pos 3\\/3, line "
            "0)\\n\\nForm fields (tab order):\\n  1. [TextField] \\\"Email\\\" "
            "value: "
            "\\\"ann\\\" (FOCUSED) \xE2\x86\x90 you are here\\n\\nActions: "
            "\\\"Email\\\", "
            "\\\"Sign In\\\"\\n\\nNearby: \\\"Welcome back\\\"\"}\n");
  // The arrow counts as one character, not as its three bytes.
  EXPECT_EQ(memory::logLines(),
            (std::vector<std::string>{"[kestreye] scan complete: 239 chars"}));
}

TEST_F(ScanTest, NoPermissionAsksNothingElse) {
  memory::setTrusted(false);
  const uint64_t before = memory::attributeReads();
  EXPECT_EQ(run(),
            "{\"success\":false,\"error\":\"Accessibility permission not "
            "granted\"}\n");
  EXPECT_EQ(memory::attributeReads(), before);
  EXPECT_EQ(memory::logLines(),
            (std::vector<std::string>{"[kestreye] Not trusted \xE2\x80\x94 "
                                      "accessibility permission required"}));
}

TEST_F(ScanTest, NoFrontmostApplication) {
  memory::setFrontmost(std::nullopt);
  EXPECT_EQ(run(),
            "{\"success\":false,\"error\":\"No frontmost application\"}\n");
  EXPECT_EQ(memory::logLines(),
            (std::vector<std::string>{"[kestreye] No frontmost app"}));
}

TEST_F(ScanTest, WindowButNoFocusedElement) {
  memory::setAttribute(app, "AXFocusedUIElement", memory::NoValue{});
  EXPECT_EQ(run(), "{\"success\":false,\"error\":\"No focused element\"}\n");
  memory::setAttribute(app, "AXFocusedUIElement",
                       memory::ErrorCode{kAxCannotComplete});
  EXPECT_EQ(run(), "{\"success\":false,\"error\":\"No focused element\"}\n");
  EXPECT_EQ(memory::logLines().back(), "[kestreye] No focused element");
}

TEST_F(ScanTest, UnknownApplicationHasNoFocusedElement) {
  memory::setFrontmost(999);
  EXPECT_EQ(run(), "{\"success\":false,\"error\":\"No focused element\"}\n");
}

TEST_F(ScanTest, NoWindowGivesTheShortBlockWithoutWalking) {
  memory::setAttribute(app, "AXFocusedWindow", memory::ErrorCode{kAxNoValue});
  const uint64_t before = memory::attributeReads();
  EXPECT_EQ(run(),
            "{\"success\":true,\"ui_block\":\"Focused: [TextField] "
            "\\\"Email\\\" value: "
            "\\\"ann\\\" (FOCUSED)\"}\n");
  // Window, focus, position, size, role and nine description reads.
  EXPECT_EQ(memory::attributeReads() - before, 14u);
  EXPECT_TRUE(memory::logLines().empty());
}

TEST_F(ScanTest, NoWindowAndNoRoleDescribesAnEmptyRole) {
  memory::setAttribute(app, "AXFocusedWindow", memory::NoValue{});
  memory::setAttribute(email, "AXRole", memory::ErrorCode{kAxCannotComplete});
  EXPECT_EQ(run(),
            "{\"success\":true,\"ui_block\":\"Focused: [] \\\"Email\\\" value: "
            "\\\"ann\\\" "
            "(FOCUSED)\"}\n");
}

TEST_F(ScanTest, FieldsOnlyTheWiderUpwardReachAdmitsAreListed) {
  // Centre line 350 points above the focused field: within 400, beyond 300.
  memory::addNode({{"AXRole", "AXTextField"},
                   {"AXTitle", "Far above"},
                   {"AXPosition", Point{120, -60}},
                   {"AXSize", Size{200, 20}}},
                  pane);
  EXPECT_NE(run().find("Far above"), std::string::npos);
}

TEST_F(ScanTest, MissingFrameMeansTheOrigin) {
  memory::setAttribute(email, "AXPosition",
                       memory::ErrorCode{kAxCannotComplete});
  memory::addNode({{"AXRole", "AXCheckBox"},
                   {"AXTitle", "Near the origin"},
                   {"AXPosition", Point{10, 10}},
                   {"AXSize", Size{20, 20}}},
                  pane);
  const std::string reply = run();
  EXPECT_NE(reply.find("Near the origin"), std::string::npos);
  // The email field at (120, 300) is beyond 300 points below the origin's
  // frame.
  EXPECT_EQ(reply.find("1. [TextField]"), std::string::npos);
}

TEST_F(ScanTest, LoopingTreeStillAnswersOneLine) {
  memory::setAttribute(pane, "AXChildren",
                       std::vector<memory::Value>{pane, email, pane});
  const std::string reply = run();
  EXPECT_EQ(reply.substr(0, 16), "{\"success\":true,");
  EXPECT_EQ(reply.find('\n'), reply.size() - 1);
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

class EntryTest : public ScanTest {
 protected:
  // The exit status, and in `out` the reply line kestreyeMain would print.
  static int runMain(const std::vector<std::string>& words, std::string* out) {
    const CommandResult result = runCommand(words);
    *out = encodeReply(result.reply) + "\n";
    return result.status;
  }
};

TEST_F(EntryTest, CommandWords) {
  std::string out;
  EXPECT_EQ(runMain({"kestreye"}, &out), 1);
  EXPECT_EQ(out, "{\"success\":false,\"error\":\"Usage: kestreye <scan>\"}\n");
  for (const std::string word : {"SCAN", "Scan", "scan ", "", "--help"}) {
    EXPECT_EQ(runMain({"kestreye", word}, &out), 1);
    EXPECT_EQ(out, "{\"success\":false,\"error\":\"Unknown command: " + word +
                       "\"}\n");
  }
  EXPECT_EQ(runMain({"kestreye", "scan", "extra", "words"}, &out), 0);
  EXPECT_EQ(out.substr(0, 16), "{\"success\":true,");
  memory::setTrusted(false);
  EXPECT_EQ(runMain({"kestreye", "scan"}, &out), 0);
  EXPECT_EQ(out,
            "{\"success\":false,\"error\":\"Accessibility permission not "
            "granted\"}\n");
  EXPECT_EQ(runMain({"kestreye", "sc\xFF"}, &out), 1);
  EXPECT_EQ(
      out,
      "{\"success\":false,\"error\":\"Unknown command: sc\xEF\xBF\xBD\"}\n");
}

}  // namespace
}  // namespace kestreye
