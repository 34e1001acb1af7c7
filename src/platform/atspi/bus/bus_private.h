// What the files of the bus client share: owned libdbus objects, the client's
// connections and per-scan knowledge of the applications, one call of a
// batch, and the loop that waits on several connections at once.
//   client.cpp  opening the accessibility bus and the applications' sockets
//   batch.cpp   sending a batch and waiting for its answers
//   reads.cpp   the typed calls: their arguments and how their answers read
#pragma once

#include <dbus/dbus.h>
#include <poll.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/atspi/bus/client.h"

namespace kestreye::atspi::bus {

/// A connection of libdbus's: opened at once, authenticated and registered
/// (Hello) while calls wait behind, and closed without flushing when
/// dropped, so that a peer that reads nothing does not hold the client up.
/// Its descriptors are waited on by pump(), with the others.
class Connection {
 public:
  /// A connection to `address`, registered on the bus when `busClient`;
  /// null when it cannot be made (no such socket, refused, an address that
  /// would start a program or a bus).
  static std::unique_ptr<Connection> open(const std::string& address,
                                          bool busClient);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  DBusConnection* get() const { return connection_; }
  /// Not closed, by either side.
  bool isOpen() const;
  /// Authenticated, and for a bus client registered: calls are answered.
  bool isReady() const;
  /// Its unique name on the bus, once registered; "" before.
  const std::string& uniqueName() const { return unique_; }

  /// Adds what it waits for to `fds`, each entry's watch to `watches`.
  void waitOn(std::vector<pollfd>& fds, std::vector<DBusWatch*>& watches);
  /// Hands what poll() said of one of its watches to libdbus.
  void handle(DBusWatch* watch, short revents);
  /// Reads the messages received: answers reach their calls.
  void dispatch();

  /// Queues `message` for `call`, whose answer then reaches it (answer());
  /// false when it cannot be written out.
  bool queue(DBusMessage* message, Batch::Call& call);
  /// Writes out what is queued, as far as the socket takes it, once the
  /// handshake has ended and libdbus has nothing of its own to send.
  void flush();
  /// Stops waiting for the answer to the message numbered `serial`.
  void forget(uint32_t serial) { awaited_.erase(serial); }
  /// Counts the writes of queued calls, when set.
  uint64_t* writes = nullptr;

 private:
  Connection(DBusConnection* connection, bool busClient);
  static void registered(DBusPendingCall* pending, void* data);
  static DBusHandlerResult filter(DBusConnection* connection,
                                  DBusMessage* message, void* data);

  DBusConnection* connection_;
  bool busClient_;
  bool registered_ = false;
  std::string unique_;
  DBusPendingCall* hello_ = nullptr;
  std::vector<DBusWatch*> watches_;
  /// The calls sent, by serial, whose answers have not come.
  std::unordered_map<uint32_t, Batch::Call*> awaited_;
  /// Whether queued calls may be written now.
  bool canWrite() const;

  /// The first serial of a call: far above libdbus's own, which numbers the
  /// few messages it sends itself (Hello) from 1.
  static constexpr uint32_t kFirstSerial = 1u << 24;
  uint32_t nextSerial_ = kFirstSerial;
  /// Marshalled calls not yet written.
  std::string outgoing_;
  size_t written_ = 0;
  /// Calls queued since the last write, and how many the next write waits
  /// for (Connection::queue).
  size_t unwritten_ = 0;
  size_t burst_ = 1;
};

/// Cancels a pending call, whose answer is then ignored, and drops it.
struct PendingDrop {
  void operator()(DBusPendingCall* pending) const {
    dbus_pending_call_cancel(pending);
    dbus_pending_call_unref(pending);
  }
};
/// Drops a message reference.
struct MessageUnref {
  void operator()(DBusMessage* message) const { dbus_message_unref(message); }
};
using BusPtr = std::unique_ptr<Connection>;
using SlotPtr = std::unique_ptr<DBusPendingCall, PendingDrop>;
using MessagePtr = std::unique_ptr<DBusMessage, MessageUnref>;

/// Hands `call` the answer (a reply or an error) that came for it.
void answer(Batch::Call& call, DBusMessage* message);

/// The accessibility bus's address, asked of the session bus at `session`
/// (AddressQuestion) and answered before `deadline`, none otherwise; the
/// call sent is counted in `sent`.
std::optional<std::string> addressFromSession(const std::string& session,
                                              Deadline deadline,
                                              uint64_t& sent);

/// Dispatches what the connections receive until `step`, called after each
/// round, returns no time; otherwise it waits for input until that time.
void pump(const std::vector<Connection*>& connections,
          const std::function<std::optional<Deadline>()>& step);

/// How calls reach one application.
struct Route {
  enum class Kind {
    Unknown,     ///< not asked yet
    Bus,         ///< through the bus daemon
    Connecting,  ///< through the bus while its own socket's handshake goes on
    OwnSocket    ///< through its own socket
  };
  Kind kind = Kind::Unknown;
  BusPtr own;                     ///< the connection to its own socket
  Clock::time_point connected{};  ///< when `own` was connected
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
  /// Writes of calls to the sockets.
  uint64_t writes = 0;
  /// Batches run that held a call.
  uint64_t batches = 0;
  /// A connection waited on with every batch's (Client::hearAlso).
  Connection* alsoHeard = nullptr;

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
  Connection* connectionFor(const std::string& app);
  /// The own sockets whose handshakes go on, waited on with every batch's
  /// connections so that they go on while the bus answers.
  std::vector<Connection*> handshakes();
  /// Takes the own sockets whose handshakes have ended: those that finished
  /// it are used from now on; those that closed, or that have left it
  /// unanswered for `limit`, are dropped for the bus.
  void settleHandshakes(std::chrono::milliseconds limit);
};

/// One call of a batch: where it goes, its arguments, how its answer reads,
/// and its progress.
struct Batch::Call {
  ObjectRef target;
  const char* interface = nullptr;
  const char* member = nullptr;
  /// Appends the arguments; none when null.
  std::function<bool(DBusMessage*)> append;
  /// Reads an answer into the reply; false when it is not of the type
  /// asked for.
  bool (*read)(DBusMessage*, AnyReply&) = nullptr;
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
  Connection* connection = nullptr;
  /// The serial its answer is awaited under on `connection`; 0 when none
  /// is awaited.
  uint32_t serial = 0;
  size_t* inFlight = nullptr;  ///< its connection's count, while sent
  bool done = false;
};

}  // namespace kestreye::atspi::bus
