// A socket that tests of the bus client connect to.
#pragma once

#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>

namespace kestreye::atspi {

/// A listening Unix socket in a folder of its own, at `name` inside it: the
/// kernel takes each connection into its backlog whether or not anyone ever
/// answers.
class ListeningSocket {
 public:
  explicit ListeningSocket(const std::string& name = "bus") {
    char folder[] = "/tmp/kestreye-bus-XXXXXX";
    folder_ = mkdtemp(folder);
    path_ = folder_ + "/" + name;
    std::filesystem::create_directories(
        std::filesystem::path(path_).parent_path());
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address),
              0);
    EXPECT_EQ(listen(fd_, 8), 0);
  }
  ~ListeningSocket() {
    close(fd_);
    std::filesystem::remove_all(folder_);
  }
  ListeningSocket(const ListeningSocket&) = delete;
  ListeningSocket& operator=(const ListeningSocket&) = delete;

  /// Where it listens.
  const std::string& path() const { return path_; }
  /// Its D-Bus address.
  std::string address() const { return "unix:path=" + path_; }
  /// The listening socket, for a test that accepts.
  int fd() const { return fd_; }
  /// Whether a connection waits in the backlog.
  bool connectedTo() const {
    pollfd entry{fd_, POLLIN, 0};
    return poll(&entry, 1, 0) > 0;
  }

 private:
  std::string folder_;
  std::string path_;
  const int fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
};

}  // namespace kestreye::atspi
