// Reads the live accessibility tree of kestreye-demo through the AT-SPI
// platform, attribute by attribute. Runs inside scripts/session, which
// provides the X server and the buses; KESTREYE_DEMO names the demo binary and
// KESTREYE_BIN the kestreye binary (used to wait until the demo is ready).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include "platform/atspi/atspi_platform.h"

namespace kestreye::atspi {
namespace {

using Clock = std::chrono::steady_clock;

// The platform under test, installed before any test runs and never
// destroyed: the suites keep element handles until the process ends.
[[maybe_unused]] const bool kInstalled = [] {
  installPlatform(*makePlatform().release());
  return true;
}();

// Typed into the email field: a thumbs-up with a skin tone is one character
// of two code points, so the caret after it is at 6 characters, 7 code points.
constexpr char kTyped[] = "h\xC3\xA9llo\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBDx";

std::string run(const std::string& command) {
  std::string out;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[4096];
    size_t got = 0;
    while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0)
      out.append(buffer, got);
    pclose(pipe);
  }
  return out;
}

std::string text(const AttributeRead& read) {
  if (read.code != kAxSuccess || !read.value.has_value()) return "<none>";
  const auto* value = std::get_if<std::string>(&read.value->v);
  return value == nullptr ? "<not text>" : *value;
}

Element element(const AttributeRead& read) {
  if (read.code != kAxSuccess || !read.value.has_value()) return Element();
  const auto* value = std::get_if<Element>(&read.value->v);
  return value == nullptr ? Element() : *value;
}

std::vector<Element> children(const Element& parent) {
  std::vector<Element> result;
  const AttributeRead read = kestreye::copyAttribute(parent, "AXChildren");
  if (read.code != kAxSuccess || !read.value.has_value()) return result;
  for (const RawValue& child : std::get<RawArray>(read.value->v)) {
    result.push_back(std::get<Element>(child.v));
  }
  return result;
}

// The first element below `root`, depth first, that `wanted` accepts.
Element find(const Element& root,
             const std::function<bool(const Element&)>& wanted) {
  for (const Element& child : children(root)) {
    if (wanted(child)) return child;
    if (Element found = find(child, wanted); !found.empty()) return found;
  }
  return Element();
}

std::function<bool(const Element&)> withRoleAndLabel(std::string role,
                                                     std::string label) {
  return [role, label](const Element& candidate) {
    return text(kestreye::copyAttribute(candidate, "AXRole")) == role &&
           text(kestreye::copyAttribute(candidate, "AXLabel")) == label;
  };
}

// Starts an application (`argv`, standard output discarded), brings its
// window to the front, runs `drive` (xdotool commands), and waits until a
// separate scan's reply contains `expected`. This process must not ask
// libatspi anything before the application is ready: the platform remembers
// every answer for the life of the process. Sets the application's process
// id (-1 when none started) and returns whether the expected reply came.
bool startApplication(const std::vector<std::string>& argv,
                      const std::vector<std::string>& drive,
                      const std::string& expected, pid_t* started) {
  *started = -1;
  const char* kestreye = std::getenv("KESTREYE_BIN");
  if (argv.empty() || kestreye == nullptr ||
      std::getenv("DISPLAY") == nullptr) {
    return false;
  }
  const pid_t pid = fork();
  if (pid == 0) {
    if (FILE* null = std::fopen("/dev/null", "w"))
      dup2(fileno(null), STDOUT_FILENO);
    setenv("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1", 1);
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    std::vector<char*> args;
    for (const std::string& arg : argv)
      args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  *started = pid;
  std::string window =
      run("timeout 15 xdotool search --sync --onlyvisible --pid " +
          std::to_string(pid) + " 2>/dev/null | head -n 1");
  while (!window.empty() && (window.back() == '\n' || window.back() == ' ')) {
    window.pop_back();
  }
  if (window.empty()) return false;
  run("xdotool windowraise " + window);
  run("xdotool windowfocus --sync " + window);
  for (const std::string& command : drive) run("xdotool " + command);
  for (int i = 0; i < 200; ++i) {
    if (run(std::string(kestreye) + " scan 2>/dev/null").find(expected) !=
        std::string::npos) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

// kestreye-demo with the focus on `focus`.
bool startDemo(const char* focus, const std::vector<std::string>& drive,
               const std::string& expected, pid_t* started) {
  const char* demo = std::getenv("KESTREYE_DEMO");
  if (demo == nullptr) {
    *started = -1;
    return false;
  }
  return startApplication({demo, std::string("--focus=") + focus}, drive,
                          expected, started);
}

void stopDemo(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGCONT);
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
}

// Set by the first suite that talks to the platform: a later suite in the
// same process would see that suite's remembered desktop, not its own.
bool platformUsed = false;

// What every live suite reads first: the frontmost application, which must
// be the one the suite started, and its focused window.
class LiveTest : public ::testing::Test {
 protected:
  void attach(bool ready, pid_t started, const char* whyNot) {
    if (!ready) GTEST_SKIP() << whyNot;
    platformUsed = true;
    ASSERT_TRUE(isProcessTrusted());
    const std::optional<int32_t> pid = frontmostProcessId();
    ASSERT_EQ(pid, std::optional<int32_t>(started));
    app_ = applicationElement(*pid);
    ASSERT_FALSE(app_.empty());
    window_ = element(kestreye::copyAttribute(app_, "AXFocusedWindow"));
    ASSERT_FALSE(window_.empty());
  }

  Element app_;
  Element window_;
};

class AtspiLiveTest : public LiveTest {
 protected:
  static void SetUpTestSuite() {
    if (platformUsed) return;
    // A caret after the thumbs-up: 6 characters, 7 code points.
    ready_ = startDemo(
        "email", {std::string("type --delay 20 '") + kTyped + "'", "key Left"},
        "h\xC3\xA9llo\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD|x", &demoPid_);
  }

  static void TearDownTestSuite() { stopDemo(demoPid_); }

  void SetUp() override {
    attach(ready_, demoPid_,
           "no desktop with kestreye-demo (run under scripts/session)");
    if (IsSkipped() || HasFatalFailure()) return;
    focused_ = element(kestreye::copyAttribute(app_, "AXFocusedUIElement"));
    ASSERT_FALSE(focused_.empty());
  }

  static inline pid_t demoPid_ = -1;
  static inline bool ready_ = false;
  Element focused_;
};

TEST_F(AtspiLiveTest, ApplicationAndWindow) {
  EXPECT_EQ(text(kestreye::copyAttribute(app_, "AXRole")), "AXApplication");
  EXPECT_EQ(text(kestreye::copyAttribute(window_, "AXRole")), "AXWindow");
  EXPECT_EQ(text(kestreye::copyAttribute(window_, "AXTitle")), "Kestrel Mail");
  // The application's parent is the desktop, which has no macOS twin.
  const AttributeRead parent = kestreye::copyAttribute(app_, "AXParent");
  EXPECT_EQ(parent.code, kAxSuccess);
  EXPECT_FALSE(parent.value.has_value());
  EXPECT_EQ(kestreye::copyAttribute(focused_, "AXFocusedWindow").code,
            kAxAttributeUnsupported);
  EXPECT_EQ(kestreye::copyAttribute(focused_, "AXNoSuchAttribute").code,
            kAxAttributeUnsupported);
  EXPECT_EQ(kestreye::copyAttribute(Element(), "AXRole").code,
            kAxInvalidElement);
}

TEST_F(AtspiLiveTest, FocusedTextFieldInUserPerceivedCharacters) {
  EXPECT_EQ(text(kestreye::copyAttribute(focused_, "AXRole")), "AXTextField");
  EXPECT_EQ(text(kestreye::copyAttribute(focused_, "AXValue")), kTyped);
  EXPECT_EQ(text(kestreye::copyAttribute(focused_, "AXLabel")), "Email:");
  EXPECT_EQ(text(kestreye::copyAttribute(focused_, "AXPlaceholderValue")),
            "name@example.com");
  EXPECT_EQ(text(kestreye::copyAttribute(focused_, "AXSelectedText")), "");
  const AttributeRead title = kestreye::copyAttribute(focused_, "AXTitle");
  EXPECT_EQ(title.code, kAxSuccess);
  EXPECT_FALSE(title.value.has_value());  // GTK entries are unnamed

  const AttributeRead range =
      kestreye::copyAttribute(focused_, "AXSelectedTextRange");
  ASSERT_TRUE(range.value.has_value());
  const Range caret = std::get<Range>(range.value->v);
  EXPECT_EQ(caret.location, 6);
  EXPECT_EQ(caret.length, 0);
  const AttributeRead line =
      kestreye::copyAttribute(focused_, "AXInsertionPointLineNumber");
  ASSERT_TRUE(line.value.has_value());
  EXPECT_EQ(std::get<Number>(line.value->v).integer, 0);

  for (const char* flag : {"AXFocused", "AXEnabled"}) {
    const AttributeRead read = kestreye::copyAttribute(focused_, flag);
    ASSERT_TRUE(read.value.has_value()) << flag;
    EXPECT_EQ(std::get<Number>(read.value->v).kind, Number::Kind::Boolean);
    EXPECT_EQ(std::get<Number>(read.value->v).integer, 1) << flag;
  }
  const AttributeRead size = kestreye::copyAttribute(focused_, "AXSize");
  ASSERT_TRUE(size.value.has_value());
  EXPECT_GT(std::get<Size>(size.value->v).w, 0);
  const Element parent = element(kestreye::copyAttribute(focused_, "AXParent"));
  EXPECT_EQ(text(kestreye::copyAttribute(parent, "AXTitle")), "Sign in");
}

TEST_F(AtspiLiveTest, PasswordIsNeverHandedOut) {
  const Element password =
      find(window_, withRoleAndLabel("AXTextField", "Password:"));
  ASSERT_FALSE(password.empty());
  EXPECT_EQ(text(kestreye::copyAttribute(password, "AXSubrole")),
            "AXSecureTextField");
  EXPECT_EQ(kestreye::copyAttribute(password, "AXValue").code,
            kAxAttributeUnsupported);
  EXPECT_EQ(kestreye::copyAttribute(password, "AXSelectedText").code,
            kAxAttributeUnsupported);
}

TEST_F(AtspiLiveTest, PopUpButtonCheckBoxAndTextArea) {
  const Element region =
      find(window_, withRoleAndLabel("AXPopUpButton", "Region:"));
  ASSERT_FALSE(region.empty());
  EXPECT_EQ(text(kestreye::copyAttribute(region, "AXValue")), "Europe");
  EXPECT_FALSE(kestreye::copyAttribute(region, "AXTitle").value.has_value());
  // Its closed menu is not on screen, so it is not listed.
  EXPECT_TRUE(children(region).empty());

  const Element remember = find(window_, [](const Element& candidate) {
    return text(kestreye::copyAttribute(candidate, "AXRole")) == "AXCheckBox";
  });
  ASSERT_FALSE(remember.empty());
  EXPECT_EQ(text(kestreye::copyAttribute(remember, "AXTitle")), "Remember me");
  const AttributeRead checked = kestreye::copyAttribute(remember, "AXValue");
  ASSERT_TRUE(checked.value.has_value());
  EXPECT_EQ(std::get<Number>(checked.value->v).kind, Number::Kind::Integer);
  EXPECT_EQ(std::get<Number>(checked.value->v).integer, 1);  // checked at start
  // A check box has no text to select, even if GTK gives it a Text interface.
  EXPECT_EQ(kestreye::copyAttribute(remember, "AXSelectedText").code,
            kAxAttributeUnsupported);

  EXPECT_FALSE(find(window_, withRoleAndLabel("AXTextArea", "Notes:")).empty());
}

// Runs last (gtest keeps the order of a file): it stops the demo.
TEST_F(AtspiLiveTest, ZzHungApplicationFailsFastAfterOneTimeout) {
  const Element button = find(window_, [](const Element& candidate) {
    return text(kestreye::copyAttribute(candidate, "AXTitle")) == "Sign In";
  });
  ASSERT_FALSE(button.empty());
  ASSERT_EQ(kill(demoPid_, SIGSTOP), 0);
  // The frame of the button was never read, so this read needs the demo.
  auto start = Clock::now();
  EXPECT_EQ(kestreye::copyAttribute(button, "AXPosition").code,
            kAxCannotComplete);
  const auto first = Clock::now() - start;
  EXPECT_LT(first, std::chrono::milliseconds(4 * kCallTimeoutMs));
  // Every later read of the same application fails at once, even one
  // answered before.
  start = Clock::now();
  EXPECT_EQ(kestreye::copyAttribute(focused_, "AXLabel").code,
            kAxCannotComplete);
  EXPECT_EQ(kestreye::copyAttribute(window_, "AXRole").code, kAxCannotComplete);
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(50));
  kill(demoPid_, SIGCONT);
}

// The region pop-up opened, its second item chosen with the keyboard.
class AtspiMenuLiveTest : public LiveTest {
 protected:
  static void SetUpTestSuite() {
    if (platformUsed) return;
    ready_ = startDemo("region", {"key space", "key Down"},
                       "Focused: [MenuItem] \\\"Americas\\\"", &demoPid_);
  }

  static void TearDownTestSuite() { stopDemo(demoPid_); }

  void SetUp() override {
    attach(ready_, demoPid_,
           "no desktop with kestreye-demo, or another suite ran first");
  }

  static inline pid_t demoPid_ = -1;
  static inline bool ready_ = false;
};

TEST_F(AtspiMenuLiveTest, OpenMenuItemIsTheFocus) {
  // The pop-up is a top-level window of its own and the active one.
  const Element popup =
      element(kestreye::copyAttribute(app_, "AXFocusedWindow"));
  ASSERT_FALSE(popup.empty());
  EXPECT_EQ(text(kestreye::copyAttribute(popup, "AXRole")), "AXWindow");
  EXPECT_NE(text(kestreye::copyAttribute(popup, "AXTitle")), "Kestrel Mail");

  const Element item =
      element(kestreye::copyAttribute(app_, "AXFocusedUIElement"));
  ASSERT_FALSE(item.empty());
  EXPECT_EQ(text(kestreye::copyAttribute(item, "AXRole")), "AXMenuItem");
  EXPECT_EQ(text(kestreye::copyAttribute(item, "AXTitle")), "Americas");
  const AttributeRead selected = kestreye::copyAttribute(item, "AXSelected");
  ASSERT_TRUE(selected.value.has_value());
  EXPECT_EQ(std::get<Number>(selected.value->v).integer, 1);
}

TEST_F(AtspiMenuLiveTest, OpenMenuIsListedUnderItsPopUpButton) {
  Element main;
  for (const Element& window : children(app_)) {
    if (text(kestreye::copyAttribute(window, "AXTitle")) == "Kestrel Mail")
      main = window;
  }
  ASSERT_FALSE(main.empty());
  const Element region =
      find(main, withRoleAndLabel("AXPopUpButton", "Region:"));
  ASSERT_FALSE(region.empty());
  const std::vector<Element> menus = children(region);
  ASSERT_EQ(menus.size(), 1u);
  EXPECT_EQ(text(kestreye::copyAttribute(menus[0], "AXRole")), "AXMenu");
  EXPECT_EQ(children(menus[0]).size(), 3u);
}

// A Qt 5 form: top-level FILLER windows, no Collection interface, the
// placeholder as the description, FOCUSED on a text edit's viewport too.
// Runs where PyQt5 is installed (KESTREYE_PYTHON, KESTREYE_QT_FORM).
class AtspiQtLiveTest : public LiveTest {
 protected:
  static void SetUpTestSuite() {
    const char* python = std::getenv("KESTREYE_PYTHON");
    const char* form = std::getenv("KESTREYE_QT_FORM");
    if (platformUsed || python == nullptr || form == nullptr) return;
    ready_ = startApplication({python, form, "notes"}, {},
                              "Focused: [TextArea] \\\"Notes:\\\"", &pid_);
  }

  static void TearDownTestSuite() { stopDemo(pid_); }

  void SetUp() override {
    attach(ready_, pid_, "no desktop with PyQt5, or another suite ran first");
  }

  static inline pid_t pid_ = -1;
  static inline bool ready_ = false;
};

TEST_F(AtspiQtLiveTest, TopLevelFillerIsTheWindowAndTheTextEditTheFocus) {
  EXPECT_EQ(text(kestreye::copyAttribute(window_, "AXRole")), "AXWindow");
  EXPECT_EQ(text(kestreye::copyAttribute(window_, "AXTitle")), "Qt Sign In");
  const Element focused =
      element(kestreye::copyAttribute(app_, "AXFocusedUIElement"));
  EXPECT_EQ(text(kestreye::copyAttribute(focused, "AXRole")), "AXTextArea");
  EXPECT_EQ(text(kestreye::copyAttribute(focused, "AXTitle")), "Notes:");
  EXPECT_EQ(text(kestreye::copyAttribute(focused, "AXValue")),
            "line one\nline two");
}

TEST_F(AtspiQtLiveTest, FieldsReadAsTheirMacTwins) {
  const Element name = find(window_, [](const Element& candidate) {
    return text(kestreye::copyAttribute(candidate, "AXTitle")) == "Name:" &&
           text(kestreye::copyAttribute(candidate, "AXRole")) == "AXTextField";
  });
  ASSERT_FALSE(name.empty());
  EXPECT_EQ(text(kestreye::copyAttribute(name, "AXPlaceholderValue")),
            "Your name");
  EXPECT_EQ(text(kestreye::copyAttribute(name, "AXValue")), "ann");

  const Element password = find(window_, [](const Element& candidate) {
    return text(kestreye::copyAttribute(candidate, "AXSubrole")) ==
           "AXSecureTextField";
  });
  ASSERT_FALSE(password.empty());
  EXPECT_EQ(kestreye::copyAttribute(password, "AXValue").code,
            kAxAttributeUnsupported);

  const Element colour =
      find(window_, withRoleAndLabel("AXPopUpButton", "Colour:"));
  ASSERT_FALSE(colour.empty());
  EXPECT_EQ(text(kestreye::copyAttribute(colour, "AXValue")), "Red");
  EXPECT_FALSE(kestreye::copyAttribute(colour, "AXTitle").value.has_value());

  const Element pick = find(window_, withRoleAndLabel("AXComboBox", "Pick:"));
  ASSERT_FALSE(pick.empty());
  EXPECT_EQ(text(kestreye::copyAttribute(pick, "AXValue")), "one");
  EXPECT_FALSE(kestreye::copyAttribute(pick, "AXTitle").value.has_value());
}

}  // namespace
}  // namespace kestreye::atspi
