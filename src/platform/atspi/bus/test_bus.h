// What the bus client's tests run against: a private dbus-daemon and the
// fake application (fake_atspi_app.cpp) on it, each ended by its owner.
#pragma once

#include <sys/types.h>

#include <chrono>
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

/// A process started by a test, killed and reaped with its owner.
struct Child {
  /// Starts `argv` and waits for the first line it prints (each child here
  /// prints one, or exits).
  explicit Child(const std::vector<std::string>& argv);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid = -1;
  std::string firstLine;  ///< without its newline; "" when it printed none
};

/// A dbus-daemon of the test's own in a folder of its own, which the fake's
/// sockets share.
class PrivateBus {
 public:
  PrivateBus();
  ~PrivateBus();

  /// The daemon's address; "" when it did not start.
  const std::string& address() const { return address_; }
  const std::string& folder() const { return folder_; }
  /// Ends the daemon now, as a session that closes would.
  void stop() { daemon_.reset(); }

 private:
  std::string folder_;
  std::optional<Child> daemon_;
  std::string address_;
};

/// The fake application on a private bus.
class FakeApp {
 public:
  /// Starts it with `socket` (see fake_atspi_app.cpp) and any further
  /// arguments; name() is "" when it, or the bus, did not come up.
  FakeApp(const PrivateBus& bus, const std::string& socket,
          const std::vector<std::string>& more = {});

  /// Its unique name on the bus.
  const std::string& name() const { return process_.firstLine; }
  pid_t pid() const { return process_.pid; }
  /// One of its objects.
  ObjectRef ref(const std::string& path) const { return {name(), path}; }

 private:
  Child process_;
};

/// A client of the private bus, as AT_SPI_BUS_ADDRESS would name it.
ClientOptions optionsFor(const PrivateBus& bus);

/// The reply of one call, made in a batch of its own due in 30 s.
template <class T, class Target>
Reply<T> once(Client& client, Ticket<T> (Batch::*ask)(const Target&),
              const Target& target) {
  Batch batch(client, Clock::now() + std::chrono::seconds(30));
  const Ticket<T> ticket = (batch.*ask)(target);
  batch.run();
  return batch[ticket];
}

/// Reads `app` (its window's role) until its calls go through its own
/// socket, whose handshake goes on while the bus answers them, or 50 reads
/// have not brought that about; whether they do.
inline bool throughOwnSocket(Client& client, const FakeApp& app) {
  for (int read = 0; read < 50 && !client.usesOwnSocket(app.name()); ++read) {
    once(client, &Batch::role, app.ref("/o/window"));
  }
  return client.usesOwnSocket(app.name());
}

}  // namespace kestreye::atspi::bus::testbed
