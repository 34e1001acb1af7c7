#include "platform/atspi/frontmost.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "platform/atspi/test_socket.h"

namespace kestreye::atspi {
namespace {

// The X11 hint, as the search asks it: only where the answers do not decide.
std::optional<int32_t> noHint() { return std::nullopt; }
template <int32_t Pid>
std::optional<int32_t> hint() {
  return Pid;
}

WindowClaim claim(int32_t pid, bool active, std::optional<bool> holdsFocus = {},
                  bool shell = false, bool windowFocused = false) {
  WindowClaim result;
  result.pid = pid;
  result.active = active;
  result.holdsFocus = holdsFocus;
  result.shell = shell;
  result.windowFocused = windowFocused;
  return result;
}

TEST(FrontmostTest, NoActiveWindowNoFrontmost) {
  EXPECT_EQ(chooseFrontmost({}, noHint), std::nullopt);
  EXPECT_EQ(chooseFrontmost({claim(1, false), claim(2, false)}, hint<2>),
            std::nullopt);
}

TEST(FrontmostTest, TheOnlyClaimantWinsWhateverTheHint) {
  EXPECT_EQ(chooseFrontmost({claim(1, false), claim(2, true)}, hint<1>), 1u);
}

// A frame left ACTIVE by an application that lost the keyboard holds no
// focus, and the X11 hint that still names it does not make it win.
TEST(FrontmostTest, AnActiveFrameWithoutFocusLosesToOneWithIt) {
  EXPECT_EQ(
      chooseFrontmost({claim(1, true, false), claim(2, true, true)}, hint<1>),
      1u);
  EXPECT_EQ(
      chooseFrontmost({claim(1, true, true), claim(2, true, false)}, hint<2>),
      0u);
}

// The overview's search over an XWayland window that stays ACTIVE and is
// still _NET_ACTIVE_WINDOW: the shell's own window holds the keyboard.
TEST(FrontmostTest, TheShellHoldingTheFocusWinsOverTheHint) {
  const std::vector<WindowClaim> claims = {
      claim(10, true, std::nullopt, /*shell=*/true, /*windowFocused=*/true),
      claim(20, true, true)};
  EXPECT_EQ(chooseFrontmost(claims, hint<20>), 0u);
}

TEST(FrontmostTest, AShellWithoutTheFocusDoesNotWin) {
  const std::vector<WindowClaim> claims = {
      claim(10, true, false, /*shell=*/true), claim(20, true, true)};
  EXPECT_EQ(chooseFrontmost(claims, noHint), 1u);
}

// Only where the rest cannot tell does the X11 hint decide.
TEST(FrontmostTest, TheHintBreaksATieOnly) {
  EXPECT_EQ(
      chooseFrontmost({claim(1, true, true), claim(2, true, true)}, hint<2>),
      1u);
  EXPECT_EQ(
      chooseFrontmost({claim(1, true, true), claim(2, true, true)}, noHint),
      0u);
  EXPECT_EQ(
      chooseFrontmost({claim(1, true, true), claim(2, true, true)}, hint<7>),
      0u);
}

TEST(FrontmostTest, DesktopShellsByName) {
  EXPECT_TRUE(isDesktopShell("gnome-shell"));
  EXPECT_TRUE(isDesktopShell("plasmashell"));
  EXPECT_TRUE(isDesktopShell("krunner"));
  EXPECT_FALSE(isDesktopShell("gnome-shell-calendar-server"));
  EXPECT_FALSE(isDesktopShell(""));
}

// A bridge's socket is the listening one of the process's own sockets at an
// at-spi2 path: not another process's, not one it connected to, not another
// listener of its own, and no path an address could not hold.
TEST(BridgeSocketTest, IsTheProcessesOwnListeningAtSpiSocket) {
  char pattern[] = "/tmp/kestreye-proc.XXXXXX";
  const std::string proc = mkdtemp(pattern);
  std::filesystem::create_directories(proc + "/7/fd");
  std::filesystem::create_directories(proc + "/net");
  for (const char* inode : {"101", "102", "103", "104"}) {
    ASSERT_EQ(symlink(("socket:[" + std::string(inode) + "]").c_str(),
                      (proc + "/7/fd/" + inode).c_str()),
              0);
  }
  ASSERT_EQ(symlink("/dev/null", (proc + "/7/fd/0").c_str()), 0);
  const auto table = [&](const std::string& rows) {
    std::ofstream(proc + "/net/unix")
        << "Num       RefCount Protocol Flags    Type St Inode Path\n"
        << rows;
  };
  const std::string listening = "0000: 00000002 00000000 00010000 0001 01 ";
  const std::string connected = "0000: 00000003 00000000 00000000 0001 03 ";
  table(connected + "101 /run/user/1/at-spi2-AB12cd/socket\n" + listening +
        "102 /run/user/1/bus\n" + listening +
        "999 /run/user/1/at-spi2-ZZ99zz/socket\n" + listening +
        "103 /run/user/1/at-spi2-XY34ef/socket\n");
  EXPECT_EQ(bridgeSocketOf(7, proc),
            "unix:path=/run/user/1/at-spi2-XY34ef/socket");
  EXPECT_EQ(bridgeSocketOf(8, proc), std::nullopt);  // no such process
  table(listening + "104 /run/user/1/at-spi2-socket-7;x\n" + listening +
        "103 @at-spi2-abstract\n");
  EXPECT_EQ(bridgeSocketOf(7, proc), std::nullopt);
  std::filesystem::remove_all(proc);
}

// This process's own listening socket at an at-spi2 path, as the kernel
// lists it and as the search finds it; a socket connected to it is no
// listener, and the kernel's list tells it apart.
TEST(BridgeSocketTest, FindsThisProcesssListeningSocket) {
  const ListeningSocket listener("at-spi2-Test01/socket");
  const std::string& path = listener.path();
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  const int client = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(
      connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address),
      0);
  struct stat own {};
  ASSERT_EQ(fstat(listener.fd(), &own), 0);

  // Without the kernel's list (no unix_diag) the table is read instead.
  if (const auto listed = listeningBridgeSockets()) {
    ASSERT_EQ(listed->count(own.st_ino), 1u);
    EXPECT_EQ(listed->at(own.st_ino), path);
    struct stat connected {};
    ASSERT_EQ(fstat(client, &connected), 0);
    EXPECT_EQ(listed->count(connected.st_ino), 0u);
  }
  EXPECT_EQ(bridgeSocketOf(getpid(), "/proc"), "unix:path=" + path);
  close(client);
}

// A stopped process is one whose state, after its command (which may hold
// spaces and parentheses), is T or t.
TEST(BridgeSocketTest, StoppedProcessesByTheirState) {
  char pattern[] = "/tmp/kestreye-proc.XXXXXX";
  const std::string proc = mkdtemp(pattern);
  const auto stat = [&](int pid, const std::string& line) {
    std::filesystem::create_directories(proc + "/" + std::to_string(pid));
    std::ofstream(proc + "/" + std::to_string(pid) + "/stat") << line;
  };
  stat(1, "1 (kestreye-demo) T 1 1 1 0 -1");
  stat(2, "2 (gdb) t 1 1 1 0 -1");
  stat(3, "3 (a) T (b) S 1 1 1 0 -1");
  stat(4, "4 (python3) R 1 1 1 0 -1");
  stat(5, "5 (T) S 1 1 1 0 -1");
  stat(6, "6 (cut");
  EXPECT_TRUE(isStopped(1, proc));
  EXPECT_TRUE(isStopped(2, proc));
  EXPECT_FALSE(isStopped(3, proc));
  EXPECT_FALSE(isStopped(4, proc));
  EXPECT_FALSE(isStopped(5, proc));
  EXPECT_FALSE(isStopped(6, proc));
  EXPECT_FALSE(isStopped(7, proc));  // no such process
  std::filesystem::remove_all(proc);
}

}  // namespace
}  // namespace kestreye::atspi
