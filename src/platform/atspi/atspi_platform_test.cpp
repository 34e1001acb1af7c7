#include "platform/atspi/atspi_platform.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "collect/collect.h"
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

// In a window too large to describe whole, the fields described ahead are
// those near the focus: every field the block keeps beside it (the scan's
// filterNearby), and not the columns beside it or the rows far above and
// below. Fields of three widths are laid on a grid around a focus.
TEST(ReadAheadTest, TheFieldsDescribedAheadAreAllTheBlockKeepsNearTheFocus) {
  const Rect focus{400, 600, 200, 30};
  std::vector<ElementInfo> fields;
  for (int64_t x = -300; x <= 1600; x += 10) {
    for (int64_t y = -100; y <= 1400; y += 10) {
      for (int64_t w : {20, 180, 700}) fields.push_back({{}, "", x, y, w, 30});
    }
  }
  const auto rect = [](const ElementInfo& field) {
    return Rect{static_cast<int32_t>(field.x), static_cast<int32_t>(field.y),
                static_cast<int32_t>(field.w), static_cast<int32_t>(field.h)};
  };
  for (const ElementInfo& kept :
       filterNearby(fields, focus.x, focus.y, focus.width, focus.height,
                    NEARBY_LEFT_EDGE, NEARBY_ABOVE, NEARBY_BELOW)) {
    ASSERT_TRUE(describedNear(rect(kept), focus))
        << kept.x << "," << kept.y << " " << kept.w << " wide";
  }
  size_t described = 0;
  for (const ElementInfo& field : fields) {
    described += describedNear(rect(field), focus) ? 1 : 0;
  }
  EXPECT_LT(described, fields.size() / 4);
  EXPECT_TRUE(describedNear({430, 660, 180, 30}, focus));    // the next row
  EXPECT_FALSE(describedNear({900, 600, 180, 30}, focus));   // a column right
  EXPECT_FALSE(describedNear({100, 600, 180, 30}, focus));   // one left
  EXPECT_FALSE(describedNear({400, 1100, 180, 30}, focus));  // far below
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
