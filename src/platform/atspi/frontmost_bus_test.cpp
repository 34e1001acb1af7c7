// The search for the frontmost application, against fake applications
// (bus/fake_atspi_app.cpp) on a private bus.
#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "platform/atspi/atspi_private.h"
#include "platform/atspi/bus/test_bus.h"
#include "platform/atspi/frontmost.h"

namespace kestreye::atspi {
namespace {

using bus::testbed::FakeApp;
using bus::testbed::optionsFor;
using bus::testbed::PrivateBus;

std::optional<int32_t> noHint() { return std::nullopt; }

// The application with the ACTIVE window answers well after the other
// (GTK 4 on a loaded machine answers once it has drawn its frame): the wait
// for the others ends first, and it is asked again.
TEST(FrontmostBusTest, AnApplicationThatAnswersLastStillTakesThePlace) {
  PrivateBus bus;
  FakeApp prompt(bus, "none");
  FakeApp late(bus, "none", {"--active", "--late", "50"});
  ASSERT_FALSE(prompt.name().empty() || late.name().empty())
      << "the bus or a fake did not start";
  bus::Client client(optionsFor(bus));
  ScanCache cache(client);
  const std::vector<NodeRef> apps = {
      share(cache.intern(prompt.ref(bus::ROOT_PATH))),
      share(cache.intern(late.ref(bus::ROOT_PATH)))};
  EXPECT_EQ(findFrontmost(apps, cache, noHint), late.pid());
}

// Asked again, an application that does not answer in time costs the search
// a short wait, not the scan's time; no application is named.
TEST(FrontmostBusTest, AnApplicationThatNeverAnswersInTimeIsNotWaitedForLong) {
  PrivateBus bus;
  FakeApp prompt(bus, "none");
  FakeApp stalled(bus, "none", {"--active", "--late", "3000"});
  ASSERT_FALSE(prompt.name().empty() || stalled.name().empty())
      << "the bus or a fake did not start";
  bus::Client client(optionsFor(bus));
  ScanCache cache(client);
  const auto start = std::chrono::steady_clock::now();
  cache.setReadsEnd(start + std::chrono::seconds(5));
  const std::vector<NodeRef> apps = {
      share(cache.intern(prompt.ref(bus::ROOT_PATH))),
      share(cache.intern(stalled.ref(bus::ROOT_PATH)))};
  EXPECT_EQ(findFrontmost(apps, cache, noHint), std::nullopt);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

}  // namespace
}  // namespace kestreye::atspi
