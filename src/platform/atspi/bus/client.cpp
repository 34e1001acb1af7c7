#include "platform/atspi/bus/client.h"

#include <dlfcn.h>

#include <cstdlib>
#include <type_traits>

#include "platform/atspi/bus/bus_private.h"

namespace kestreye::atspi::bus {
namespace {

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

uint64_t microsecondsUntil(Deadline deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
      deadline - Clock::now());
  // sd-bus reads a timeout of 0 as its own default of 25 s.
  return left.count() > 0 ? static_cast<uint64_t>(left.count()) : 1;
}

}  // namespace

std::optional<std::string> addressFromSession(const std::string& session,
                                              Deadline deadline) {
  uint64_t sent = 0;
  return addressFromSession(session, deadline, sent);
}

std::optional<std::string> addressFromSession(const std::string& session,
                                              Deadline deadline,
                                              uint64_t& sent) {
  BusPtr connection = connectTo(session, true);
  if (connection == nullptr) return std::nullopt;
  struct Answer {
    bool done = false;
    std::optional<std::string> address;
  } answer;
  MessagePtr ask;
  sd_bus_message* made = nullptr;
  if (sdbus().message_new_method_call(connection.get(), &made, "org.a11y.Bus",
                                      "/org/a11y/bus", "org.a11y.Bus",
                                      "GetAddress") < 0) {
    return std::nullopt;
  }
  ask.reset(made);
  sd_bus_slot* pending = nullptr;
  const auto answered = [](sd_bus_message* message, void* data,
                           sd_bus_error*) -> int {
    auto* out = static_cast<Answer*>(data);
    out->done = true;
    const char* address = nullptr;
    if (!sdbus().message_is_method_error(message, nullptr) &&
        sdbus().message_has_signature(message, "s") &&
        sdbus().message_read_basic(message, 's', &address) > 0 &&
        address[0] != '\0') {
      out->address = address;
    }
    return 1;
  };
  if (sdbus().call_async(connection.get(), &pending, ask.get(), answered,
                         &answer, microsecondsUntil(deadline)) < 0) {
    return std::nullopt;
  }
  SlotPtr slot(pending);
  ++sent;
  pump({connection.get()}, [&]() -> std::optional<Deadline> {
    if (answer.done || Clock::now() >= deadline) return std::nullopt;
    return deadline;
  });
  return answer.address;
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

const SdBus* loadSdBus() {
  static const SdBus* loaded = []() -> const SdBus* {
    void* library = dlopen("libsystemd.so.0", RTLD_LAZY | RTLD_LOCAL);
    if (library == nullptr) return nullptr;
    static SdBus functions;
    bool all = true;
    auto load = [&](auto& slot, const char* name) {
      slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(
          dlsym(library, name));
      all = all && slot != nullptr;
    };
    load(functions.call_async, "sd_bus_call_async");
    load(functions.close_unref, "sd_bus_close_unref");
    load(functions.get_events, "sd_bus_get_events");
    load(functions.get_fd, "sd_bus_get_fd");
    load(functions.get_unique_name, "sd_bus_get_unique_name");
    load(functions.get_timeout, "sd_bus_get_timeout");
    load(functions.is_open, "sd_bus_is_open");
    load(functions.is_ready, "sd_bus_is_ready");
    load(functions.message_append, "sd_bus_message_append");
    load(functions.message_append_basic, "sd_bus_message_append_basic");
    load(functions.message_at_end, "sd_bus_message_at_end");
    load(functions.message_close_container, "sd_bus_message_close_container");
    load(functions.message_enter_container, "sd_bus_message_enter_container");
    load(functions.message_exit_container, "sd_bus_message_exit_container");
    load(functions.message_get_error, "sd_bus_message_get_error");
    load(functions.message_get_signature, "sd_bus_message_get_signature");
    load(functions.message_has_signature, "sd_bus_message_has_signature");
    load(functions.message_is_method_error, "sd_bus_message_is_method_error");
    load(functions.message_new_method_call, "sd_bus_message_new_method_call");
    load(functions.message_open_container, "sd_bus_message_open_container");
    load(functions.message_read, "sd_bus_message_read");
    load(functions.message_read_basic, "sd_bus_message_read_basic");
    load(functions.message_skip, "sd_bus_message_skip");
    load(functions.message_unref, "sd_bus_message_unref");
    load(functions.make, "sd_bus_new");
    load(functions.process, "sd_bus_process");
    load(functions.set_address, "sd_bus_set_address");
    load(functions.set_bus_client, "sd_bus_set_bus_client");
    load(functions.slot_unref, "sd_bus_slot_unref");
    load(functions.start, "sd_bus_start");
    if (!all) {
      dlclose(library);
      return nullptr;
    }
    return &functions;
  }();
  return loaded;
}

BusPtr connectTo(const std::string& address, bool busClient) {
  if (loadSdBus() == nullptr) return nullptr;
  sd_bus* made = nullptr;
  if (sdbus().make(&made) < 0) return nullptr;
  BusPtr bus(made);
  // Only the address given is tried: sd-bus never autolaunches a bus, and no
  // X11 display is asked for one.
  if (sdbus().set_address(bus.get(), address.c_str()) < 0 ||
      sdbus().set_bus_client(bus.get(), busClient ? 1 : 0) < 0 ||
      sdbus().start(bus.get()) < 0) {
    return nullptr;
  }
  return bus;
}

bool Client::State::openBus(Deadline deadline) {
  if (bus != nullptr && sdbus().is_open(bus.get()) > 0) return true;
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
  if (!address.empty()) bus = connectTo(address, true);
  busFailed = bus == nullptr;
  busAddress = busFailed ? std::string() : address;
  return !busFailed;
}

sd_bus* Client::State::connectionFor(const std::string& app) {
  const auto found = routes.find(app);
  if (found != routes.end() && found->second.own != nullptr) {
    return found->second.own.get();
  }
  return bus.get();
}

Client::Client(ClientOptions options) : state_(std::make_unique<State>()) {
  state_->options = std::move(options);
}

Client::~Client() = default;

bool Client::open(Deadline deadline) {
  if (!state_->openBus(deadline)) return false;
  sd_bus* bus = state_->bus.get();
  pump({bus}, [&]() -> std::optional<Deadline> {
    if (sdbus().is_ready(bus) > 0 || sdbus().is_open(bus) <= 0 ||
        Clock::now() >= deadline) {
      return std::nullopt;
    }
    return deadline;
  });
  if (sdbus().is_ready(bus) > 0) return true;
  state_->dropBus();
  return false;
}

void Client::beginScan() {
  state_->hung.clear();
  state_->gone.clear();
  state_->busFailed = false;
  // A bus that never finished its handshake is connected to afresh.
  if (state_->bus != nullptr && sdbus().is_ready(state_->bus.get()) <= 0) {
    state_->dropBus();
  }
  // An application whose socket closed is asked for its socket again.
  std::erase_if(state_->routes, [](const auto& entry) {
    const Route& route = entry.second;
    return route.own != nullptr && sdbus().is_open(route.own.get()) <= 0;
  });
}

uint64_t Client::callsSent() const { return state_->sent; }

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
  return found != state_->routes.end() && found->second.own != nullptr;
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
