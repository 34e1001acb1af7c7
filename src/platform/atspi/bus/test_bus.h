// What the bus client's tests run against: a private dbus-daemon and the
// fake application (fake_atspi_app.cpp) on it, each stopped by its owner.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "platform/atspi/bus/client.h"

namespace kestreye::atspi::bus {

/// A status by name, in test failures (found by argument lookup).
inline std::ostream& operator<<(std::ostream& out, CallStatus status) {
  return out << statusName(status);
}

}  // namespace kestreye::atspi::bus

namespace kestreye::atspi::bus::testbed {

/// A process started by a test, its standard output on a pipe; terminated
/// and reaped with its owner.
class Child {
 public:
  /// Starts `argv`; pid() is -1 when it could not be started.
  explicit Child(const std::vector<std::string>& argv);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  /// The next line of its output, without its newline; none at its end or
  /// after `wait`.
  std::optional<std::string> readLine(std::chrono::milliseconds wait);
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int output_ = -1;
  std::string buffered_;
};

/// A dbus-daemon of the test's own in a folder of its own, which the fake's
/// sockets share.
class PrivateBus {
 public:
  PrivateBus();
  ~PrivateBus();
  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;

  /// The daemon's address; "" when it did not start.
  const std::string& address() const { return address_; }
  const std::string& folder() const { return folder_; }
  /// Ends the daemon now, as a session that closes would.
  void stop() { daemon_.reset(); }

 private:
  std::string folder_;
  std::string address_;
  std::optional<Child> daemon_;
};

/// The fake application on a private bus.
class FakeApp {
 public:
  /// Starts it with `socket` (none, serve, refuse, unsupported) and any
  /// further arguments; name() is "" when it did not come up.
  FakeApp(const PrivateBus& bus, const std::string& socket,
          const std::vector<std::string>& more = {});

  /// Its unique name on the bus.
  const std::string& name() const { return name_; }
  /// Its process id.
  pid_t pid() const { return process_.pid(); }
  /// One of its objects.
  ObjectRef ref(const std::string& path) const { return {name_, path}; }
  /// How many calls it received for `path` ("" for every path), asked on a
  /// connection of the test's own; none when it cannot tell.
  std::optional<uint32_t> received(const std::string& path) const;

 private:
  std::string busAddress_;
  Child process_;
  std::string name_;
};

/// A client of the private bus, as AT_SPI_BUS_ADDRESS would name it.
ClientOptions optionsFor(const PrivateBus& bus);

}  // namespace kestreye::atspi::bus::testbed
