#include "platform/atspi/bus/client.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string_view>

#include "platform/atspi/bus/bus_private.h"

namespace kestreye::atspi::bus {
namespace {

// Whether libdbus is opening a connection that offers no descriptor passing
// (see getsockname, below).
bool openingConnection = false;

class WithoutDescriptorPassing {
 public:
  explicit WithoutDescriptorPassing(bool plain) { openingConnection = plain; }
  ~WithoutDescriptorPassing() { openingConnection = false; }
  WithoutDescriptorPassing(const WithoutDescriptorPassing&) = delete;
  WithoutDescriptorPassing& operator=(const WithoutDescriptorPassing&) = delete;
};

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// Whether every way to a bus that `address` lists is a socket: libdbus
// would also start a program ("unixexec:") or a bus of its own
// ("autolaunch:") for one.
bool onlySockets(std::string_view address) {
  if (address.empty()) return false;
  while (!address.empty()) {
    const size_t end = std::min(address.find(';'), address.size());
    const std::string_view entry = address.substr(0, end);
    if (!entry.empty() && !entry.starts_with("unix:") &&
        !entry.starts_with("tcp:") && !entry.starts_with("nonce-tcp:")) {
      return false;
    }
    address.remove_prefix(std::min(end + 1, address.size()));
  }
  return true;
}

}  // namespace

std::optional<std::string> addressFromSession(const std::string& session,
                                              Deadline deadline,
                                              uint64_t& sent) {
  std::unique_ptr<AddressQuestion> question = AddressQuestion::ask(session);
  if (question == nullptr) return std::nullopt;
  ++sent;
  return question->wait(deadline);
}

struct AddressQuestion::Pending {
  SlotPtr call;
  MessagePtr answer;  // taken from the call once it came
};

std::unique_ptr<AddressQuestion> AddressQuestion::ask(
    const std::string& session) {
  BusPtr connection = Connection::open(session, true);
  if (connection == nullptr) return nullptr;
  MessagePtr ask(dbus_message_new_method_call("org.a11y.Bus", "/org/a11y/bus",
                                              "org.a11y.Bus", "GetAddress"));
  DBusPendingCall* made = nullptr;
  if (ask == nullptr ||
      !dbus_connection_send_with_reply(connection->get(), ask.get(), &made,
                                       DBUS_TIMEOUT_INFINITE) ||
      made == nullptr) {
    return nullptr;
  }
  auto pending = std::make_unique<Pending>();
  pending->call.reset(made);
  return std::unique_ptr<AddressQuestion>(
      new AddressQuestion(std::move(connection), std::move(pending)));
}

AddressQuestion::AddressQuestion(std::unique_ptr<Connection> connection,
                                 std::unique_ptr<Pending> pending)
    : connection_(std::move(connection)), pending_(std::move(pending)) {}

AddressQuestion::~AddressQuestion() {
  // The call goes before its connection.
  pending_.reset();
}

bool AddressQuestion::settled() const {
  return dbus_pending_call_get_completed(pending_->call.get()) ||
         !connection_->isOpen();
}

std::optional<std::string> AddressQuestion::address() {
  DBusPendingCall* call = pending_->call.get();
  if (pending_->answer == nullptr && dbus_pending_call_get_completed(call)) {
    pending_->answer.reset(dbus_pending_call_steal_reply(call));
  }
  DBusMessage* answer = pending_->answer.get();
  const char* address = nullptr;
  if (answer == nullptr ||
      dbus_message_get_type(answer) != DBUS_MESSAGE_TYPE_METHOD_RETURN ||
      !dbus_message_has_signature(answer, "s") ||
      !dbus_message_get_args(answer, nullptr, DBUS_TYPE_STRING, &address,
                             DBUS_TYPE_INVALID) ||
      address[0] == '\0') {
    return std::nullopt;
  }
  return std::string(address);
}

std::optional<std::string> AddressQuestion::wait(Deadline deadline) {
  pump({connection_.get()}, [&]() -> std::optional<Deadline> {
    if (settled() || Clock::now() >= deadline) return std::nullopt;
    return deadline;
  });
  return address();
}

std::optional<std::string> launcherSocketPath(std::string_view runtimeFolder,
                                              std::string_view display) {
  if (runtimeFolder.empty()) return std::nullopt;
  std::string path = std::string(runtimeFolder) + "/at-spi/bus";
  path += display;
  // The launcher makes the first ':' of the whole path '_', wherever it is.
  const size_t colon = path.find(':');
  if (colon != std::string::npos) path[colon] = '_';
  // The launcher names no socket of 100 bytes or more (sun_path's size,
  // less a margin of its own).
  if (path.size() >= 100) return std::nullopt;
  return path;
}

std::string socketAddress(const std::string& path) {
  char* escaped = dbus_address_escape_value(path.c_str());
  if (escaped == nullptr) return {};
  std::string address = std::string("unix:path=") + escaped;
  dbus_free(escaped);
  return address;
}

bool addressNamesSocket(const std::string& address, const std::string& path) {
  DBusAddressEntry** entries = nullptr;
  int count = 0;
  if (!dbus_parse_address(address.c_str(), &entries, &count, nullptr)) {
    return false;
  }
  bool names = false;
  if (count > 0 &&
      std::string_view(dbus_address_entry_get_method(entries[0])) == "unix") {
    const char* named = dbus_address_entry_get_value(entries[0], "path");
    names = named != nullptr && path == named;
  }
  dbus_address_entries_free(entries);
  return names;
}

const char* statusName(CallStatus status) {
  switch (status) {
    case CallStatus::Ok:
      return "Ok";
    case CallStatus::NotSent:
      return "NotSent";
    case CallStatus::TimedOut:
      return "TimedOut";
    case CallStatus::Gone:
      return "Gone";
    case CallStatus::NoBus:
      return "NoBus";
    case CallStatus::Error:
      return "Error";
    case CallStatus::BadReply:
      return "BadReply";
  }
  return "?";
}

ClientOptions ClientOptions::fromEnvironment() {
  ClientOptions options;
  options.accessibilityBusAddress = environment("AT_SPI_BUS_ADDRESS");
  options.sessionBusAddress = environment("DBUS_SESSION_BUS_ADDRESS");
  return options;
}

Connection::Connection(DBusConnection* connection, bool busClient)
    : connection_(connection), busClient_(busClient) {}

Connection::~Connection() {
  if (hello_ != nullptr) PendingDrop{}(hello_);
  dbus_connection_remove_filter(connection_, filter, this);
  dbus_connection_close(connection_);
  dbus_connection_set_watch_functions(connection_, nullptr, nullptr, nullptr,
                                      nullptr, nullptr);
  dbus_connection_unref(connection_);
}

std::unique_ptr<Connection> Connection::open(const std::string& address,
                                             bool busClient) {
  if (!onlySockets(address)) return nullptr;
  // Writes to a closed socket fail without a signal (MSG_NOSIGNAL): the
  // process's handling of SIGPIPE is left as it is.
  dbus_connection_set_change_sigpipe(false);
  // A connection of its own: libdbus shares one opened otherwise, and would
  // end the process when the bus closes it.
  //
  // A bus's handshake lies on the way to a scan's first answer, and leaves
  // out the offer to pass descriptors (getsockname, below); an
  // application's own socket shakes hands behind the calls that go through
  // the bus meanwhile, as libdbus does it.
  DBusConnection* made = nullptr;
  {
    const WithoutDescriptorPassing plain(busClient);
    made = dbus_connection_open_private(address.c_str(), nullptr);
  }
  if (made == nullptr) return nullptr;
  std::unique_ptr<Connection> connection(new Connection(made, busClient));
  dbus_connection_set_exit_on_disconnect(made, false);
  const auto add = [](DBusWatch* watch, void* data) -> dbus_bool_t {
    static_cast<Connection*>(data)->watches_.push_back(watch);
    return true;
  };
  const auto remove = [](DBusWatch* watch, void* data) {
    std::erase(static_cast<Connection*>(data)->watches_, watch);
  };
  if (!dbus_connection_set_watch_functions(made, add, remove, nullptr,
                                           connection.get(), nullptr) ||
      !dbus_connection_add_filter(made, filter, connection.get(), nullptr)) {
    return nullptr;
  }
  if (busClient) {
    // Hello goes out first; the calls sent before its answer wait behind it.
    MessagePtr hello(dbus_message_new_method_call(
        DBUS_SERVICE_DBUS, DBUS_PATH_DBUS, DBUS_INTERFACE_DBUS, "Hello"));
    if (hello == nullptr ||
        !dbus_connection_send_with_reply(made, hello.get(), &connection->hello_,
                                         DBUS_TIMEOUT_INFINITE) ||
        connection->hello_ == nullptr ||
        !dbus_pending_call_set_notify(connection->hello_, registered,
                                      connection.get(), nullptr)) {
      return nullptr;
    }
  }
  return connection;
}

void Connection::registered(DBusPendingCall* pending, void* data) {
  auto& connection = *static_cast<Connection*>(data);
  MessagePtr answer(dbus_pending_call_steal_reply(pending));
  const char* name = nullptr;
  if (answer != nullptr &&
      dbus_message_get_type(answer.get()) == DBUS_MESSAGE_TYPE_METHOD_RETURN &&
      dbus_message_get_args(answer.get(), nullptr, DBUS_TYPE_STRING, &name,
                            DBUS_TYPE_INVALID) &&
      dbus_bus_set_unique_name(connection.connection_, name)) {
    connection.unique_ = name;
    connection.registered_ = true;
  } else {
    // A bus that will not have this client: nothing gets through.
    dbus_connection_close(connection.connection_);
  }
}

bool Connection::isOpen() const {
  return dbus_connection_get_is_connected(connection_);
}

bool Connection::isReady() const {
  return isOpen() && dbus_connection_get_is_authenticated(connection_) &&
         (!busClient_ || registered_);
}

bool Connection::queue(DBusMessage* message, Batch::Call& call) {
  // On an application's own socket, an application with none of the
  // client's calls to answer gets the first at once, and then twice as many
  // as the write before, until the batch's end writes the rest: it need not
  // wait for the whole batch to be written before it begins, and a batch
  // costs a few writes, not one a call. Through the bus daemon, which
  // passes each message on by itself, each call goes out at once: calls
  // written together cost KWrite more of its own time (15.0 against 13.3
  // ms a scan, in turns) and saved none of the scan's.
  if (awaited_.empty()) {
    burst_ = 1;
    unwritten_ = 0;
  }
  // A connection kept for billions of calls (kestreye-mcp's) numbers them
  // anew, never 0.
  if (nextSerial_ < kFirstSerial) nextSerial_ = kFirstSerial;
  const uint32_t serial = nextSerial_++;
  dbus_message_set_serial(message, serial);
  char* bytes = nullptr;
  int length = 0;
  if (!dbus_message_marshal(message, &bytes, &length)) return false;
  outgoing_.append(bytes, static_cast<size_t>(length));
  dbus_free(bytes);
  awaited_[serial] = &call;
  call.serial = serial;
  if (++unwritten_ >= burst_ || busClient_) {
    flush();
    unwritten_ = 0;
    burst_ *= 2;
  }
  return true;
}

bool Connection::canWrite() const {
  // The handshake's last line (BEGIN), and Hello on a bus, come first.
  return written_ < outgoing_.size() && isOpen() &&
         dbus_connection_get_is_authenticated(connection_) &&
         !dbus_connection_has_messages_to_send(connection_);
}

void Connection::flush() {
  int fd = -1;
  if (!canWrite() || !dbus_connection_get_socket(connection_, &fd)) return;
  while (written_ < outgoing_.size()) {
    const ssize_t sent =
        ::send(fd, outgoing_.data() + written_, outgoing_.size() - written_,
               MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (sent <= 0) {
      // The peer has gone: the calls waiting here end as on any closed
      // connection.
      dbus_connection_close(connection_);
      return;
    }
    written_ += static_cast<size_t>(sent);
    if (writes != nullptr) ++*writes;
  }
  outgoing_.clear();
  written_ = 0;
}

DBusHandlerResult Connection::filter(DBusConnection* /*connection*/,
                                     DBusMessage* message, void* data) {
  auto& self = *static_cast<Connection*>(data);
  const int type = dbus_message_get_type(message);
  if (type != DBUS_MESSAGE_TYPE_METHOD_RETURN &&
      type != DBUS_MESSAGE_TYPE_ERROR) {
    return DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
  }
  const uint32_t serial = dbus_message_get_reply_serial(message);
  const auto found = self.awaited_.find(serial);
  if (found == self.awaited_.end()) {
    // An answer that came after its call ended is dropped.
    return serial >= kFirstSerial ? DBUS_HANDLER_RESULT_HANDLED
                                  : DBUS_HANDLER_RESULT_NOT_YET_HANDLED;
  }
  Batch::Call& call = *found->second;
  self.awaited_.erase(found);
  call.serial = 0;
  answer(call, message);
  return DBUS_HANDLER_RESULT_HANDLED;
}

void Connection::waitOn(std::vector<pollfd>& fds,
                        std::vector<DBusWatch*>& watches) {
  int fd = -1;
  if (canWrite() && dbus_connection_get_socket(connection_, &fd)) {
    // The rest of the queued calls, once the socket takes more.
    fds.push_back({fd, POLLOUT, 0});
    watches.push_back(nullptr);
  }
  for (DBusWatch* watch : watches_) {
    if (!dbus_watch_get_enabled(watch)) continue;
    const unsigned flags = dbus_watch_get_flags(watch);
    short events = 0;
    if ((flags & DBUS_WATCH_READABLE) != 0) events |= POLLIN;
    if ((flags & DBUS_WATCH_WRITABLE) != 0) events |= POLLOUT;
    fds.push_back({dbus_watch_get_unix_fd(watch), events, 0});
    watches.push_back(watch);
  }
}

void Connection::handle(DBusWatch* watch, short revents) {
  if (watch == nullptr) {
    flush();
    return;
  }
  // Handling one watch can close the connection and drop the others.
  if (std::find(watches_.begin(), watches_.end(), watch) == watches_.end()) {
    return;
  }
  unsigned flags = 0;
  if ((revents & POLLIN) != 0) flags |= DBUS_WATCH_READABLE;
  if ((revents & POLLOUT) != 0) flags |= DBUS_WATCH_WRITABLE;
  if ((revents & POLLHUP) != 0) flags |= DBUS_WATCH_HANGUP;
  if ((revents & (POLLERR | POLLNVAL)) != 0) flags |= DBUS_WATCH_ERROR;
  if (flags != 0) dbus_watch_handle(watch, flags);
}

void Connection::dispatch() {
  // Each round hands one message on. The calls still waiting on a
  // connection that closed get no answer here: Batch::run ends them.
  while (dbus_connection_dispatch(connection_) == DBUS_DISPATCH_DATA_REMAINS) {
  }
}

bool Client::State::openBus(Deadline deadline) {
  if (bus != nullptr && bus->isOpen()) return true;
  // A bus that closed (its daemon restarted) is looked for afresh, with
  // every application's socket; the ways to them set before the bus first
  // opened stay.
  if (bus != nullptr) dropBus();
  if (busFailed) return false;
  std::string address = options.accessibilityBusAddress;
  // Without a session bus's address there is nothing to ask: a bus is never
  // started for the question.
  if (address.empty() && !options.sessionBusAddress.empty()) {
    address = bus::addressFromSession(options.sessionBusAddress, deadline, sent)
                  .value_or("");
  }
  if (!address.empty()) bus = Connection::open(address, true);
  busFailed = bus == nullptr;
  busAddress = busFailed ? std::string() : address;
  return !busFailed;
}

Connection* Client::State::connectionFor(const std::string& app) {
  const auto found = routes.find(app);
  if (found != routes.end() && found->second.kind == Route::Kind::OwnSocket) {
    return found->second.own.get();
  }
  return bus.get();
}

std::vector<Connection*> Client::State::handshakes() {
  std::vector<Connection*> connecting;
  for (auto& [app, route] : routes) {
    if (route.kind == Route::Kind::Connecting) {
      connecting.push_back(route.own.get());
    }
  }
  return connecting;
}

void Client::State::settleHandshakes(std::chrono::milliseconds limit) {
  for (auto& [app, route] : routes) {
    if (route.kind != Route::Kind::Connecting) continue;
    if (route.own->isReady()) {
      route.kind = Route::Kind::OwnSocket;
    } else if (!route.own->isOpen() ||
               Clock::now() - route.connected >= limit) {
      // Refused, or accepted and left unanswered (its main loop may serve
      // the bus all the same): the bus it is.
      route.kind = Route::Kind::Bus;
      route.own.reset();
    }
  }
}

Client::Client(ClientOptions options) : state_(std::make_unique<State>()) {
  state_->options = std::move(options);
}

Client::~Client() = default;

bool Client::open(Deadline deadline) {
  if (!state_->openBus(deadline)) return false;
  Connection* bus = state_->bus.get();
  pump({bus}, [&]() -> std::optional<Deadline> {
    if (bus->isReady() || !bus->isOpen() || Clock::now() >= deadline) {
      return std::nullopt;
    }
    return deadline;
  });
  if (bus->isReady()) return true;
  state_->dropBus();
  return false;
}

void Client::beginScan() {
  state_->hung.clear();
  state_->gone.clear();
  state_->busFailed = false;
  // A bus that never finished its handshake is connected to afresh.
  if (state_->bus != nullptr && !state_->bus->isReady()) {
    state_->dropBus();
  }
  // An application whose socket closed is asked for its socket again.
  std::erase_if(state_->routes, [](const auto& entry) {
    const Route& route = entry.second;
    return route.own != nullptr && !route.own->isOpen();
  });
}

uint64_t Client::callsSent() const { return state_->sent; }

uint64_t Client::batchesRun() const { return state_->batches; }

uint64_t Client::writesMade() const { return state_->writes; }

void Client::hearAlso(AddressQuestion* question) {
  state_->alsoHeard = question != nullptr ? &question->connection() : nullptr;
}

bool Client::hung(const std::string& app) const {
  return state_->hung.count(app) != 0;
}

bool Client::connected() const {
  if (state_->bus != nullptr) return true;
  for (const auto& [app, route] : state_->routes) {
    if (route.own != nullptr) return true;
  }
  return false;
}

bool Client::usesOwnSocket(const std::string& app) const {
  const auto found = state_->routes.find(app);
  return found != state_->routes.end() &&
         found->second.kind == Route::Kind::OwnSocket;
}

void Client::setOwnSocket(const std::string& app,
                          std::function<std::string()> find,
                          bool askIfNotFound) {
  Route& route = state_->routes[app];
  if (route.kind != Route::Kind::Unknown) return;
  route.find = std::move(find);
  route.askIfNotFound = askIfNotFound;
}

}  // namespace kestreye::atspi::bus

#ifdef KESTREYE_DBUS_ARCHIVE
// libdbus asks getsockname only to learn whether a socket it connects can
// pass descriptors (and, as a server, where it listens). While a bus
// connection opens, a Unix socket is said to be of no family: libdbus then
// ends its handshake without offering to pass descriptors, which no AT-SPI
// call does, and saves the round trip of that offer.
extern "C" int __real_getsockname(int fd, sockaddr* address, socklen_t* length);
extern "C" int __wrap_getsockname(int fd, sockaddr* address,
                                  socklen_t* length) {
  const int result = __real_getsockname(fd, address, length);
  if (result == 0 && kestreye::atspi::bus::openingConnection &&
      *length >= sizeof(sa_family_t) && address->sa_family == AF_UNIX) {
    address->sa_family = AF_UNSPEC;
  }
  return result;
}

// libdbus's archive also holds its server's socket activation, which asks
// libsystemd for the sockets systemd passed; a client passes none, and
// linking libsystemd for it would bring back what the archive leaves out.
extern "C" int sd_listen_fds(int) { return 0; }
extern "C" int sd_is_socket(int, int, int, int) { return 0; }
#endif
