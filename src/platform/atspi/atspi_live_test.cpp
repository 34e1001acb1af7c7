// What no reply shows of the AT-SPI platform, read from the live GTK3 demo:
// the kinds of values and the result codes. Runs inside scripts/session; the
// demo counts as ready on its own trace lines and its AT-SPI registration.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

#include "platform/atspi/atspi_platform.h"

namespace kestreye::atspi {
namespace {

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? "" : value;
}

// Reads trace lines until each of `wanted` was seen ("window" stands for the
// line that names the window, whose id is returned); "" after 15 s of
// silence or at the end of the output.
std::string awaitLines(FILE* trace, std::set<std::string> wanted) {
  std::string line, window = "-";
  while (!wanted.empty()) {
    pollfd wait{fileno(trace), POLLIN, 0};
    char c = 0;
    if (poll(&wait, 1, 15000) <= 0 || ::read(wait.fd, &c, 1) != 1) return "";
    if (c != '\n') {
      line += c;
      continue;
    }
    if (line.rfind("window ", 0) == 0) window = line.substr(7), line = "window";
    wanted.erase(line);
    line.clear();
  }
  return window;
}

AttributeRead read(const Element& element, const char* attribute) {
  return kestreye::copyAttribute(element, attribute);
}

// The value of a read, or T() when it holds none or another kind.
template <typename T>
T as(const AttributeRead& read) {
  const T* value = read.value ? std::get_if<T>(&read.value->v) : nullptr;
  return value == nullptr ? T() : *value;
}

TEST(AtspiLiveTest, ValueKindsAndResultCodes) {
  if (std::getenv("DISPLAY") == nullptr) {
    GTEST_SKIP() << "desktop stack missing (run under scripts/session)";
  }
  installPlatform(*makePlatform().release());  // Kept to the process's end.
  // The shell tells its process id, which the demo keeps by exec.
  FILE* trace = popen(("echo $$; exec " + environment("KESTREYE_DEMO") +
                       " --trace --focus=remember")
                          .c_str(),
                      "r");
  ASSERT_NE(trace, nullptr);
  char pidLine[32] = {};
  ASSERT_NE(fgets(pidLine, sizeof pidLine, trace), nullptr);
  const pid_t pid = std::atoi(pidLine);
  const std::string window = awaitLines(trace, {"window"});
  ASSERT_NE(window, "") << "the demo never showed its window";
  // No window manager: raise and focus the window ourselves.
  ASSERT_EQ(std::system(("xdotool windowraise " + window +
                         " windowfocus --sync " + window)
                            .c_str()),
            0);
  ASSERT_NE(awaitLines(trace, {"active 1", "focus remember"}), "");
  ASSERT_EQ(std::system((environment("KESTREYE_WAIT_ACCESSIBLE") + " " +
                         std::to_string(pid))
                            .c_str()),
            0);

  const Element app = applicationElement(pid);
  // A check box: its state shows in no reply, nor the kinds of its values.
  const Element box = as<Element>(read(app, "AXFocusedUIElement"));
  EXPECT_EQ(as<std::string>(read(box, "AXRole")), "AXCheckBox");
  EXPECT_EQ(as<Number>(read(box, "AXValue")).kind, Number::Kind::Integer);
  EXPECT_EQ(as<Number>(read(box, "AXValue")).integer, 1);
  for (const char* flag : {"AXFocused", "AXEnabled"}) {
    EXPECT_EQ(as<Number>(read(box, flag)).kind, Number::Kind::Boolean);
    EXPECT_EQ(as<Number>(read(box, flag)).integer, 1) << flag;
  }
  // The desktop has no macOS twin: success without a value.
  EXPECT_EQ(read(app, "AXParent").code, kAxSuccess);
  EXPECT_FALSE(read(app, "AXParent").value.has_value());
  // No text to select, even with GTK's Text interface for the label.
  EXPECT_EQ(read(box, "AXSelectedText").code, kAxAttributeUnsupported);
  EXPECT_EQ(read(box, "AXFocusedWindow").code, kAxAttributeUnsupported);
  EXPECT_EQ(read(box, "AXNoSuchAttribute").code, kAxAttributeUnsupported);
  EXPECT_EQ(read(Element(), "AXRole").code, kAxInvalidElement);
  kill(pid, SIGTERM);
  pclose(trace);
}

}  // namespace
}  // namespace kestreye::atspi
