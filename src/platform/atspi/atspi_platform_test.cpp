#include "platform/atspi/atspi_platform.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace kestreye::atspi {
namespace {

// Without any bus address libdbus could autolaunch a session bus and break
// the user's accessibility bus, and a failed libatspi start-up makes its next
// call end the process: the platform must say "not trusted" and touch nothing.
TEST(AtspiPlatformTest, WithoutABusAddressNothingIsAsked) {
  unsetenv("DBUS_SESSION_BUS_ADDRESS");
  unsetenv("AT_SPI_BUS_ADDRESS");
  EXPECT_FALSE(isProcessTrusted());
  EXPECT_FALSE(isProcessTrusted());  // asked twice, still no start-up
  EXPECT_EQ(frontmostProcessId(), std::nullopt);
  EXPECT_TRUE(applicationElement(1).empty());
  EXPECT_EQ(atspi::copyAttribute(Element(), "AXRole").code, kAxInvalidElement);
  const AttributeRead read =
      atspi::copyAttribute(Element(), "AXFocusedUIElement");
  EXPECT_EQ(read.code, kAxInvalidElement);
  EXPECT_FALSE(read.value.has_value());
}

TEST(AtspiPlatformTest, LogLinesGoToStandardErrorOnly) {
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  logLine("[kestreye] scan complete: 12 chars");
  const std::string out = ::testing::internal::GetCapturedStdout();
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(out, "");
  EXPECT_EQ(err, "[kestreye] scan complete: 12 chars\n");
}

TEST(AtspiPlatformTest, BackendTableIsThePlatformsFunctions) {
  const PlatformBackend& table = backend();
  EXPECT_EQ(table.copyAttribute, &atspi::copyAttribute);
  EXPECT_EQ(table.isProcessTrusted, &isProcessTrusted);
  EXPECT_EQ(table.frontmostProcessId, &frontmostProcessId);
  EXPECT_EQ(table.applicationElement, &applicationElement);
  EXPECT_EQ(table.logLine, &logLine);
  EXPECT_EQ(table.retain, &retain);
  EXPECT_EQ(table.release, &release);
}

}  // namespace
}  // namespace kestreye::atspi
