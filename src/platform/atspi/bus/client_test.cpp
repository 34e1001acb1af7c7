#include "platform/atspi/bus/client.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <thread>

#include "platform/atspi/bus/test_bus.h"

namespace kestreye::atspi::bus {

namespace {

using std::chrono::milliseconds;
using testbed::FakeApp;
using testbed::optionsFor;
using testbed::PrivateBus;
using namespace std::chrono_literals;

// Room for a loaded machine (and the sanitizers) wherever a test checks that
// something ended by its deadline, in milliseconds.
constexpr int64_t kSlackMs = 2000;

Deadline in(Clock::duration duration) { return Clock::now() + duration; }

// How long ago the deadline passed, in milliseconds (negative: still ahead).
int64_t millisecondsPast(Deadline deadline) {
  return std::chrono::duration_cast<milliseconds>(Clock::now() - deadline)
      .count();
}

// How calls reach the fake: the socket it offers, and what comes of it.
struct RouteRow {
  const char* socket;  // what GetApplicationBusAddress answers (see the fake)
  bool ownSocket;      // whether the client then uses that socket
};

void PrintTo(const RouteRow& row, std::ostream* out) { *out << row.socket; }

std::string routeName(const ::testing::TestParamInfo<RouteRow>& info) {
  return info.param.socket;
}

// A private bus with the fake on it, offering the row's socket.
class BusClientTest : public ::testing::TestWithParam<RouteRow> {
 protected:
  void SetUp() override {
    ASSERT_FALSE(bus_.address().empty()) << "dbus-daemon did not start";
    app_.emplace(bus_, GetParam().socket);
    ASSERT_FALSE(app_->name().empty()) << "the fake did not start";
  }
  ObjectRef at(const std::string& path) const { return app_->ref(path); }
  uint32_t received(const std::string& path) const {
    return app_->received(path).value_or(UINT32_MAX);
  }

  PrivateBus bus_;
  std::optional<FakeApp> app_;
};

// Every typed call, read through whatever socket the fake offers: its own,
// or the bus when it offers none, when its socket refuses the connection or
// closes it unanswered, when its address is no Unix socket (never run what
// an application names), or when it does not know the question.
using BusClientRouteTest = BusClientTest;

TEST_P(BusClientRouteTest, EveryTypedCallReadsItsAnswer) {
  Client client(optionsFor(bus_));
  Batch batch(client, in(20s));
  const ObjectRef window = at("/o/window");
  const ObjectRef field = at("/o/field");
  const auto channel = batch.name(at("/o/channel"));
  const auto role = batch.role(field);
  const auto name = batch.name(window);
  const auto description = batch.description(field);
  const auto states = batch.states(field);
  const auto children = batch.children(window);
  const auto childCount = batch.childCount(window);
  const auto attributes = batch.attributes(field);
  const auto relations = batch.relations(field);
  const auto parent = batch.parent(field);
  const auto toolkit = batch.toolkitName(app_->name());
  const auto version = batch.toolkitVersion(app_->name());
  const auto text = batch.text(field, 0, -1);
  const auto part = batch.text(field, 4, 11);
  const auto caret = batch.caretOffset(field);
  const auto selections = batch.selectionCount(field);
  const auto selection = batch.selection(field, 0);
  const auto characters = batch.characterCount(field);
  const auto extents = batch.extents(field);
  const auto value = batch.currentValue(at("/o/slider"));
  batch.run();

  EXPECT_EQ(client.usesOwnSocket(app_->name()), GetParam().ownSocket);
  EXPECT_FALSE(std::filesystem::exists(bus_.folder() + "/executed"));
  ASSERT_TRUE(batch[channel].ok()) << batch[channel].status;
  EXPECT_EQ(*batch[channel].value, GetParam().ownSocket ? "p2p" : "bus");
  EXPECT_EQ(batch[role].value, 61u);
  EXPECT_EQ(batch[name].value, "Sign in");
  EXPECT_EQ(batch[description].value, "Your address");
  EXPECT_EQ(batch[states].value,
            (std::vector<uint32_t>{(1u << 7) | (1u << 11) | (1u << 12) |
                                       (1u << 24) | (1u << 25) | (1u << 30),
                                   0}));
  ASSERT_TRUE(batch[children].ok()) << batch[children].status;
  EXPECT_EQ(batch[children].value->refs,
            (std::vector<ObjectRef>{at("/o/label"), at("/o/field"),
                                    at("/o/slider"), at("/o/channel")}));
  EXPECT_FALSE(batch[children].value->truncated);
  EXPECT_EQ(batch[childCount].value, 4);
  EXPECT_EQ(batch[attributes].value,
            (Attributes{{"placeholder-text", "you@example.org"},
                        {"toolkit", "FakeKit"}}));
  EXPECT_EQ(batch[relations].value,
            (std::vector<Relation>{{2, {at("/o/label")}}}));
  EXPECT_EQ(batch[parent].value, window);
  EXPECT_EQ(batch[toolkit].value, "FakeKit");
  EXPECT_EQ(batch[version].value, "1.2.3");
  EXPECT_EQ(batch[text].value, "ann@example.org");
  EXPECT_EQ(batch[part].value, "example");
  EXPECT_EQ(batch[caret].value, 3);
  EXPECT_EQ(batch[selections].value, 1);
  ASSERT_TRUE(batch[selection].ok()) << batch[selection].status;
  EXPECT_EQ(batch[selection].value->start, 0);
  EXPECT_EQ(batch[selection].value->end, 3);
  EXPECT_EQ(batch[characters].value, 15);
  ASSERT_TRUE(batch[extents].ok()) << batch[extents].status;
  EXPECT_EQ(batch[extents].value->x, 10);
  EXPECT_EQ(batch[extents].value->height, 40);
  EXPECT_EQ(batch[value].value, 42.5);
  EXPECT_EQ(batch.answered(), 20u);
  // One question for the application's socket, then each call once.
  EXPECT_EQ(client.callsSent(), 21u);
  EXPECT_EQ(received(""), 21u);
}

INSTANTIATE_TEST_SUITE_P(
    Sockets, BusClientRouteTest,
    ::testing::Values(RouteRow{"none", false}, RouteRow{"serve", true},
                      RouteRow{"refuse", false}, RouteRow{"reject", false},
                      RouteRow{"exec", false}, RouteRow{"unsupported", false}),
    routeName);

// What goes wrong, through the bus and through the application's own socket.
using BusClientFaultTest = BusClientTest;

// All calls of a batch go out at once: the silent call comes first, and its
// limit runs out long before the batch's deadline, yet the calls after it
// are answered. The deadline ends the silent call, not its far longer limit.
TEST_P(BusClientFaultTest, ACallThatNeverAnswersCostsOnlyItsOwnLimit) {
  Client client(optionsFor(bus_));
  const Deadline deadline = in(1500ms);
  Batch batch(client, deadline);
  batch.setCallLimit(60s);
  const auto silent = batch.name(at("/o/silent"));
  const auto name = batch.name(at("/o/window"));
  const auto role = batch.role(at("/o/field"));
  const auto children = batch.children(at("/o/window"));
  batch.run();
  EXPECT_LT(millisecondsPast(deadline), kSlackMs);
  EXPECT_EQ(batch[silent].status, CallStatus::TimedOut);
  EXPECT_FALSE(batch[silent].value.has_value());
  EXPECT_EQ(batch[name].value, "Sign in");
  EXPECT_EQ(batch[role].value, 61u);
  ASSERT_TRUE(batch[children].ok()) << batch[children].status;
  EXPECT_EQ(batch[children].value->refs.size(), 4u);
  EXPECT_EQ(batch.answered(), 3u);

  // Once its own limit is short, the silent call is given up before the
  // calls sent after it are: they are still answered.
  client.beginScan();
  Batch second(client, in(20s));
  second.setCallLimit(300ms);
  const auto silentAgain = second.name(at("/o/silent"));
  second.setCallLimit(20s);
  const auto label = second.name(at("/o/label"));
  second.run();
  EXPECT_EQ(second[silentAgain].status, CallStatus::TimedOut);
  EXPECT_EQ(second[label].value, "Email");
  EXPECT_EQ(received("/o/silent"), 2u);
}

// The application answers the first call, holds two, and leaves on the
// last: the calls it held fail as soon as it is gone, not at their limits.
// (The last call goes out last: an application that leaves while the client
// is still writing to its socket takes the answers not yet read with it.)
TEST_P(BusClientFaultTest, AnApplicationThatLeavesMidBatchFailsTheRestAsGone) {
  Client client(optionsFor(bus_));
  Batch batch(client, in(60s));
  batch.setCallLimit(60s);
  const auto before = batch.name(at("/o/window"));
  const auto held = batch.name(at("/o/silent"));
  const auto heldChildren = batch.children(at("/o/silent"));
  const auto leaving = batch.name(at("/o/exit"));
  batch.run();
  EXPECT_EQ(batch[before].value, "Sign in") << batch[before].status;
  // Gone, not TimedOut: the client heard that the application left, and
  // did not wait out the calls' limits for it.
  EXPECT_EQ(batch[held].status, CallStatus::Gone);
  EXPECT_EQ(batch[heldChildren].status, CallStatus::Gone);
  EXPECT_FALSE(batch[heldChildren].value.has_value());
  EXPECT_EQ(batch[leaving].status, CallStatus::Gone);

  // The rest of the scan does not ask it again.
  const uint64_t sent = client.callsSent();
  Batch later(client, in(20s));
  const auto again = later.role(at("/o/window"));
  later.run();
  EXPECT_EQ(later[again].status, CallStatus::Gone);
  EXPECT_EQ(client.callsSent(), sent);
}

// dbus-daemon refuses a client more than 128 calls awaiting answers (the
// test bus keeps that default): a larger batch is answered whole all the
// same, each call once.
TEST_P(BusClientFaultTest, ABatchLargerThanTheDaemonAllowsIsAnsweredWhole) {
  constexpr size_t kCalls = 3 * MAX_CALLS_IN_FLIGHT + 1;
  Client client(optionsFor(bus_));
  Batch batch(client, in(60s));
  batch.setCallLimit(30s);
  std::vector<Ticket<uint32_t>> roles;
  for (size_t i = 0; i < kCalls; ++i)
    roles.push_back(batch.role(at("/o/label")));
  batch.run();
  EXPECT_EQ(batch.answered(), kCalls);
  for (const auto& role : roles) {
    ASSERT_EQ(batch[role].value, 29u)
        << batch[role].status << " " << batch[role].error;
  }
  EXPECT_EQ(received("/o/label"), kCalls);
  EXPECT_EQ(client.callsSent(), kCalls + 1);
}

// Answers that are no use are clear values, and cost the others nothing.
TEST_P(BusClientFaultTest, ErrorsWrongTypesAndHugeListsAreClearValues) {
  enum class Ask { Name, Role, Text, Children, Extents };
  struct Row {
    const char* path;
    Ask ask;
    CallStatus status;
    const char* error;
  };
  const Row rows[] = {
      // No object path: refused before anything is sent, and the calls
      // after it go out all the same.
      {"no path", Ask::Role, CallStatus::Error, "Invalid argument"},
      {"/o/error", Ask::Name, CallStatus::Error, "org.a11y.atspi.Error.Failed"},
      {"/o/error", Ask::Children, CallStatus::Error,
       "org.a11y.atspi.Error.Failed"},
      {"/o/nosuch", Ask::Role, CallStatus::Error,
       "org.freedesktop.DBus.Error.UnknownObject"},
      {"/o/wrong", Ask::Role, CallStatus::BadReply, "s"},
      {"/o/wrong", Ask::Name, CallStatus::BadReply, "s"},
      {"/o/wrong", Ask::Text, CallStatus::BadReply, "i"},
      {"/o/wrong", Ask::Children, CallStatus::BadReply, "s"},
      {"/o/wrong", Ask::Extents, CallStatus::BadReply, "s"},
      {"/o/wrongvariant", Ask::Name, CallStatus::BadReply, "v"},
  };
  Client client(optionsFor(bus_));
  Batch batch(client, in(30s));
  batch.setCallLimit(20s);
  std::vector<size_t> tickets;
  for (const Row& row : rows) {
    const ObjectRef target = at(row.path);
    switch (row.ask) {
      case Ask::Name:
        tickets.push_back(batch.name(target).index);
        break;
      case Ask::Role:
        tickets.push_back(batch.role(target).index);
        break;
      case Ask::Text:
        tickets.push_back(batch.text(target, 0, -1).index);
        break;
      case Ask::Children:
        tickets.push_back(batch.children(target).index);
        break;
      case Ask::Extents:
        tickets.push_back(batch.extents(target).index);
        break;
    }
  }
  const auto huge = batch.children(at("/o/huge"));
  const auto hugeCount = batch.childCount(at("/o/huge"));
  const auto fine = batch.name(at("/o/label"));
  batch.run();

  for (size_t i = 0; i < std::size(rows); ++i) {
    const auto [status, error] = std::visit(
        [](const auto& reply) { return std::pair(reply.status, reply.error); },
        // The replies of every kind share their status and error.
        [&]() -> Batch::AnyReply {
          switch (rows[i].ask) {
            case Ask::Name:
            case Ask::Text:
              return batch[Ticket<std::string>{tickets[i]}];
            case Ask::Role:
              return batch[Ticket<uint32_t>{tickets[i]}];
            case Ask::Children:
              return batch[Ticket<Children>{tickets[i]}];
            case Ask::Extents:
              return batch[Ticket<Extents>{tickets[i]}];
          }
          return Reply<uint32_t>{};
        }());
    EXPECT_EQ(status, rows[i].status) << "row " << i << ": " << rows[i].path;
    EXPECT_EQ(error, rows[i].error) << "row " << i << ": " << rows[i].path;
  }
  ASSERT_TRUE(batch[huge].ok()) << batch[huge].status;
  EXPECT_EQ(batch[huge].value->refs.size(), MAX_LISTED_CHILDREN);
  EXPECT_TRUE(batch[huge].value->truncated);
  EXPECT_EQ(batch[huge].value->refs.back(), at("/o/c"));
  EXPECT_EQ(batch[hugeCount].value, 1'000'000);
  EXPECT_EQ(batch[fine].value, "Email");

  // None of that is a hang: the application is asked again in the scan.
  Batch later(client, in(20s));
  const auto role = later.role(at("/o/window"));
  later.run();
  EXPECT_EQ(later[role].value, 23u);
}

// Once an application let a call run out its limit, the rest of the scan
// sends it nothing; a slow answer within the limit is no hang.
TEST_P(BusClientFaultTest, AHungApplicationIsNotAskedAgainInTheScan) {
  struct Row {
    const char* path;
    milliseconds limit;
    CallStatus first;
    bool hung;
  };
  const Row rows[] = {{"/o/silent", 300ms, CallStatus::TimedOut, true},
                      {"/o/slow", 20s, CallStatus::Ok, false}};
  uint32_t windowCalls = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    Client client(optionsFor(bus_));
    Batch first(client, in(30s));
    first.setCallLimit(row.limit);
    const auto asked = first.name(at(row.path));
    first.run();
    EXPECT_EQ(first[asked].status, row.first);

    const uint64_t sent = client.callsSent();
    Batch second(client, in(30s));
    const auto role = second.role(at("/o/window"));
    const auto name = second.name(at("/o/label"));
    second.run();
    if (row.hung) {
      EXPECT_EQ(second[role].status, CallStatus::NotSent);
      EXPECT_EQ(second[name].status, CallStatus::NotSent);
      EXPECT_EQ(client.callsSent(), sent);
      EXPECT_EQ(received("/o/window"), windowCalls);
    } else {
      EXPECT_EQ(second[role].value, 23u);
      EXPECT_EQ(second[name].value, "Email");
      EXPECT_EQ(client.callsSent(), sent + 2);
      EXPECT_EQ(received("/o/window"), ++windowCalls);
    }

    // The next scan asks it again.
    client.beginScan();
    Batch next(client, in(30s));
    const auto again = next.role(at("/o/window"));
    next.run();
    EXPECT_EQ(next[again].value, 23u);
    ++windowCalls;
  }
}

// An application whose own socket takes the connection but never answers
// the handshake hangs like one that never answers a call: once its limit
// has run out, nothing more is sent to it in the scan.
TEST(BusClientHangTest, AnOwnSocketThatNeverAnswersHangsItsApplication) {
  PrivateBus bus;
  ASSERT_FALSE(bus.address().empty()) << "dbus-daemon did not start";
  FakeApp app(bus, "stall");
  ASSERT_FALSE(app.name().empty());
  Client client(optionsFor(bus));
  Batch batch(client, in(30s));
  batch.setCallLimit(300ms);
  const auto role = batch.role(app.ref("/o/window"));
  batch.run();
  EXPECT_EQ(batch[role].status, CallStatus::NotSent);
  EXPECT_FALSE(client.usesOwnSocket(app.name()));
  // The question for its socket, and nothing after it.
  EXPECT_EQ(client.callsSent(), 1u);
  Batch later(client, in(30s));
  const auto name = later.name(app.ref("/o/label"));
  later.run();
  EXPECT_EQ(later[name].status, CallStatus::NotSent);
  EXPECT_EQ(client.callsSent(), 1u);
  EXPECT_EQ(app.received(""), 1u);
}

// A stopped process answers nothing, on its own socket or on the bus: its
// calls cost one limit together, the other application's are answered, and
// the rest of the scan sends the stopped one nothing.
TEST(BusClientHangTest, AStoppedApplicationCostsOneLimitAndNothingAfter) {
  PrivateBus bus;
  ASSERT_FALSE(bus.address().empty()) << "dbus-daemon did not start";
  FakeApp stopped(bus, "serve");
  FakeApp live(bus, "none");
  ASSERT_FALSE(stopped.name().empty());
  ASSERT_FALSE(live.name().empty());
  Client client(optionsFor(bus));
  Batch first(client, in(30s));
  const auto reached = first.role(stopped.ref("/o/window"));
  first.run();
  ASSERT_TRUE(first[reached].ok()) << first[reached].status;
  ASSERT_TRUE(client.usesOwnSocket(stopped.name()));

  ASSERT_EQ(kill(stopped.pid(), SIGSTOP), 0);
  Batch batch(client, in(30s));
  batch.setCallLimit(300ms);
  const auto role = batch.role(stopped.ref("/o/window"));
  const auto name = batch.name(stopped.ref("/o/label"));
  const auto otherRole = batch.role(live.ref("/o/window"));
  const auto otherName = batch.name(live.ref("/o/label"));
  batch.run();
  EXPECT_EQ(batch[role].status, CallStatus::TimedOut);
  EXPECT_EQ(batch[name].status, CallStatus::TimedOut);
  EXPECT_EQ(batch[otherRole].value, 23u);
  EXPECT_EQ(batch[otherName].value, "Email");

  const uint64_t sent = client.callsSent();
  Batch later(client, in(30s));
  const auto again = later.states(stopped.ref("/o/field"));
  const auto other = later.role(live.ref("/o/field"));
  later.run();
  EXPECT_EQ(later[again].status, CallStatus::NotSent);
  EXPECT_EQ(later[other].value, 61u);
  EXPECT_EQ(client.callsSent(), sent + 1);
  kill(stopped.pid(), SIGCONT);
}

INSTANTIATE_TEST_SUITE_P(Sockets, BusClientFaultTest,
                         ::testing::Values(RouteRow{"none", false},
                                           RouteRow{"serve", true}),
                         routeName);

// A listening socket that never answers: connections wait in its backlog.
class SilentSocket {
 public:
  SilentSocket() {
    char folder[] = "/tmp/kestreye-silent-XXXXXX";
    folder_ = mkdtemp(folder);
    path_ = folder_ + "/bus";
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address),
              0);
    EXPECT_EQ(listen(fd_, 8), 0);
  }
  ~SilentSocket() {
    close(fd_);
    unlink(path_.c_str());
    rmdir(folder_.c_str());
  }
  std::string address() const { return "unix:path=" + path_; }
  /// Whether a client has connected.
  bool connectedTo() const {
    pollfd entry{fd_, POLLIN, 0};
    return poll(&entry, 1, 0) > 0;
  }

 private:
  std::string folder_;
  std::string path_;
  int fd_ = -1;
};

TEST(BusClientOpenTest, NothingConnectsUntilACallIsSent) {
  SilentSocket bus;
  ClientOptions options;
  options.accessibilityBusAddress = bus.address();
  options.sessionBusAddress = bus.address();
  {
    Client idle(options);
    idle.beginScan();
    Batch empty(idle, in(1s));
    empty.run();
    EXPECT_FALSE(idle.connected());
  }
  EXPECT_FALSE(bus.connectedTo());

  // A bus that never finishes the handshake is no hung application: the
  // call fails as NoBus by its deadline, and so does the rest of the scan.
  Client client(options);
  const Deadline deadline = in(300ms);
  Batch batch(client, deadline);
  const auto role = batch.role(ObjectRef{":1.1", "/o/window"});
  batch.run();
  EXPECT_LT(millisecondsPast(deadline), kSlackMs);
  EXPECT_TRUE(bus.connectedTo());
  EXPECT_EQ(batch[role].status, CallStatus::NoBus);
  const uint64_t sent = client.callsSent();
  Batch again(client, in(10s));
  const auto name = again.name(ObjectRef{":1.1", "/o/window"});
  again.run();
  EXPECT_EQ(again[name].status, CallStatus::NoBus);
  EXPECT_EQ(client.callsSent(), sent);
}

// Where the client finds the accessibility bus: AT_SPI_BUS_ADDRESS, else
// org.a11y.Bus on the session bus, else nowhere.
TEST(BusClientOpenTest, FindsTheBusByItsAddressOrThroughTheSessionBus) {
  PrivateBus bus;
  ASSERT_FALSE(bus.address().empty()) << "dbus-daemon did not start";
  struct Row {
    const char* about;
    const char* a11yAnswer;  // what the fake's org.a11y.Bus answers
    bool a11yAddress;        // AT_SPI_BUS_ADDRESS names the bus
    bool sessionAddress;     // DBUS_SESSION_BUS_ADDRESS names the bus
    CallStatus status;
  };
  const Row rows[] = {
      {"AT_SPI_BUS_ADDRESS first", "unix:path=/nonexistent", true, true,
       CallStatus::Ok},
      {"through the session bus", "", false, true, CallStatus::Ok},
      {"no address at all", "", false, false, CallStatus::NoBus},
      {"a session bus that never answers", "silent", false, true,
       CallStatus::NoBus},
      {"an address of no bus", "unix:path=/nonexistent", false, true,
       CallStatus::NoBus},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.about);
    // "" stands for the private bus's own address.
    const std::string answer =
        std::string(row.a11yAnswer).empty() ? bus.address() : row.a11yAnswer;
    FakeApp app(bus, "none", {"--a11y-bus", answer});
    ASSERT_FALSE(app.name().empty());
    ClientOptions options;
    if (row.a11yAddress) options.accessibilityBusAddress = bus.address();
    if (row.sessionAddress) options.sessionBusAddress = bus.address();
    Client client(options);
    const Deadline deadline = in(1s);
    Batch batch(client, deadline);
    const auto name = batch.name(app.ref("/o/window"));
    batch.run();
    EXPECT_LT(millisecondsPast(deadline), kSlackMs);
    EXPECT_EQ(batch[name].status, row.status);
    if (!row.sessionAddress) {
      EXPECT_EQ(client.callsSent(), 0u);
    }
    EXPECT_EQ(client.connected(), row.status == CallStatus::Ok);
  }
}

// A bus whose daemon ends while a call waits: no application is to blame.
TEST(BusClientOpenTest, ABusThatEndsMidBatchFailsItsCallsAsNoBus) {
  PrivateBus bus;
  ASSERT_FALSE(bus.address().empty()) << "dbus-daemon did not start";
  FakeApp app(bus, "none");
  ASSERT_FALSE(app.name().empty());
  Client client(optionsFor(bus));
  Batch first(client, in(20s));
  const auto role = first.role(app.ref("/o/window"));
  first.run();
  ASSERT_TRUE(first[role].ok()) << first[role].status;

  Batch batch(client, in(60s));
  batch.setCallLimit(30s);
  const auto held = batch.name(app.ref("/o/silent"));
  std::thread stopper([&] {
    std::this_thread::sleep_for(200ms);
    bus.stop();
  });
  batch.run();
  stopper.join();
  EXPECT_EQ(batch[held].status, CallStatus::NoBus);

  const uint64_t sent = client.callsSent();
  Batch later(client, in(20s));
  const auto again = later.role(app.ref("/o/window"));
  later.run();
  EXPECT_EQ(later[again].status, CallStatus::NoBus);
  EXPECT_EQ(client.callsSent(), sent);
}

TEST(BusClientOpenTest, OptionsComeFromTheEnvironment) {
  setenv("AT_SPI_BUS_ADDRESS", "unix:path=/a", 1);
  setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/s", 1);
  ClientOptions options = ClientOptions::fromEnvironment();
  EXPECT_EQ(options.accessibilityBusAddress, "unix:path=/a");
  EXPECT_EQ(options.sessionBusAddress, "unix:path=/s");
  EXPECT_EQ(options.callLimit, DEFAULT_CALL_LIMIT);
  unsetenv("AT_SPI_BUS_ADDRESS");
  unsetenv("DBUS_SESSION_BUS_ADDRESS");
  options = ClientOptions::fromEnvironment();
  EXPECT_EQ(options.accessibilityBusAddress, "");
  EXPECT_EQ(options.sessionBusAddress, "");
}

}  // namespace
}  // namespace kestreye::atspi::bus
