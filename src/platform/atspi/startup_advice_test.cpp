#include "platform/atspi/startup_advice.h"

#include <gtest/gtest.h>
#include <unistd.h>

namespace kestreye::atspi {
namespace {

constexpr std::string_view kTurnOn =
    "busctl --user set-property org.a11y.Bus /org/a11y/bus org.a11y.Status "
    "IsEnabled b true";

TEST(AtspiStartupAdviceTest, NamesTheApplicationAndTheCure) {
  const std::string chromium = notOnBusAdvice("chromium", 4242);
  EXPECT_EQ(chromium.rfind("[kestreye] chromium (pid 4242) is not on the "
                           "accessibility bus",
                           0),
            0u);
  EXPECT_NE(chromium.find(kTurnOn), std::string::npos);
  EXPECT_NE(chromium.find("--force-renderer-accessibility"), std::string::npos);

  const std::string firefox = notOnBusAdvice("firefox-esr", 7);
  EXPECT_NE(firefox.find(kTurnOn), std::string::npos);
  EXPECT_EQ(firefox.find("--force-renderer-accessibility"), std::string::npos);

  const std::string other = notOnBusAdvice("", 9);
  EXPECT_NE(other.find("the frontmost application (pid 9)"), std::string::npos);
  EXPECT_NE(other.find("QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1"),
            std::string::npos);
  EXPECT_NE(other.find("GTK_A11Y=atspi"), std::string::npos);

  EXPECT_NE(
      emptyWindowAdvice("electron", 3).find("--force-renderer-accessibility"),
      std::string::npos);
}

TEST(AtspiStartupAdviceTest, QtAndGtk4GetTheirOwnSwitch) {
  EXPECT_EQ(toolkitOfMaps("7f0 r-xp 0 08:01 5 /usr/lib/x86_64-linux-gnu/"
                          "libQt6Core.so.6.4.2\n"),
            Toolkit::Qt);
  EXPECT_EQ(toolkitOfMaps("7f0 r-xp 0 08:01 5 /usr/lib/libQt5Core.so.5\n"),
            Toolkit::Qt);
  EXPECT_EQ(toolkitOfMaps("7f0 r-xp 0 08:01 5 /usr/lib/libgtk-4.so.1.800.3\n"),
            Toolkit::Gtk4);
  EXPECT_EQ(toolkitOfMaps("7f0 r-xp 0 08:01 5 /usr/lib/libgtk-3.so.0\n"),
            Toolkit::Unknown);
  EXPECT_EQ(processToolkit(-1), Toolkit::Unknown);

  const std::string qt = notOnBusAdvice("python3", 5, Toolkit::Qt);
  EXPECT_NE(qt.find(kTurnOn), std::string::npos);
  EXPECT_NE(qt.find("QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1"), std::string::npos);
  EXPECT_EQ(qt.find("GTK_A11Y"), std::string::npos);
  const std::string gtk4 = notOnBusAdvice("gtk4-demo", 6, Toolkit::Gtk4);
  EXPECT_NE(gtk4.find("GTK_A11Y=atspi"), std::string::npos);
  EXPECT_EQ(gtk4.find("QT_LINUX"), std::string::npos);
}

TEST(AtspiStartupAdviceTest, ReadsTheCommandOfAProcess) {
  const std::optional<std::string> own = processCommand(getpid());
  ASSERT_TRUE(own.has_value());
  EXPECT_EQ(own->rfind("kestreye_atspi", 0), 0u);
  EXPECT_FALSE(processCommand(-1).has_value());
}

}  // namespace
}  // namespace kestreye::atspi
