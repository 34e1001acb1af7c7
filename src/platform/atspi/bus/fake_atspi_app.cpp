// A fake AT-SPI application for the bus client's tests: a small form on the
// accessibility bus, with objects that misbehave on purpose.
//
//   kestreye_fake_atspi_app BUS_ADDRESS SOCKET FOLDER [--a11y-bus ADDRESS]
//
// SOCKET says what GetApplicationBusAddress answers: "none" (""), "serve"
// (a socket of its own in FOLDER, served like the bus), "refuse" (a socket in
// FOLDER that refuses every connection), "reject" (one that accepts each
// connection and closes it at once), "stall" (one that never takes a
// connection from its backlog), "exec" (an address that would run a
// program creating FOLDER/executed) or "unsupported" (an UnknownMethod
// error). --a11y-bus also owns org.a11y.Bus and answers its GetAddress with
// ADDRESS, or never with "silent". The unique name goes to standard output
// once the fake is on the bus.
//
// The objects below /o: window, label, field, slider (a form); channel, whose
// name says "bus" or "p2p" after the connection that asked; silent (never
// answers), slow (answers after 150 ms), error (an error), wrong (answers of
// the wrong type), wrongvariant (properties of the wrong type), huge
// (1,000,000 children), exit (ends the process, answering nothing).
// org.kestreye.Fake.Received(s path) counts the calls received for a path,
// every path for "".
#include <sys/socket.h>
#include <sys/un.h>
#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr const char* kRoot = "/org/a11y/atspi/accessible/root";
constexpr const char* kUnknownMethod =
    "org.freedesktop.DBus.Error.UnknownMethod";
constexpr uint32_t kHugeCount = 1'000'000;
// AT-SPI's numbers (atspi-constants.h).
constexpr uint32_t kLabelledBy = 2;
constexpr uint32_t kEditable = 7, kFocusable = 11, kFocused = 12,
                   kSensitive = 24, kShowing = 25, kVisible = 30;

struct Node {
  uint32_t role;
  std::string name;
  std::string description;
  std::vector<std::string> children;
  std::string parent;
  std::vector<uint32_t> states;
};

uint32_t bit(uint32_t state) { return 1u << state; }

const std::map<std::string, Node>& tree() {
  static const auto* nodes = new std::map<std::string, Node>{
      {kRoot, {75, "Fake", "", {"/o/window"}, "", {}}},
      {"/o/window",
       {23,
        "Sign in",
        "",
        {"/o/label", "/o/field", "/o/slider", "/o/channel"},
        kRoot,
        {bit(kShowing) | bit(kVisible), 0}}},
      {"/o/label", {29, "Email", "", {}, "/o/window", {bit(kShowing), 0}}},
      {"/o/field",
       {61,
        "",
        "Your address",
        {},
        "/o/window",
        {bit(kEditable) | bit(kFocusable) | bit(kFocused) | bit(kSensitive) |
             bit(kShowing) | bit(kVisible),
         0}}},
      {"/o/slider", {51, "Volume", "", {}, "/o/window", {0, 0}}},
      {"/o/channel", {29, "", "", {}, "/o/window", {0, 0}}},
      {"/o/slow", {29, "slow", "", {}, "/o/window", {0, 0}}},
      {"/o/huge", {23, "Huge", "", {}, "/o/window", {0, 0}}},
  };
  return *nodes;
}

constexpr const char* kFieldText = "ann@example.org";

struct Fake {
  sd_event* event = nullptr;
  sd_bus* bus = nullptr;
  std::string unique;
  std::string socketMode;
  std::string ownAddress;
  std::string a11yAnswer;  // "" when not the org.a11y.Bus owner
  std::map<std::string, uint32_t> received;
  std::vector<sd_bus_message*> unanswered;
  std::vector<sd_bus*> peers;
};

Fake fake;

bool is(const char* a, const char* b) {
  return a != nullptr && std::strcmp(a, b) == 0;
}

int appendRef(sd_bus_message* reply, const std::string& bus,
              const std::string& path) {
  return sd_bus_message_append(reply, "(so)", bus.c_str(), path.c_str());
}

int replyProperty(sd_bus_message* call, const std::string& path,
                  const Node* node, const char* channel) {
  const char* interface = nullptr;
  const char* name = nullptr;
  if (sd_bus_message_read(call, "ss", &interface, &name) < 0) {
    return sd_bus_reply_method_errorf(
        call, "org.freedesktop.DBus.Error.InvalidArgs", "two strings, please");
  }
  if (path == "/o/wrongvariant") {
    return sd_bus_reply_method_return(call, "v", "b", 1);
  }
  if (is(interface, "org.a11y.atspi.Application")) {
    if (is(name, "ToolkitName"))
      return sd_bus_reply_method_return(call, "v", "s", "FakeKit");
    if (is(name, "Version"))
      return sd_bus_reply_method_return(call, "v", "s", "1.2.3");
  } else if (is(interface, "org.a11y.atspi.Text") && path == "/o/field") {
    if (is(name, "CaretOffset"))
      return sd_bus_reply_method_return(call, "v", "i", 3);
    if (is(name, "CharacterCount"))
      return sd_bus_reply_method_return(call, "v", "i", 15);
  } else if (is(interface, "org.a11y.atspi.Value") && path == "/o/slider") {
    if (is(name, "CurrentValue"))
      return sd_bus_reply_method_return(call, "v", "d", 42.5);
  } else if (is(interface, "org.a11y.atspi.Accessible")) {
    if (is(name, "Name")) {
      const std::string text = path == "/o/channel" ? channel : node->name;
      return sd_bus_reply_method_return(call, "v", "s", text.c_str());
    }
    if (is(name, "Description")) {
      return sd_bus_reply_method_return(call, "v", "s",
                                        node->description.c_str());
    }
    if (is(name, "ChildCount")) {
      const auto count = path == "/o/huge" ? kHugeCount : node->children.size();
      return sd_bus_reply_method_return(call, "v", "i",
                                        static_cast<int32_t>(count));
    }
    if (is(name, "Parent")) {
      const bool top = node->parent.empty();
      return sd_bus_reply_method_return(
          call, "v", "(so)",
          top ? "org.a11y.atspi.Registry" : fake.unique.c_str(),
          top ? kRoot : node->parent.c_str());
    }
  }
  return sd_bus_reply_method_errorf(
      call, "org.freedesktop.DBus.Error.UnknownProperty", "no property %s",
      name);
}

int replyChildren(sd_bus_message* call, const std::string& path,
                  const Node& node) {
  sd_bus_message* reply = nullptr;
  int r = sd_bus_message_new_method_return(call, &reply);
  if (r >= 0) r = sd_bus_message_open_container(reply, 'a', "(so)");
  if (path == "/o/huge") {
    for (uint32_t i = 0; r >= 0 && i < kHugeCount; ++i) {
      r = appendRef(reply, fake.unique, "/o/c");
    }
  } else {
    for (const std::string& child : node.children) {
      if (r >= 0) r = appendRef(reply, fake.unique, child);
    }
  }
  if (r >= 0) r = sd_bus_message_close_container(reply);
  if (r >= 0) r = sd_bus_send(nullptr, reply, nullptr);
  sd_bus_message_unref(reply);
  return r;
}

int replyRelations(sd_bus_message* call, const std::string& path) {
  if (path != "/o/field")
    return sd_bus_reply_method_return(call, "a(ua(so))", 0);
  return sd_bus_reply_method_return(call, "a(ua(so))", 1, kLabelledBy, 1,
                                    fake.unique.c_str(), "/o/label");
}

int replyText(sd_bus_message* call, const char* member) {
  if (is(member, "GetText")) {
    int32_t start = 0, end = 0;
    if (sd_bus_message_read(call, "ii", &start, &end) < 0) return -EINVAL;
    const std::string text(kFieldText);
    if (end < 0 || end > static_cast<int32_t>(text.size())) end = text.size();
    if (start < 0 || start > end) start = end;
    return sd_bus_reply_method_return(call, "s",
                                      text.substr(start, end - start).c_str());
  }
  if (is(member, "GetNSelections"))
    return sd_bus_reply_method_return(call, "i", 1);
  if (is(member, "GetSelection"))
    return sd_bus_reply_method_return(call, "ii", 0, 3);
  return sd_bus_reply_method_errorf(call, kUnknownMethod, "no %s", member);
}

// The answer of a well-behaved application.
int answer(sd_bus_message* call, const char* channel) {
  const std::string path = sd_bus_message_get_path(call);
  const char* interface = sd_bus_message_get_interface(call);
  const char* member = sd_bus_message_get_member(call);
  if (is(interface, "org.a11y.atspi.Application") && path == kRoot &&
      is(member, "GetApplicationBusAddress")) {
    if (fake.socketMode == "unsupported") {
      return sd_bus_reply_method_errorf(call, kUnknownMethod, "no own socket");
    }
    return sd_bus_reply_method_return(call, "s", fake.ownAddress.c_str());
  }
  const auto found = tree().find(path);
  if (found == tree().end() && path != "/o/wrongvariant") {
    return sd_bus_reply_method_errorf(
        call, "org.freedesktop.DBus.Error.UnknownObject", "no object %s",
        path.c_str());
  }
  const Node* node = found != tree().end() ? &found->second : nullptr;
  if (is(interface, "org.freedesktop.DBus.Properties") && is(member, "Get")) {
    return replyProperty(call, path, node, channel);
  }
  if (node == nullptr)
    return sd_bus_reply_method_errorf(call, kUnknownMethod, "none");
  if (is(interface, "org.a11y.atspi.Accessible")) {
    if (is(member, "GetRole"))
      return sd_bus_reply_method_return(call, "u", node->role);
    if (is(member, "GetState")) {
      return sd_bus_reply_method_return(call, "au", 2, node->states[0],
                                        node->states[1]);
    }
    if (is(member, "GetChildren")) return replyChildren(call, path, *node);
    if (is(member, "GetAttributes")) {
      if (path != "/o/field")
        return sd_bus_reply_method_return(call, "a{ss}", 0);
      return sd_bus_reply_method_return(call, "a{ss}", 2, "placeholder-text",
                                        "you@example.org", "toolkit",
                                        "FakeKit");
    }
    if (is(member, "GetRelationSet")) return replyRelations(call, path);
  }
  if (is(interface, "org.a11y.atspi.Text") && path == "/o/field") {
    return replyText(call, member);
  }
  if (is(interface, "org.a11y.atspi.Component") && is(member, "GetExtents")) {
    return sd_bus_reply_method_return(call, "(iiii)", 10, 20, 300, 40);
  }
  return sd_bus_reply_method_errorf(call, kUnknownMethod, "no %s", member);
}

// Everything that does not answer as a well-behaved application would.
int replyWrong(sd_bus_message* call) {
  const char* member = sd_bus_message_get_member(call);
  // Each answer has a type its caller does not expect.
  if (is(member, "GetText") || is(member, "GetApplicationBusAddress")) {
    return sd_bus_reply_method_return(call, "i", 7);
  }
  return sd_bus_reply_method_return(call, "s", "wrong");
}

int answerLater(sd_event_source* source, uint64_t, void* data) {
  auto* call = static_cast<sd_bus_message*>(data);
  answer(call, "bus");
  sd_bus_message_unref(call);
  sd_event_source_unref(source);
  return 0;
}

int handle(sd_bus_message* call, const char* channel) {
  if (!sd_bus_message_is_method_call(call, nullptr, nullptr)) return 0;
  const char* path = sd_bus_message_get_path(call);
  if (path == nullptr) return 0;
  const std::string where = path;
  if (sd_bus_message_is_method_call(call, "org.kestreye.Fake", "Received")) {
    const char* asked = nullptr;
    if (sd_bus_message_read(call, "s", &asked) < 0) return -EINVAL;
    sd_bus_reply_method_return(call, "u", fake.received[asked]);
    return 1;
  }
  ++fake.received[where];
  ++fake.received[""];
  if (sd_bus_message_is_method_call(call, "org.a11y.Bus", "GetAddress")) {
    if (fake.a11yAnswer == "silent") {
      fake.unanswered.push_back(sd_bus_message_ref(call));
    } else {
      sd_bus_reply_method_return(call, "s", fake.a11yAnswer.c_str());
    }
  } else if (where == "/o/silent") {
    fake.unanswered.push_back(sd_bus_message_ref(call));
  } else if (where == "/o/exit") {
    // What was answered before goes out; then the process is gone.
    sd_bus_flush(fake.bus);
    for (sd_bus* peer : fake.peers) sd_bus_flush(peer);
    _exit(0);
  } else if (where == "/o/error") {
    sd_bus_reply_method_errorf(call, "org.a11y.atspi.Error.Failed", "scripted");
  } else if (where == "/o/wrong") {
    replyWrong(call);
  } else if (where == "/o/slow") {
    sd_event_add_time_relative(fake.event, nullptr, CLOCK_MONOTONIC, 150'000, 0,
                               answerLater, sd_bus_message_ref(call));
  } else {
    answer(call, channel);
  }
  return 1;
}

int onBus(sd_bus_message* message, void*, sd_bus_error*) {
  return handle(message, "bus");
}
int onPeer(sd_bus_message* message, void*, sd_bus_error*) {
  return handle(message, "p2p");
}

int onConnection(sd_event_source*, int fd, uint32_t, void*) {
  const int peer = accept4(fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (peer < 0) return 0;
  if (fake.socketMode == "reject") {
    close(peer);
    return 0;
  }
  sd_bus* bus = nullptr;
  sd_id128_t id;
  if (sd_bus_new(&bus) < 0 || sd_id128_randomize(&id) < 0 ||
      sd_bus_set_fd(bus, peer, peer) < 0 || sd_bus_set_server(bus, 1, id) < 0 ||
      sd_bus_add_filter(bus, nullptr, onPeer, nullptr) < 0 ||
      sd_bus_start(bus) < 0 || sd_bus_attach_event(bus, fake.event, 0) < 0) {
    std::fprintf(stderr, "fake: cannot serve a connection\n");
    return 0;
  }
  fake.peers.push_back(bus);
  return 0;
}

// A Unix socket at `path`, listening or not.
int unixSocket(const std::string& path, bool listening) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  unlink(path.c_str());
  if (fd < 0 ||
      bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      (listening && listen(fd, 16) != 0)) {
    return -1;
  }
  return fd;
}

int fail(const char* what, int error) {
  std::fprintf(stderr, "fake: %s: %s\n", what, std::strerror(-error));
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4 && !(argc == 6 && is(argv[4], "--a11y-bus"))) {
    std::fprintf(stderr,
                 "usage: %s BUS_ADDRESS none|serve|refuse|unsupported FOLDER "
                 "[--a11y-bus ADDRESS|silent]\n",
                 argv[0]);
    return 2;
  }
  fake.socketMode = argv[2];
  const std::string folder = argv[3];
  if (argc == 6) fake.a11yAnswer = argv[5];
  int r = sd_event_new(&fake.event);
  if (r < 0) return fail("event loop", r);
  if (fake.socketMode == "exec") {
    fake.ownAddress =
        "unixexec:path=/usr/bin/touch,argv0=touch,argv1=" + folder +
        "/executed";
  }
  if (fake.socketMode == "serve" || fake.socketMode == "reject" ||
      fake.socketMode == "refuse" || fake.socketMode == "stall") {
    const bool serve = fake.socketMode != "refuse";
    const std::string path =
        folder + (serve ? "/app-" : "/refused-") + std::to_string(getpid());
    const int fd = unixSocket(path, serve);
    if (fd < 0) return fail("own socket", -errno);
    fake.ownAddress = "unix:path=" + path;
    // A stalled socket's connections wait in its backlog, unanswered.
    if (serve && fake.socketMode != "stall") {
      r = sd_event_add_io(fake.event, nullptr, fd, EPOLLIN, onConnection,
                          nullptr);
      if (r < 0) return fail("own socket", r);
    }
  }
  if ((r = sd_bus_new(&fake.bus)) < 0 ||
      (r = sd_bus_set_address(fake.bus, argv[1])) < 0 ||
      (r = sd_bus_set_bus_client(fake.bus, 1)) < 0 ||
      (r = sd_bus_add_filter(fake.bus, nullptr, onBus, nullptr)) < 0 ||
      (r = sd_bus_start(fake.bus)) < 0) {
    return fail("bus", r);
  }
  const char* unique = nullptr;
  if ((r = sd_bus_get_unique_name(fake.bus, &unique)) < 0)
    return fail("hello", r);
  fake.unique = unique;
  if (!fake.a11yAnswer.empty() &&
      (r = sd_bus_request_name(fake.bus, "org.a11y.Bus", 0)) < 0) {
    return fail("org.a11y.Bus", r);
  }
  if ((r = sd_bus_attach_event(fake.bus, fake.event, 0)) < 0)
    return fail("attach", r);
  std::printf("%s\n", unique);
  std::fflush(stdout);
  return sd_event_loop(fake.event) < 0 ? 1 : 0;
}
