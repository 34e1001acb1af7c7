#include "platform/atspi/bus_check.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "platform/atspi/test_socket.h"

namespace kestreye::atspi {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

TEST(BusCheckTest, ASilentBusIsGivenUpAtTheDeadline) {
  ListeningSocket silent;
  const auto start = Clock::now();
  EXPECT_FALSE(busAnswers(silent.address(), start + milliseconds(200)));
  EXPECT_FALSE(
      accessibilityBusFromSession(silent.address(), start + milliseconds(400)));
  const auto spent = Clock::now() - start;
  EXPECT_GE(spent, milliseconds(400));
  EXPECT_LT(spent, milliseconds(1500));
}

TEST(BusCheckTest, AnyAnswerCountsAndAMissingBusDoesNot) {
  ListeningSocket bus;
  std::thread server([&] {
    const int peer = accept(bus.fd(), nullptr, nullptr);
    char buffer[128];
    EXPECT_GT(recv(peer, buffer, sizeof buffer, 0), 0);
    EXPECT_EQ(buffer[0], '\0');
    const char answer[] = "REJECTED EXTERNAL\r\n";
    EXPECT_GT(send(peer, answer, sizeof answer - 1, 0), 0);
    close(peer);
  });
  const auto deadline = Clock::now() + milliseconds(5000);
  EXPECT_TRUE(busAnswers("nonce-tcp:;" + bus.address(), deadline));
  server.join();
  EXPECT_FALSE(busAnswers("unix:path=/nonexistent/bus", deadline));
  EXPECT_FALSE(busAnswers("not an address", deadline));
  // A kind of address this check cannot reach is left to the calls.
  EXPECT_TRUE(busAnswers("tcp:host=localhost,port=1", deadline));
}

}  // namespace
}  // namespace kestreye::atspi
