// The search for the frontmost application, against fake applications
// (bus/fake_atspi_app.cpp) on a private bus.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <vector>

#include "platform/atspi/atspi_platform.h"
#include "platform/atspi/atspi_private.h"
#include "platform/atspi/bus/test_bus.h"
#include "platform/atspi/frontmost.h"

namespace kestreye::atspi {
namespace {

using bus::testbed::FakeApp;
using bus::testbed::once;
using bus::testbed::optionsFor;
using bus::testbed::PrivateBus;

std::optional<int32_t> noHint() { return std::nullopt; }

// Two applications on a private bus: one that answers at once and has no
// ACTIVE window, and one with an ACTIVE window that answers `lateMs` late.
struct TwoApplications {
  explicit TwoApplications(const char* lateMs)
      : prompt(bus, "none"),
        late(bus, "none", {"--active", "--late", lateMs}),
        client(optionsFor(bus)),
        cache(client) {}
  bool started() const {
    return !prompt.name().empty() && !late.name().empty();
  }
  std::vector<NodeRef> apps() {
    return {share(cache.intern(prompt.ref(bus::ROOT_PATH))),
            share(cache.intern(late.ref(bus::ROOT_PATH)))};
  }

  PrivateBus bus;
  FakeApp prompt;
  FakeApp late;
  bus::Client client;
  ScanCache cache;
};

// The application with the ACTIVE window answers well after the other
// (GTK 4 on a loaded machine answers once it has drawn its frame): the wait
// for the others ends first, and it is asked again.
TEST(FrontmostBusTest, AnApplicationThatAnswersLastStillTakesThePlace) {
  TwoApplications desktop("50");
  ASSERT_TRUE(desktop.started()) << "the bus or a fake did not start";
  EXPECT_EQ(findFrontmost(desktop.apps(), desktop.cache, noHint),
            desktop.late.pid());
}

// Asked again, an application that does not answer in time costs the search
// a short wait, not the scan's time; no application is named.
TEST(FrontmostBusTest, AnApplicationThatNeverAnswersInTimeIsNotWaitedForLong) {
  TwoApplications desktop("3000");
  ASSERT_TRUE(desktop.started()) << "the bus or a fake did not start";
  const auto start = std::chrono::steady_clock::now();
  desktop.cache.setReadsEnd(start + std::chrono::seconds(5));
  EXPECT_EQ(findFrontmost(desktop.apps(), desktop.cache, noHint), std::nullopt);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

// The registry's list of the applications goes out with the bus's
// handshake, when the platform first finds the bus, and serves the search
// that follows: the registry is asked once.
TEST(FrontmostBusTest, TheRegistryIsListedWithTheHandshakeAndOnce) {
  PrivateBus bus;
  FakeApp app(bus, "none", {"--active", "--registry"});
  ASSERT_FALSE(app.name().empty()) << "the bus or the fake did not start";
  setenv("AT_SPI_BUS_ADDRESS", bus.address().c_str(), 1);
  const auto platform = makePlatform();
  bus::Client client(optionsFor(bus));
  const auto listed = [&client] {
    const bus::ObjectRef registry{"org.a11y.atspi.Registry", bus::ROOT_PATH};
    return once(client, &bus::Batch::name, registry).value.value_or("");
  };
  platform->beginScan(std::chrono::steady_clock::now() +
                      std::chrono::seconds(10));
  ASSERT_TRUE(platform->isProcessTrusted());
  EXPECT_EQ(listed(), "listed 1");
  EXPECT_EQ(platform->frontmostProcessId(), app.pid());
  EXPECT_EQ(listed(), "listed 1");
  platform->endScan();
  unsetenv("AT_SPI_BUS_ADDRESS");
}

}  // namespace
}  // namespace kestreye::atspi
