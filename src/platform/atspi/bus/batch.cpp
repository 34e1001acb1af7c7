#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <string_view>

#include "platform/atspi/bus/bus_private.h"
#include "platform/atspi/bus/client.h"

namespace kestreye::atspi::bus {
namespace {

constexpr std::string_view kNoReply = "org.freedesktop.DBus.Error.NoReply";
constexpr std::string_view kFailed = "org.freedesktop.DBus.Error.Failed";
constexpr std::string_view kDisconnected =
    "org.freedesktop.DBus.Error.Disconnected";

// The errors that say the application is no longer there to answer.
bool meansGone(std::string_view error) {
  return error == "org.freedesktop.DBus.Error.ServiceUnknown" ||
         error == "org.freedesktop.DBus.Error.NameHasNoOwner" ||
         error == kDisconnected;
}

void finish(Batch::Call& call, CallStatus status, std::string error = {}) {
  call.done = true;
  if (call.serial != 0) call.connection->forget(call.serial);
  call.serial = 0;
  if (call.inFlight != nullptr) --*call.inFlight;
  call.inFlight = nullptr;
  std::visit(
      [&](auto& reply) {
        reply.status = status;
        reply.error = std::move(error);
        if (status != CallStatus::Ok) reply.value.reset();
      },
      *call.reply);
  // A call that runs out its limit blames whoever answers it; an answer that
  // the application has left, the application.
  if (status == CallStatus::TimedOut) call.client->hung.insert(call.target.bus);
  if (status == CallStatus::Gone) {
    call.client->gone.insert(call.about.empty() ? call.target.bus : call.about);
  }
}

}  // namespace

void answer(Batch::Call& call, DBusMessage* message) {
  if (call.done) return;
  if (dbus_message_get_type(message) == DBUS_MESSAGE_TYPE_ERROR) {
    const char* error = dbus_message_get_error_name(message);
    std::string name = error != nullptr ? error : "";
    // at-spi2-atk's bridge answers a property of an interface the element
    // lacks (the Text interface's character count of a sheet) with
    // "Get failed": the element has no such property.
    if (name == kFailed && std::string_view(call.member) == "Get" &&
        std::string_view(call.interface) == "org.freedesktop.DBus.Properties") {
      name = "org.freedesktop.DBus.Error.UnknownProperty";
    }
    // NoReply comes from the daemon when the application disconnects first,
    // or when its own limit for the call runs out.
    if (name == kNoReply) {
      const bool late = Clock::now() + std::chrono::milliseconds(2) >= call.end;
      finish(call, late ? CallStatus::TimedOut : CallStatus::Gone,
             std::move(name));
    } else {
      const CallStatus status =
          meansGone(name) ? CallStatus::Gone : CallStatus::Error;
      finish(call, status, std::move(name));
    }
    return;
  }
  if (call.read(message, *call.reply)) {
    finish(call, CallStatus::Ok);
  } else {
    const char* signature = dbus_message_get_signature(message);
    finish(call, CallStatus::BadReply, signature != nullptr ? signature : "");
  }
}

namespace {

// Whether an application's own socket may be connected to: a Unix socket and
// nothing else. An address is the application's word, and libdbus would also
// start a program ("unixexec:") or reach out over the network for one.
bool ownSocketAddress(std::string_view address) {
  return address.starts_with("unix:") &&
         address.find(';') == std::string_view::npos;
}

int millisecondsUntil(Deadline when) {
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(when - Clock::now());
  return static_cast<int>(std::clamp<int64_t>(left.count(), 0, 60'000));
}

// Sends one call on its connection; false (and the call finished) when it
// cannot go out.
bool send(Batch::Call& call, Connection* connection, bool ownSocket) {
  call.connection = connection;
  // An object reference that is no valid name or path (an application
  // lists what it likes) is refused here, before anything is sent: libdbus
  // would end the process over it.
  const std::string& app = call.target.bus;
  const std::string& path = call.target.path;
  if (!dbus_validate_bus_name(app.c_str(), nullptr) ||
      !dbus_validate_path(path.c_str(), nullptr)) {
    finish(call, CallStatus::Error, "Invalid argument");
    return false;
  }
  MessagePtr message(dbus_message_new_method_call(app.c_str(), path.c_str(),
                                                  call.interface, call.member));
  if (message == nullptr || (call.append && !call.append(message.get()))) {
    finish(call, CallStatus::Error, "Cannot allocate memory");
    return false;
  }
  // The call's limit is kept here, not by libdbus: an answer is waited for
  // only while pump() runs, and the batch's calls go out together
  // (Connection::flush).
  if (!connection->isOpen()) {
    finish(call, ownSocket ? CallStatus::Gone : CallStatus::NoBus,
           "Disconnected");
    return false;
  }
  if (!connection->queue(message.get(), call)) {
    finish(call, CallStatus::NotSent, "Cannot allocate memory");
    return false;
  }
  ++call.client->sent;
  return true;
}

// Closes `asker` and waits until the bus daemon has seen it leave.
void leave(BusPtr asker, Client& client, Deadline deadline,
           std::chrono::milliseconds limit) {
  const std::string name = asker->uniqueName();
  asker.reset();
  // The daemon tells the others in the order it learns things: once it
  // knows no owner of the name, every call sent after comes after the news.
  constexpr int kMaxRounds = 20;
  for (int round = 0;
       !name.empty() && round < kMaxRounds && Clock::now() < deadline;
       ++round) {
    Batch ask(client, deadline);
    ask.setCallLimit(limit);
    const Ticket<uint32_t> owner = ask.processId(name);
    ask.run();
    if (!ask[owner].ok()) break;
  }
}

}  // namespace

void pump(const std::vector<Connection*>& connections,
          const std::function<std::optional<Deadline>()>& step) {
  std::vector<pollfd> fds;
  std::vector<DBusWatch*> watches;
  std::vector<Connection*> owners;
  while (true) {
    for (Connection* connection : connections) connection->dispatch();
    const std::optional<Deadline> until = step();
    if (!until.has_value()) return;
    fds.clear();
    watches.clear();
    owners.clear();
    for (Connection* connection : connections) {
      connection->waitOn(fds, watches);
      owners.resize(watches.size(), connection);
    }
    const int ready = poll(fds.data(), fds.size(), millisecondsUntil(*until));
    if (ready < 0 && errno != EINTR) return;
    for (size_t i = 0; ready > 0 && i < fds.size(); ++i) {
      if (fds[i].revents != 0) owners[i]->handle(watches[i], fds[i].revents);
    }
  }
}

Batch::Batch(Client& client, Deadline deadline)
    : client_(client),
      deadline_(deadline),
      callLimit_(client.state_->options.callLimit) {}

Batch::~Batch() = default;

size_t Batch::answered() const {
  return std::count_if(replies_.begin(), replies_.end(), [](const AnyReply& r) {
    return std::visit([](const auto& reply) { return reply.ok(); }, r);
  });
}

void Batch::findRoutes(const std::vector<std::string>& apps) {
  Client::State& state = *client_.state_;
  Batch ask(client_, deadline_);
  ask.setCallLimit(callLimit_);
  Batch askAndLeave(client_, deadline_);
  askAndLeave.setCallLimit(callLimit_);
  askAndLeave.setAskerLeaves(true);
  std::vector<std::optional<std::string>> found(apps.size());
  std::vector<std::pair<Batch*, Ticket<std::string>>> addresses(apps.size());
  for (size_t i = 0; i < apps.size(); ++i) {
    // An address found otherwise stands for the application's answer.
    const Route& route = state.routes[apps[i]];
    if (route.find) found[i] = route.find();
    if (found[i].has_value() && (!found[i]->empty() || !route.askIfNotFound)) {
      continue;
    }
    Batch& batch = route.askIfNotFound ? askAndLeave : ask;
    addresses[i] = {&batch, batch.applicationBusAddress(apps[i])};
    found[i].reset();
  }
  ask.run();
  askAndLeave.run();
  for (size_t i = 0; i < apps.size(); ++i) {
    Reply<std::string> address;
    if (!found[i].has_value()) {
      address = (*addresses[i].first)[addresses[i].second];
    } else {
      address.status = CallStatus::Ok;
      address.value = *found[i];
    }
    // A hung or lost application keeps no route: the scan knows it through
    // its own sets, and the next scan asks again.
    if (address.status != CallStatus::Ok &&
        address.status != CallStatus::Error &&
        address.status != CallStatus::BadReply) {
      continue;
    }
    Route& route = state.routes[apps[i]];
    if (address.ok() && ownSocketAddress(*address.value)) {
      route.own = Connection::open(*address.value, false);
    }
    // A socket can accept the connection and then refuse the client, and
    // each round trip of the handshake waits for the application's main
    // loop: its calls go through the bus until the handshake has ended
    // (Client::State::settleHandshakes), which goes on meanwhile.
    route.kind =
        route.own != nullptr ? Route::Kind::Connecting : Route::Kind::Bus;
    route.connected = Clock::now();
  }
}

void Batch::run(const std::function<std::optional<Deadline>()>& stopAt) {
  Client::State& state = *client_.state_;
  if (!calls_.empty()) ++state.batches;
  std::vector<Call*> pending;
  for (size_t i = 0; i < calls_.size(); ++i) {
    Call& call = *calls_[i];
    if (call.done || call.connection != nullptr) continue;
    call.reply = &replies_[i];
    call.client = &state;
    pending.push_back(&call);
  }
  // Finishes a call that is answered at once, without a message; false
  // when it must be sent.
  const auto answeredAtOnce = [&](Call& call) {
    const std::string& app = call.target.bus;
    if (state.busFailed) {
      finish(call, CallStatus::NoBus);
    } else if (state.gone.count(app) != 0) {
      finish(call, CallStatus::Gone);
    } else if (state.hung.count(app) != 0 || Clock::now() >= deadline_) {
      finish(call, CallStatus::NotSent);
    }
    return call.done;
  };
  const auto settle = [&] {
    std::erase_if(pending, [&](Call* call) { return answeredAtOnce(*call); });
  };
  settle();
  if (pending.empty()) return;
  if (!state.openBus(deadline_)) {
    settle();
    return;
  }

  state.settleHandshakes(callLimit_);
  // The applications met for the first time are called through the bus, and
  // their own sockets looked for while the answers are on their way (a
  // search of the process's descriptors, or a question of its own); the
  // handshake of one found goes on behind, for the batches after.
  std::vector<std::string> unknown;
  for (Call* call : pending) {
    const std::string& app = call->target.bus;
    // A well-known name (the registry) is a service on the bus itself.
    if (!call->viaBus && app.starts_with(':') &&
        state.routes[app].kind == Route::Kind::Unknown &&
        std::find(unknown.begin(), unknown.end(), app) == unknown.end()) {
      unknown.push_back(app);
    }
  }

  // The calls go out in the order they were added, each connection's as far
  // as its window allows; a call's limit runs from when it is sent.
  struct Lane {
    Connection* connection;
    std::deque<Call*> waiting;
    size_t inFlight = 0;
  };
  std::vector<Lane> lanes;
  std::vector<Connection*> connections;
  BusPtr asker;
  if (askerLeaves_) {
    asker = Connection::open(state.busAddress, true);
    if (asker == nullptr) {
      for (Call* call : pending) finish(*call, CallStatus::NoBus);
      return;
    }
  }
  for (Call* call : pending) {
    Connection* connection = !call->viaBus
                                 ? state.connectionFor(call->target.bus)
                             : asker != nullptr ? asker.get()
                                                : state.bus.get();
    auto lane = std::find_if(lanes.begin(), lanes.end(), [&](const Lane& l) {
      return l.connection == connection;
    });
    if (lane == lanes.end()) {
      connection->writes = &state.writes;
      lanes.push_back(Lane{connection, {}, 0});
      connections.push_back(connection);
      lane = lanes.end() - 1;
    }
    lane->waiting.push_back(call);
  }
  const auto fill = [&] {
    for (Lane& lane : lanes) {
      while (lane.inFlight < MAX_CALLS_IN_FLIGHT && !lane.waiting.empty()) {
        Call& call = *lane.waiting.front();
        lane.waiting.pop_front();
        // An application that hung or left while this call waited is not
        // asked again.
        if (answeredAtOnce(call)) continue;
        call.end = std::min(deadline_, Clock::now() + call.limit);
        // Answers are read only in pump(), so none comes before this.
        if (send(call, lane.connection, lane.connection != state.bus.get())) {
          ++lane.inFlight;
          call.inFlight = &lane.inFlight;
        }
      }
      lane.connection->flush();
    }
  };
  fill();
  if (!unknown.empty()) findRoutes(unknown);
  // The handshakes under way go on while the batch waits, and so does the
  // question heard alongside.
  if (state.alsoHeard != nullptr) connections.push_back(state.alsoHeard);
  for (Connection* connecting : state.handshakes()) {
    if (std::find(connections.begin(), connections.end(), connecting) ==
        connections.end()) {
      connections.push_back(connecting);
    }
  }

  pump(connections, [&]() -> std::optional<Deadline> {
    const Deadline now = Clock::now();
    if (stopAt) {
      const std::optional<Deadline> stop = stopAt();
      if (stop.has_value() && Clock::now() >= *stop) {
        return std::nullopt;
      }
    }
    for (Call* call : pending) {
      if (call->done || call->serial == 0) continue;
      // libdbus answers nothing still waiting on a connection that closed.
      if (!call->connection->isOpen()) {
        if (call->connection == state.bus.get()) {
          // The bus itself closed (its daemon ended): no application is to
          // blame, and no call gets through for the rest of the scan.
          state.busFailed = true;
          finish(*call, CallStatus::NoBus, std::string(kDisconnected));
        } else {
          finish(*call, CallStatus::Gone, std::string(kDisconnected));
        }
        continue;
      }
      if (now < call->end) continue;
      // A connection still authenticating when the limit ran out: through
      // the bus, the bus is what failed, not the application.
      if (call->connection == state.bus.get() && !call->connection->isReady()) {
        state.busFailed = true;
        finish(*call, CallStatus::NoBus);
      } else {
        finish(*call, CallStatus::TimedOut);
      }
    }
    fill();
    // A call still waiting for room waits for an answer to come in, which
    // a call on its way brings, or its end: fill() leaves none waiting on
    // a connection with no call on its way.
    std::optional<Deadline> next;
    for (Call* call : pending) {
      if (call->done || call->serial == 0) continue;
      next = next.has_value() ? std::min(*next, call->end) : call->end;
    }
    if (next.has_value() && stopAt) {
      if (const std::optional<Deadline> stop = stopAt()) {
        next = std::min(*next, *stop);
      }
    }
    return next;
  });
  for (Call* call : pending) {
    // Only a failed wait (poll) leaves a call here; an answer still on its
    // way is dropped when it comes.
    if (!call->done) finish(*call, CallStatus::NotSent);
  }
  state.settleHandshakes(callLimit_);
  if (asker != nullptr) leave(std::move(asker), client_, deadline_, callLimit_);
}

}  // namespace kestreye::atspi::bus
