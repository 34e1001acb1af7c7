#include "platform/atspi/x11_focus.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace kestreye::atspi {
namespace {

// A folder laid out as /proc: one folder per process with its cmdline.
class FakeProc : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kestreye-proc.XXXXXX";
    root_ = mkdtemp(pattern);
  }
  void TearDown() override { std::filesystem::remove_all(root_); }
  void process(int pid, std::string_view argv) {
    const std::string dir = root_ + "/" + std::to_string(pid);
    std::filesystem::create_directory(dir);
    std::ofstream(dir + "/cmdline", std::ios::binary) << argv;
  }
  std::string root_;
};

using namespace std::string_view_literals;

TEST_F(FakeProc, AServerNamedWithTheDisplayRuns) {
  process(12, "sway\0-c\0config\0"sv);
  EXPECT_FALSE(xServerRunning(":1", root_));
  process(40, "Xwayland\0:1\0-rootless\0-core\0"sv);
  EXPECT_TRUE(xServerRunning(":1", root_));
  EXPECT_TRUE(xServerRunning(":1.0", root_));
  EXPECT_TRUE(xServerRunning("unix:1", root_));
  EXPECT_FALSE(xServerRunning(":10", root_));
  EXPECT_FALSE(xServerRunning(":2", root_));
}

TEST_F(FakeProc, OnlyAnXServerCounts) {
  // A client started with the display in its arguments is not a server.
  process(7, "xterm\0-display\0:3\0"sv);
  EXPECT_FALSE(xServerRunning(":3", root_));
  process(8, "/usr/bin/Xvfb\0:3\0-screen\0"sv);
  EXPECT_TRUE(xServerRunning(":3", root_));
}

TEST_F(FakeProc, ARemoteDisplayCountsAsRunningAndNonsenseAsNot) {
  EXPECT_TRUE(xServerRunning("otherhost:0", root_));
  EXPECT_FALSE(xServerRunning("", root_));
  EXPECT_FALSE(xServerRunning(":", root_));
  EXPECT_FALSE(xServerRunning(":x", root_));
}

TEST(X11FocusTest, WaylandSessionFromTheEnvironment) {
  unsetenv("WAYLAND_DISPLAY");
  unsetenv("XDG_SESSION_TYPE");
  EXPECT_FALSE(waylandSession());
  setenv("XDG_SESSION_TYPE", "x11", 1);
  EXPECT_FALSE(waylandSession());
  setenv("XDG_SESSION_TYPE", "wayland", 1);
  EXPECT_TRUE(waylandSession());
  unsetenv("XDG_SESSION_TYPE");
  setenv("WAYLAND_DISPLAY", "wayland-0", 1);
  EXPECT_TRUE(waylandSession());
  unsetenv("WAYLAND_DISPLAY");
}

// On a Wayland session whose X server has not started, nothing connects:
// the display named here would block or start a server if it were tried.
TEST(X11FocusTest, NoConnectionOnWaylandWithoutARunningServer) {
  setenv("WAYLAND_DISPLAY", "wayland-0", 1);
  setenv("DISPLAY", ":987", 1);
  EXPECT_EQ(x11FocusedProcessId(), std::nullopt);
  EXPECT_EQ(x11AccessibilityBusAddress(), std::nullopt);
  unsetenv("WAYLAND_DISPLAY");
  unsetenv("DISPLAY");
}

}  // namespace
}  // namespace kestreye::atspi
