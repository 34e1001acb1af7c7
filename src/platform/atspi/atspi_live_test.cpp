// Reads live applications through the AT-SPI platform, attribute by
// attribute, where the end-to-end tests see only a reply: kestreye-demo (GTK
// 3) and a Qt 5 form. Runs inside scripts/session. An application counts as
// ready when it says so (its trace lines) and the AT-SPI registry lists it,
// never when a read shows what a test checks: a fault fails the test.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "platform/atspi/atspi_platform.h"

namespace kestreye::atspi {
namespace {

using Clock = std::chrono::steady_clock;

// Installed before any test runs and never destroyed: the suites keep
// element handles until the process ends.
[[maybe_unused]] const bool kInstalled = [] {
  installPlatform(*makePlatform().release());
  return true;
}();

// Typed into the email field: a thumbs-up with a skin tone is one character
// of two code points, so the caret after it is at 6 characters, 7 code points.
constexpr char kTyped[] = "h\xC3\xA9llo\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBDx";

AttributeRead read(const Element& element, const char* attribute) {
  return kestreye::copyAttribute(element, attribute);
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

// The number of a read, or a kind no test expects.
Number number(const AttributeRead& read) {
  const Number* value =
      read.value.has_value() ? std::get_if<Number>(&read.value->v) : nullptr;
  return value == nullptr ? Number{Number::Kind::Real, -1, -1} : *value;
}

std::vector<Element> children(const Element& parent) {
  std::vector<Element> result;
  const AttributeRead list = read(parent, "AXChildren");
  if (list.code != kAxSuccess || !list.value.has_value()) return result;
  for (const RawValue& child : std::get<RawArray>(list.value->v)) {
    result.push_back(std::get<Element>(child.v));
  }
  return result;
}

// The first element below `root`, depth first, with this role and title or
// label.
Element find(const Element& root, const std::string& role,
             const std::string& name) {
  for (const Element& child : children(root)) {
    if (text(read(child, "AXRole")) == role &&
        (text(read(child, "AXTitle")) == name ||
         text(read(child, "AXLabel")) == name)) {
      return child;
    }
    if (Element found = find(child, role, name); !found.empty()) return found;
  }
  return Element();
}

bool run(const std::string& command) {
  return std::system(command.c_str()) == 0;
}

// The first line a command prints, without its line feed.
std::string firstLine(const std::string& command) {
  std::string line;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    for (int c = 0; (c = std::fgetc(pipe)) != EOF && c != '\n';)
      line += char(c);
    pclose(pipe);
  }
  return line;
}

// One application started by a suite, its standard output read as trace
// lines. An application that goes silent is left to the test's time limit.
class Application {
 public:
  // The shell tells its process id, which the application keeps by exec.
  explicit Application(const std::string& command)
      : trace_(popen(("echo $$; exec " + command).c_str(), "r")),
        pid_(std::atoi(await("").c_str())) {}

  ~Application() {
    if (pid_ > 0) {
      kill(pid_, SIGCONT);
      kill(pid_, SIGTERM);
    }
    if (trace_ != nullptr) pclose(trace_);
  }

  pid_t pid() const { return pid_; }

  // The next trace line that starts with `prefix`; "" once the output ends
  // or after 15 s of silence.
  std::string await(const std::string& prefix) {
    for (;;) {
      if (const size_t end = buffer_.find('\n'); end != std::string::npos) {
        const std::string line = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        if (line.rfind(prefix, 0) == 0) return line;
        continue;
      }
      pollfd wait{trace_ == nullptr ? -1 : fileno(trace_), POLLIN, 0};
      char chunk[512];
      ssize_t got = 0;
      if (poll(&wait, 1, 15000) <= 0 ||
          (got = ::read(wait.fd, chunk, sizeof chunk)) <= 0) {
        return "";
      }
      buffer_.append(chunk, size_t(got));
    }
  }

  // Waits for every line of `lines`, in any order.
  bool awaitAll(std::set<std::string> lines) {
    while (!lines.empty()) {
      const std::string line = await("");
      if (line.empty()) return false;
      lines.erase(line);
    }
    return true;
  }

 private:
  FILE* trace_;
  std::string buffer_;
  pid_t pid_;
};

// Raises and focuses an X window: there is no window manager.
bool focusWindow(const std::string& window) {
  return !window.empty() && run("xdotool windowraise " + window) &&
         run("xdotool windowfocus --sync " + window);
}

bool registered(pid_t pid) {
  const char* script = std::getenv("KESTREYE_WAIT_ACCESSIBLE");
  return script != nullptr &&
         run(std::string(script) + " " + std::to_string(pid));
}

// What every suite does: start its application (once), then attach each test
// to the frontmost application, which must be that one, and its window.
class LiveTest : public ::testing::Test {
 protected:
  // Starts `argv`; `ready` drives it and answers whether it said it was.
  static void start(const std::string& command,
                    const std::function<bool(Application&)>& ready) {
    if (std::getenv("DISPLAY") == nullptr) return;
    app = new Application(command);
    if (!ready(*app))
      fault = "the application never said it was ready";
    else if (!registered(app->pid()))
      fault = "no AT-SPI registration";
    else
      fault.clear();
  }

  static void stop() {
    delete app;
    app = nullptr;
  }

  void SetUp() override {
    if (std::getenv("DISPLAY") == nullptr) {
      GTEST_SKIP() << "desktop stack missing (run under scripts/session)";
    }
    ASSERT_EQ(fault, "");
    ASSERT_TRUE(kestreye::isProcessTrusted());
    ASSERT_EQ(kestreye::frontmostProcessId(),
              std::optional<int32_t>(app->pid()));
    app_ = kestreye::applicationElement(app->pid());
    window_ = element(read(app_, "AXFocusedWindow"));
    ASSERT_FALSE(window_.empty());
  }

  static inline Application* app = nullptr;
  static inline std::string fault = "the suite started nothing";
  Element app_;
  Element window_;
};

// kestreye-demo with `focus` focused and its window active.
std::function<bool(Application&)> demoReady(const std::string& focus) {
  return [focus](Application& demo) {
    const std::string window = demo.await("window ");
    return focusWindow(window.substr(window.find(' ') + 1)) &&
           demo.awaitAll({"active 1", "focus " + focus});
  };
}

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? "" : value;
}

class AtspiLiveTest : public LiveTest {
 protected:
  static void SetUpTestSuite() {
    start(
        environment("KESTREYE_DEMO") + " --trace --focus=email",
        [](Application& demo) {
          return demoReady("email")(demo) &&
                 run(std::string("xdotool type --delay 20 '") + kTyped + "'") &&
                 run("xdotool key Left") &&
                 !demo.await("entry email length=8 caret=7 bound=7").empty();
        });
  }
  static void TearDownTestSuite() { stop(); }
};

TEST_F(AtspiLiveTest, FocusedTextFieldInUserPerceivedCharacters) {
  EXPECT_EQ(text(read(app_, "AXRole")), "AXApplication");
  // The application's parent is the desktop, which has no macOS twin.
  EXPECT_EQ(read(app_, "AXParent").code, kAxSuccess);
  EXPECT_FALSE(read(app_, "AXParent").value.has_value());
  EXPECT_EQ(text(read(window_, "AXRole")), "AXWindow");
  EXPECT_EQ(text(read(window_, "AXTitle")), "Kestrel Mail");

  const Element field = element(read(app_, "AXFocusedUIElement"));
  EXPECT_EQ(text(read(field, "AXRole")), "AXTextField");
  EXPECT_EQ(text(read(field, "AXValue")), kTyped);
  EXPECT_EQ(text(read(field, "AXSelectedText")), "");
  const AttributeRead caret = read(field, "AXSelectedTextRange");
  ASSERT_TRUE(caret.value.has_value());
  EXPECT_EQ(std::get<Range>(caret.value->v).location, 6);
  EXPECT_EQ(std::get<Range>(caret.value->v).length, 0);
  EXPECT_EQ(number(read(field, "AXInsertionPointLineNumber")).integer, 0);
  for (const char* flag : {"AXFocused", "AXEnabled"}) {
    EXPECT_EQ(number(read(field, flag)).kind, Number::Kind::Boolean) << flag;
    EXPECT_EQ(number(read(field, flag)).integer, 1) << flag;
  }
  // GTK entries are unnamed: a title read succeeds without a value.
  EXPECT_EQ(read(field, "AXTitle").code, kAxSuccess);
  EXPECT_FALSE(read(field, "AXTitle").value.has_value());
  EXPECT_EQ(read(field, "AXFocusedWindow").code, kAxAttributeUnsupported);
  EXPECT_EQ(read(field, "AXNoSuchAttribute").code, kAxAttributeUnsupported);
  EXPECT_EQ(read(Element(), "AXRole").code, kAxInvalidElement);
}

TEST_F(AtspiLiveTest, CheckBoxAndClosedPopUp) {
  const Element remember = find(window_, "AXCheckBox", "Remember me");
  ASSERT_FALSE(remember.empty());
  EXPECT_EQ(number(read(remember, "AXValue")).kind, Number::Kind::Integer);
  EXPECT_EQ(number(read(remember, "AXValue")).integer, 1);
  // A check box has no text to select, even if GTK gives it a Text interface.
  EXPECT_EQ(read(remember, "AXSelectedText").code, kAxAttributeUnsupported);
  // A closed pop-up's menu is not on screen, so it is not listed.
  const Element region = find(window_, "AXPopUpButton", "Region:");
  ASSERT_FALSE(region.empty());
  EXPECT_TRUE(children(region).empty());
}

// Runs last (gtest keeps the order of a file): it stops the demo.
TEST_F(AtspiLiveTest, ZzHungApplicationFailsFastAfterOneTimeout) {
  const Element button = find(window_, "AXButton", "Sign In");
  ASSERT_FALSE(button.empty());
  ASSERT_EQ(kill(app->pid(), SIGSTOP), 0);
  // The frame of the button was never read, so this read needs the demo.
  auto start = Clock::now();
  EXPECT_EQ(read(button, "AXPosition").code, kAxCannotComplete);
  EXPECT_LT(Clock::now() - start,
            std::chrono::milliseconds(4 * kCallTimeoutMs));
  // Every later read of the same application fails at once, even one
  // answered before.
  start = Clock::now();
  EXPECT_EQ(read(window_, "AXRole").code, kAxCannotComplete);
  EXPECT_EQ(read(button, "AXTitle").code, kAxCannotComplete);
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(50));
  kill(app->pid(), SIGCONT);
}

// The region pop-up opened, its second item chosen with the keyboard.
class AtspiMenuLiveTest : public LiveTest {
 protected:
  static void SetUpTestSuite() {
    start(environment("KESTREYE_DEMO") + " --trace --focus=region",
          [](Application& demo) {
            return demoReady("region")(demo) && run("xdotool key space") &&
                   !demo.await("menu-item Europe").empty() &&
                   run("xdotool key Down") &&
                   !demo.await("menu-item Americas").empty();
          });
  }
  static void TearDownTestSuite() { stop(); }
};

TEST_F(AtspiMenuLiveTest, OpenMenuItemIsTheFocusAndListedUnderItsPopUp) {
  // The pop-up is a top-level window of its own and the active one.
  EXPECT_EQ(text(read(window_, "AXRole")), "AXWindow");
  EXPECT_NE(text(read(window_, "AXTitle")), "Kestrel Mail");
  const Element item = element(read(app_, "AXFocusedUIElement"));
  EXPECT_EQ(text(read(item, "AXRole")), "AXMenuItem");
  EXPECT_EQ(text(read(item, "AXTitle")), "Americas");
  EXPECT_EQ(number(read(item, "AXSelected")).integer, 1);

  Element main;
  for (const Element& window : children(app_)) {
    if (text(read(window, "AXTitle")) == "Kestrel Mail") main = window;
  }
  const Element region = find(main, "AXPopUpButton", "Region:");
  ASSERT_FALSE(region.empty());
  const std::vector<Element> menus = children(region);
  ASSERT_EQ(menus.size(), 1u);
  EXPECT_EQ(text(read(menus[0], "AXRole")), "AXMenu");
  EXPECT_EQ(children(menus[0]).size(), 3u);
}

// A Qt 5 form: top-level FILLER windows, no Collection interface, the
// placeholder as the description, FOCUSED on a text edit's viewport too.
// Registered where PyQt5 is installed (KESTREYE_PYTHON, KESTREYE_QT_FORM).
class AtspiQtLiveTest : public LiveTest {
 protected:
  static void SetUpTestSuite() {
    setenv("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1", 1);
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    start(environment("KESTREYE_PYTHON") + " " +
              environment("KESTREYE_QT_FORM") + " notes",
          [](Application& qt) {
            // Its window appearing on the X server, then its own word that
            // the text edit has the focus.
            return focusWindow(firstLine(
                       "timeout 15 xdotool search --sync --onlyvisible --pid " +
                       std::to_string(qt.pid()))) &&
                   !qt.await("focus notes").empty();
          });
  }
  static void TearDownTestSuite() { stop(); }
};

TEST_F(AtspiQtLiveTest, FieldsReadAsTheirMacTwins) {
  EXPECT_EQ(text(read(window_, "AXRole")), "AXWindow");
  EXPECT_EQ(text(read(window_, "AXTitle")), "Qt Sign In");
  const Element notes = element(read(app_, "AXFocusedUIElement"));
  EXPECT_EQ(text(read(notes, "AXRole")), "AXTextArea");
  EXPECT_EQ(text(read(notes, "AXTitle")), "Notes:");
  EXPECT_EQ(text(read(notes, "AXValue")), "line one\nline two");

  const Element name = find(window_, "AXTextField", "Name:");
  ASSERT_FALSE(name.empty());
  EXPECT_EQ(text(read(name, "AXPlaceholderValue")), "Your name");
  EXPECT_EQ(text(read(name, "AXValue")), "ann");
  const Element password = find(window_, "AXTextField", "Password:");
  ASSERT_FALSE(password.empty());
  EXPECT_EQ(text(read(password, "AXSubrole")), "AXSecureTextField");
  EXPECT_EQ(read(password, "AXValue").code, kAxAttributeUnsupported);
  const Element colour = find(window_, "AXPopUpButton", "Colour:");
  ASSERT_FALSE(colour.empty());
  EXPECT_EQ(text(read(colour, "AXValue")), "Red");
  EXPECT_FALSE(read(colour, "AXTitle").value.has_value());
  const Element pick = find(window_, "AXComboBox", "Pick:");
  ASSERT_FALSE(pick.empty());
  EXPECT_EQ(text(read(pick, "AXValue")), "one");
  EXPECT_FALSE(read(pick, "AXTitle").value.has_value());
}

}  // namespace
}  // namespace kestreye::atspi
