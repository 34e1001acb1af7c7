// What the files of the bus client share: owned sd-bus objects, the client's
// connections and per-scan knowledge of the applications, one call of a
// batch, and the loop that waits on several connections at once.
//   client.cpp  opening the accessibility bus and the applications' sockets
//   batch.cpp   sending a batch and waiting for its answers
//   reads.cpp   the typed calls: their arguments and how their answers read
#pragma once

#include <systemd/sd-bus.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/atspi/bus/client.h"

namespace kestreye::atspi::bus {

/// The sd-bus functions the client calls, from libsystemd, which is loaded
/// when the first connection is made: a run that reads nothing does not
/// load it, nor the libraries it needs.
struct SdBus {
  decltype(&::sd_bus_call_async) call_async;
  decltype(&::sd_bus_close_unref) close_unref;
  decltype(&::sd_bus_get_events) get_events;
  decltype(&::sd_bus_get_fd) get_fd;
  decltype(&::sd_bus_get_unique_name) get_unique_name;
  decltype(&::sd_bus_get_timeout) get_timeout;
  decltype(&::sd_bus_is_open) is_open;
  decltype(&::sd_bus_is_ready) is_ready;
  decltype(&::sd_bus_message_append) message_append;
  decltype(&::sd_bus_message_append_basic) message_append_basic;
  decltype(&::sd_bus_message_at_end) message_at_end;
  decltype(&::sd_bus_message_close_container) message_close_container;
  decltype(&::sd_bus_message_enter_container) message_enter_container;
  decltype(&::sd_bus_message_exit_container) message_exit_container;
  decltype(&::sd_bus_message_get_error) message_get_error;
  decltype(&::sd_bus_message_get_signature) message_get_signature;
  decltype(&::sd_bus_message_has_signature) message_has_signature;
  decltype(&::sd_bus_message_is_method_error) message_is_method_error;
  decltype(&::sd_bus_message_new_method_call) message_new_method_call;
  decltype(&::sd_bus_message_open_container) message_open_container;
  decltype(&::sd_bus_message_read) message_read;
  decltype(&::sd_bus_message_read_basic) message_read_basic;
  decltype(&::sd_bus_message_skip) message_skip;
  decltype(&::sd_bus_message_unref) message_unref;
  decltype(&::sd_bus_new) make;
  decltype(&::sd_bus_process) process;
  decltype(&::sd_bus_set_address) set_address;
  decltype(&::sd_bus_set_bus_client) set_bus_client;
  decltype(&::sd_bus_slot_unref) slot_unref;
  decltype(&::sd_bus_start) start;
};
/// libsystemd's functions, loaded on first use; null when it cannot be
/// loaded.
const SdBus* loadSdBus();
/// The loaded functions; only after loadSdBus() returned them.
inline const SdBus& sdbus() { return *loadSdBus(); }

/// Closes a connection without flushing: a peer that reads nothing must not
/// hold the client up.
struct BusClose {
  void operator()(sd_bus* bus) const { sdbus().close_unref(bus); }
};
/// Drops a slot; a pending call's answer is then ignored.
struct SlotUnref {
  void operator()(sd_bus_slot* slot) const { sdbus().slot_unref(slot); }
};
/// Drops a message reference.
struct MessageUnref {
  void operator()(sd_bus_message* message) const {
    sdbus().message_unref(message);
  }
};
using BusPtr = std::unique_ptr<sd_bus, BusClose>;
using SlotPtr = std::unique_ptr<sd_bus_slot, SlotUnref>;
using MessagePtr = std::unique_ptr<sd_bus_message, MessageUnref>;

/// A started connection to `address`, registered on the bus (Hello) when
/// `busClient`; null when it cannot be made (no such socket, refused). The
/// authentication goes on while calls wait.
BusPtr connectTo(const std::string& address, bool busClient);

/// As the public addressFromSession, counting the calls sent in `sent`.
std::optional<std::string> addressFromSession(const std::string& session,
                                              Deadline deadline,
                                              uint64_t& sent);

/// Dispatches what the connections receive until `step`, called after each
/// round, returns no time; otherwise it waits for input until that time.
void pump(const std::vector<sd_bus*>& connections,
          const std::function<std::optional<Deadline>()>& step);

/// How calls reach one application.
struct Route {
  enum class Kind {
    Unknown,   ///< not asked yet
    Bus,       ///< through the bus daemon
    OwnSocket  ///< through its own socket
  };
  Kind kind = Kind::Unknown;
  BusPtr own;  ///< the connection to its own socket
  /// Finds its socket's address without asking it ("": none); unset when
  /// it is to be asked.
  std::function<std::string()> find;
  /// When `find` finds none, it is asked from a connection that then
  /// leaves the bus (Batch::setAskerLeaves).
  bool askIfNotFound = false;
};

struct Client::State {
  ClientOptions options;
  BusPtr bus;              ///< the accessibility bus, once opened
  std::string busAddress;  ///< its address, once opened
  /// This scan found no accessibility bus: no call waits for it again.
  bool busFailed = false;
  std::unordered_map<std::string, Route> routes;
  /// Applications that let a call run out its limit in this scan.
  std::unordered_set<std::string> hung;
  /// Applications that left the bus in this scan.
  std::unordered_set<std::string> gone;
  uint64_t sent = 0;

  /// Opens the accessibility bus unless it is open; false when no bus can be
  /// found or reached before `deadline`.
  bool openBus(Deadline deadline);
  /// Closes the accessibility bus, and forgets the ways to every
  /// application found through it.
  void dropBus() {
    bus.reset();
    routes.clear();
  }
  /// The connection calls to `app` go through: its own socket or the bus.
  sd_bus* connectionFor(const std::string& app);
};

/// One call of a batch: where it goes, its arguments, how its answer reads,
/// and its progress.
struct Batch::Call {
  ObjectRef target;
  const char* interface = nullptr;
  const char* member = nullptr;
  /// Appends the arguments; none when null.
  std::function<int(sd_bus_message*)> append;
  /// Reads an answer into the reply; false when it is not of the type
  /// asked for.
  bool (*read)(sd_bus_message*, AnyReply&) = nullptr;
  /// Asked of the bus daemon's connection even for an application with its
  /// own socket (the question that finds that socket).
  bool viaBus = false;
  /// The application that has left when the answer says so, for a call
  /// asked of another about it (the bus daemon); else the target.
  std::string about;
  std::chrono::milliseconds limit{0};

  // Progress, filled in by Batch::run.
  AnyReply* reply = nullptr;
  Client::State* client = nullptr;
  Deadline end{};
  sd_bus* connection = nullptr;
  SlotPtr slot;
  size_t* inFlight = nullptr;  ///< its connection's count, while sent
  bool done = false;
};

}  // namespace kestreye::atspi::bus
