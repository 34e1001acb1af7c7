#include "platform/atspi/bus_check.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace kestreye::atspi {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A listening Unix socket: the kernel accepts connections to it whether or
// not anyone ever answers.
class ListeningSocket {
 public:
  ListeningSocket() {
    char folder[] = "/tmp/kestreye-bus-XXXXXX";
    folder_ = mkdtemp(folder);
    path_ = folder_ + "/bus";
    fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address),
              0);
    EXPECT_EQ(listen(fd_, 8), 0);
  }
  ~ListeningSocket() {
    close(fd_);
    unlink(path_.c_str());
    rmdir(folder_.c_str());
  }
  std::string address() const { return "unix:path=" + path_; }
  int fd() const { return fd_; }

 private:
  std::string folder_;
  std::string path_;
  int fd_ = -1;
};

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
  // A kind of address this check cannot reach is left to libdbus.
  EXPECT_TRUE(busAnswers("tcp:host=localhost,port=1", deadline));
}

}  // namespace
}  // namespace kestreye::atspi
