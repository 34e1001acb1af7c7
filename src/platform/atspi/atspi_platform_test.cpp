#include "platform/atspi/atspi_platform.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/atspi/atspi_private.h"

namespace kestreye::atspi {
namespace {

// Without any bus address nothing is asked: a bus would be autolaunched for
// the question, which breaks the user's accessibility bus.
TEST(AtspiPlatformTest, WithoutABusAddressNothingIsAsked) {
  unsetenv("DBUS_SESSION_BUS_ADDRESS");
  unsetenv("AT_SPI_BUS_ADDRESS");
  const auto platform = makePlatform();
  EXPECT_FALSE(platform->isProcessTrusted());
  EXPECT_FALSE(platform->isProcessTrusted());  // asked twice, still no start-up
  EXPECT_EQ(platform->frontmostProcessId(), std::nullopt);
  EXPECT_TRUE(platform->applicationElement(1).empty());
  EXPECT_EQ(platform->copyAttribute(Element(), "AXRole").code,
            kAxInvalidElement);
  const AttributeRead read =
      platform->copyAttribute(Element(), "AXFocusedUIElement");
  EXPECT_EQ(read.code, kAxInvalidElement);
  EXPECT_FALSE(read.value.has_value());
}

TEST(AtspiPlatformTest, LogLinesGoToStandardErrorOnly) {
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  makePlatform()->logLine("[kestreye] scan complete: 12 chars");
  const std::string out = ::testing::internal::GetCapturedStdout();
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(out, "");
  EXPECT_EQ(err, "[kestreye] scan complete: 12 chars\n");
}

// The bound on nested embedded objects holds only if a part of the read
// judged apart still knows how deep it stands.
TEST(ReadContextTest, EmbeddingDepthFollowsTheReadIntoFreshContexts) {
  bus::Client client(bus::ClientOptions{});
  ScanCache cache(client);
  ReadContext read(cache);
  EXPECT_EQ(read.embeddingDepth(), 0);
  EXPECT_EQ(read.insideEmbedded([&] {
    ReadContext part = read.fresh();
    return part.insideEmbedded([&] { return part.fresh().embeddingDepth(); });
  }),
            2);
  EXPECT_EQ(read.embeddingDepth(), 0);
  EXPECT_EQ(ReadContext(cache).embeddingDepth(), 0);
}

}  // namespace
}  // namespace kestreye::atspi
