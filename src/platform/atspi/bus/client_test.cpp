#include "platform/atspi/bus/client.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <filesystem>
#include <functional>
#include <thread>
#include <tuple>
#include <type_traits>

#include "platform/atspi/bus/test_bus.h"
#include "platform/atspi/test_socket.h"

namespace kestreye::atspi::bus {

// Replies' values compared and printed, in the expectations below.
bool operator==(const Children& a, const Children& b) {
  return a.refs == b.refs && a.truncated == b.truncated;
}
bool operator==(const TextRange& a, const TextRange& b) {
  return a.start == b.start && a.end == b.end;
}
bool operator==(const Extents& a, const Extents& b) {
  return std::tie(a.x, a.y, a.width, a.height) ==
         std::tie(b.x, b.y, b.width, b.height);
}
bool operator==(const CacheItem& a, const CacheItem& b) {
  return std::tie(a.ref, a.parent, a.index, a.childCount, a.text, a.name,
                  a.role, a.description, a.states) ==
         std::tie(b.ref, b.parent, b.index, b.childCount, b.text, b.name,
                  b.role, b.description, b.states);
}
void PrintTo(const ObjectRef& ref, std::ostream* out) {
  *out << ref.bus << ref.path;
}
void PrintTo(const CacheItem& item, std::ostream* out) {
  *out << item.ref.path << " in " << item.parent.path << " #" << item.index
       << " (" << item.childCount << (item.text ? ", text) " : ") ")
       << item.role << " '" << item.name << "' '" << item.description << "'";
  for (uint32_t word : item.states) *out << " " << word;
}

namespace {

using testbed::FakeApp;
using testbed::once;
using testbed::optionsFor;
using testbed::PrivateBus;
using testbed::throughOwnSocket;
using namespace std::chrono_literals;

// Room for a loaded machine (and the sanitizers) wherever a test checks that
// something ended by its deadline, in milliseconds.
constexpr int64_t kSlackMs = 2000;

Deadline in(Clock::duration duration) { return Clock::now() + duration; }

// How long ago the deadline passed, in milliseconds (negative: still ahead).
int64_t millisecondsPast(Deadline deadline) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() -
                                                               deadline)
      .count();
}

// What each call of a batch must end as, checked once the batch has run.
class Expected {
 public:
  explicit Expected(Batch& batch) : batch_(batch) {}
  // The call of `ticket` must be answered with `value`.
  template <class T>
  void answer(const std::string& what, Ticket<T> ticket,
              std::type_identity_t<T> value) {
    ++answers_;
    checks_.push_back([=, this] {
      const Reply<T>& reply = batch_[ticket];
      EXPECT_EQ(reply.status, CallStatus::Ok) << what << ": " << reply.error;
      EXPECT_EQ(reply.value, value) << what;
    });
  }
  // The call of `ticket` must end with `status`, no value, and `error`
  // unless that is null.
  template <class T>
  void failure(const std::string& what, Ticket<T> ticket, CallStatus status,
               const char* error = nullptr) {
    checks_.push_back([=, this] {
      const Reply<T>& reply = batch_[ticket];
      EXPECT_EQ(reply.status, status) << what << ": " << reply.error;
      if (error != nullptr) {
        EXPECT_EQ(reply.error, error) << what;
      }
      EXPECT_FALSE(reply.value.has_value()) << what;
    });
  }
  void check() const {
    for (const auto& check : checks_) check();
  }
  size_t answers() const { return answers_; }
  size_t calls() const { return checks_.size(); }

 private:
  Batch& batch_;
  size_t answers_ = 0;
  std::vector<std::function<void()>> checks_;
};

// The call `call` of the test's `batch` must be answered with the value, or
// fail with the status (and error) given; `expect` names it in failures.
#define ANSWERS(call, ...) expect.answer(#call, batch.call, __VA_ARGS__)
#define FAILS(call, ...) expect.failure(#call, batch.call, __VA_ARGS__)

// A private bus with the fake on it, offering the socket the parameter names
// (see the fake); the client uses it only where the fake serves it.
class BusClientTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    app_.emplace(bus_, GetParam());
    ASSERT_FALSE(app_->name().empty()) << "the bus or the fake did not start";
  }
  bool ownSocket() const { return GetParam() == "serve"; }
  ObjectRef at(const std::string& path) const { return app_->ref(path); }

  PrivateBus bus_;
  std::optional<FakeApp> app_;
};

// Every call, through whatever socket the fake offers: its own, or the bus
// when it offers none, when its socket refuses the connection or closes it
// unanswered, when its address is no Unix socket (never run what an
// application names), or when it does not know the question. Each typed
// call reads its answer; errors, answers of the wrong type and lists longer
// than the bound are clear values that cost the other calls nothing; and a
// batch larger than the daemon lets one client wait for (128 calls) is
// answered whole.
using BusClientRouteTest = BusClientTest;

TEST_P(BusClientRouteTest, EveryCallEndsAsItsAnswerSays) {
  Client client(optionsFor(bus_));
  Batch batch(client, in(30s));
  batch.setCallLimit(20s);
  Expected expect(batch);
  const std::string app = app_->name();
  const ObjectRef window = at("/o/window");
  const ObjectRef field = at("/o/field");
  const ObjectRef label = at("/o/label");
  // The first batch goes through the bus while the handshake goes on.
  ANSWERS(name(at("/o/channel")), "bus");
  ANSWERS(role(field), 61u);
  ANSWERS(name(window), "Sign in");
  ANSWERS(description(field), "Your address");
  ANSWERS(labels(window), {"Sign in", "Your address"});
  ANSWERS(states(field), {0x2001080u, 1u});
  ANSWERS(children(window), {{label, field, at("/o/channel")}, false});
  ANSWERS(childCount(window), 3);
  ANSWERS(attributes(field),
          {{"placeholder-text", "you@example.org"}, {"toolkit", "FakeKit"}});
  ANSWERS(relations(field), {{2, {label}}});
  ANSWERS(parent(field), window);
  ANSWERS(toolkitName(app), "FakeKit");
  ANSWERS(toolkitVersion(app), "1.2.3");
  ANSWERS(text(field, 0, -1), "ann@example.org");
  ANSWERS(text(field, 4, 11), "example");
  ANSWERS(caretOffset(field), 3);
  ANSWERS(selectionCount(field), 1);
  ANSWERS(selection(field, 0), {0, 3});
  ANSWERS(characterCount(field), 15);
  ANSWERS(extents(field), {10, 20, 300, 40});
  ANSWERS(currentValue(field), 42.5);
  ANSWERS(childAt(window, 1), field);
  ANSWERS(selectedChildCount(window), 2);
  ANSWERS(selectedChild(window, 1), field);
  ANSWERS(cellAt(window, 2, 5), at("/o/cell_2_5"));
  // The elements that hold every state asked, as many as asked.
  ANSWERS(matchingStates(window, {0x1000u, 1u}, 2), {{label, field}, false});
  ANSWERS(matchingStates(window, {0x1000u, 2u}, 0), {});
  // Those that hold any of the states: FOCUSED, not SELECTED.
  ANSWERS(matchingStates(window, {0x801000u}, 0, true),
          {{label, field, at("/o/channel")}, false});
  ANSWERS(matchingStates(window, {0x800000u}, 0, true), {});
  ANSWERS(processId(app), static_cast<uint32_t>(app_->pid()));
  // The cache: each field of each element, and no more elements than the
  // bound.
  const auto item = [&](const char* path, const char* parent, int32_t index,
                        int32_t children, bool text, const char* name,
                        uint32_t role,
                        std::vector<uint32_t> states = {0x2001080u, 1u}) {
    return CacheItem(at(path), at(parent), index, children, text, name, role,
                     "Your address", std::move(states));
  };
  std::vector cache(MAX_LISTED_CHILDREN,
                    item("/o/c", "/o/huge", 0, 0, false, "", 0));
  cache[0] = item("/o/window", ROOT_PATH, 0, 3, false, "Sign in", 23);
  cache[1] = item("/o/label", "/o/window", 0, 0, false, "Email", 29);
  cache[2] = item("/o/field", "/o/window", 1, 0, true, "", 61);
  cache[3] = item("/o/signup", ROOT_PATH, 1, 6, false, "Sign up", 23);
  cache[4] = item("/o/name", "/o/signup", 0, 0, true, "Name", 29);
  cache[5] = item("/o/entry", "/o/signup", 1, 0, true, "", 61);
  cache[6] = item("/o/secret", "/o/signup", 2, 0, true, "Password", 40);
  cache[7] = item("/o/send", "/o/signup", 3, 0, false, "Send", 43);
  cache[8] = item("/o/terms", "/o/signup", 4, 1, true, "", 73);
  cache[9] = item("/o/link", "/o/terms", 0, 0, true, "terms", 88);
  cache[10] =
      item("/o/hidden", ROOT_PATH, 2, 2, false, "Hidden", 23, {0x2000000u, 0u});
  cache[11] =
      item("/o/editor", "/o/hidden", 0, 0, true, "Editor", 61, {0x1080u, 0u});
  cache[12] = item("/o/preload", "/o/hidden", 1, 1, false, "", 28, {0u, 0u});
  cache[13] = item("/o/page", "/o/signup", 5, 1, false, "GtkStackPage", 39,
                   {0x42000000u, 0u});
  ANSWERS(cacheItems(app), cache);
  // A list longer than the bound is cut there.
  ANSWERS(children(at("/o/huge")),
          {std::vector(MAX_LISTED_CHILDREN, at("/o/c")), true});
  // No object path: refused before anything is sent.
  FAILS(role(at("no path")), CallStatus::Error, "Invalid argument");
  FAILS(name(at("/o/error")), CallStatus::Error, "org.a11y.atspi.Error.Failed");
  FAILS(role(at("/o/nosuch")), CallStatus::Error,
        "org.freedesktop.DBus.Error.UnknownObject");
  const ObjectRef wrong = at("/o/wrong");
  FAILS(role(wrong), CallStatus::BadReply, "s");
  FAILS(name(wrong), CallStatus::BadReply, "v");  // a variant of a boolean
  FAILS(labels(wrong), CallStatus::BadReply, "s");
  FAILS(text(wrong, 0, -1), CallStatus::BadReply, "i");
  FAILS(children(wrong), CallStatus::BadReply, "s");
  FAILS(extents(wrong), CallStatus::BadReply, "s");
  FAILS(childAt(wrong, 0), CallStatus::BadReply, "s");
  // An element without the interface asked (only window is a table), and
  // an application that left the bus.
  FAILS(cellAt(field, 0, 0), CallStatus::Error,
        "org.freedesktop.DBus.Error.UnknownMethod");
  FAILS(processId(":1.9999"), CallStatus::Gone,
        "org.freedesktop.DBus.Error.NameHasNoOwner");
  for (size_t i = 0; i < 3 * MAX_CALLS_IN_FLIGHT + 1; ++i)
    ANSWERS(role(label), 29u);
  batch.run();
  expect.check();

  EXPECT_FALSE(std::filesystem::exists(bus_.folder() + "/executed"));
  EXPECT_EQ(batch.answered(), expect.answers());
  // The question for the application's socket, then each call once but the
  // one refused.
  EXPECT_EQ(client.callsSent(), expect.calls());
  // Once its handshake has ended, calls go through its own socket.
  EXPECT_EQ(throughOwnSocket(client, *app_), ownSocket());
  EXPECT_EQ(once(client, &Batch::name, at("/o/channel")).value,
            ownSocket() ? "p2p" : "bus");
  // None of that is a hang: the application is asked again in the scan, and
  // the bus daemon, which said that another application has left.
  EXPECT_EQ(once(client, &Batch::role, window).value, 23u);
  EXPECT_EQ(once(client, &Batch::processId, app).value,
            static_cast<uint32_t>(app_->pid()));
}

INSTANTIATE_TEST_SUITE_P(Sockets, BusClientRouteTest,
                         ::testing::Values("none", "serve", "refuse", "reject",
                                           "exec", "unsupported"),
                         [](const auto& info) { return info.param; });

// What goes wrong, through the bus and through the application's own socket.
using BusClientFaultTest = BusClientTest;

// All calls of a batch go out at once: the silent call comes first, yet the
// calls after it are answered, and the batch's deadline ends it long before
// its own limit would. Its application then counts as hung: the rest of the
// scan sends it nothing, and the next scan asks it again.
TEST_P(BusClientFaultTest,
       ACallThatNeverAnswersCostsOnlyItsLimitAndHangsItsApp) {
  Client client(optionsFor(bus_));
  ASSERT_EQ(throughOwnSocket(client, *app_), ownSocket());
  const Deadline deadline = in(1s);
  Batch batch(client, deadline);
  batch.setCallLimit(60s);
  Expected expect(batch);
  FAILS(name(at("/o/silent")), CallStatus::TimedOut);
  ANSWERS(name(at("/o/window")), "Sign in");
  ANSWERS(name(at("/o/slow")), "slow");
  batch.run();
  expect.check();
  EXPECT_LT(millisecondsPast(deadline), kSlackMs);
  EXPECT_TRUE(client.hung(app_->name()));
  const uint64_t sent = client.callsSent();
  EXPECT_EQ(once(client, &Batch::role, at("/o/window")).status,
            CallStatus::NotSent);
  EXPECT_EQ(client.callsSent(), sent);

  // Given up at its own short limit, the silent call leaves the calls sent
  // after it to their answers.
  client.beginScan();
  Batch second(client, in(20s));
  second.setCallLimit(100ms);
  const auto silentAgain = second.name(at("/o/silent"));
  second.setCallLimit(20s);
  const auto slowAgain = second.name(at("/o/slow"));
  second.run();
  EXPECT_EQ(second[silentAgain].status, CallStatus::TimedOut);
  EXPECT_EQ(second[slowAgain].value, "slow");

  // A slow answer within the limit is no hang.
  client.beginScan();
  EXPECT_EQ(once(client, &Batch::name, at("/o/slow")).value, "slow");
  EXPECT_FALSE(client.hung(app_->name()));
  EXPECT_EQ(once(client, &Batch::role, at("/o/window")).value, 23u);
}

// A text to its end may be megabytes: its call, and what is asked of its
// application after it in the batch (which it answers after that), have
// twice the limit, and a slow answer within that is no hang. A part of the
// text asked before has the limit.
TEST(BusClientTextTest, AWholeTextHasTwiceTheLimit) {
  PrivateBus bus;
  FakeApp app(bus, "none", {"--late", "150"});  // the root answers late
  ASSERT_FALSE(app.name().empty()) << "the bus or the fake did not start";
  Client client(optionsFor(bus));
  // Read through the bus, without the question for its socket.
  client.setOwnSocket(app.name(), [] { return std::string(); });
  Batch batch(client, in(20s));
  batch.setCallLimit(100ms);
  const auto part = batch.text(app.ref(ROOT_PATH), 0, 3);
  const auto whole = batch.text(app.ref(ROOT_PATH), 0, -1);
  const auto after = batch.text(app.ref(ROOT_PATH), 4, 7);
  batch.run();
  EXPECT_EQ(batch[part].status, CallStatus::TimedOut);
  EXPECT_EQ(batch[whole].value, "ann@example.org") << batch[whole].status;
  EXPECT_EQ(batch[after].value, "exa") << batch[after].status;
}

// The application answers the first call, holds two, and leaves on the
// last: the calls it held fail as soon as it is gone (Gone, not TimedOut),
// not at their limits, and the rest of the scan does not ask it again. (The
// last call goes out last: an application that leaves while the client is
// still writing to its socket takes the answers not yet read with it.)
TEST_P(BusClientFaultTest, AnApplicationThatLeavesMidBatchFailsTheRestAsGone) {
  Client client(optionsFor(bus_));
  ASSERT_EQ(throughOwnSocket(client, *app_), ownSocket());
  Batch batch(client, in(60s));
  batch.setCallLimit(60s);
  Expected expect(batch);
  ANSWERS(name(at("/o/window")), "Sign in");
  FAILS(name(at("/o/silent")), CallStatus::Gone);
  FAILS(children(at("/o/silent")), CallStatus::Gone);
  FAILS(name(at("/o/exit")), CallStatus::Gone);
  batch.run();
  expect.check();

  const uint64_t sent = client.callsSent();
  EXPECT_EQ(once(client, &Batch::role, at("/o/window")).status,
            CallStatus::Gone);
  EXPECT_EQ(client.callsSent(), sent);
}

INSTANTIATE_TEST_SUITE_P(Sockets, BusClientFaultTest,
                         ::testing::Values("none", "serve"),
                         [](const auto& info) { return info.param; });

// How calls go out and answers come back, through the bus and through the
// application's own socket.
using BusClientSendTest = BusClientTest;

// A batch's calls to an application's own socket go out in a few writes,
// not one each: the first at once, then twice as many as the write before,
// and the rest at the batch's end. Through the bus, each goes out at once.
TEST_P(BusClientSendTest, ABatchsCallsGoOutTogether) {
  Client client(optionsFor(bus_));
  ASSERT_EQ(throughOwnSocket(client, *app_), ownSocket());
  Batch batch(client, in(20s));
  std::vector<Ticket<uint32_t>> roles;
  for (int i = 0; i < 100; ++i) roles.push_back(batch.role(at("/o/window")));
  const uint64_t before = client.writesMade();
  batch.run();
  // 1, 2, 4, ..., 32 and 37.
  EXPECT_EQ(client.writesMade(), before + (ownSocket() ? 7 : 100));
  for (const Ticket<uint32_t>& role : roles) {
    EXPECT_EQ(batch[role].value, 23u) << batch[role].status;
  }
}

// An answer that comes after its call has run out its limit, while a later
// batch waits, answers none of that batch's calls (a role where a name is
// awaited would read as a bad answer).
TEST_P(BusClientSendTest, AnAnswerAfterItsCallEndedIsDropped) {
  Client client(optionsFor(bus_));
  ASSERT_EQ(throughOwnSocket(client, *app_), ownSocket());
  {
    Batch first(client, in(20s));
    first.setCallLimit(50ms);
    const auto late = first.role(at("/o/slow"));
    first.run();
    ASSERT_EQ(first[late].status, CallStatus::TimedOut);
  }
  client.beginScan();
  Batch second(client, in(20s));
  second.setCallLimit(20s);
  const auto name = second.name(at("/o/slow"));
  const auto role = second.role(at("/o/window"));
  second.run();
  EXPECT_EQ(second[name].value, "slow") << second[name].status;
  EXPECT_EQ(second[role].value, 23u) << second[role].status;
}

INSTANTIATE_TEST_SUITE_P(Sockets, BusClientSendTest,
                         ::testing::Values("none", "serve"),
                         [](const auto& info) { return info.param; });

// An application whose own socket takes the connection and never finishes
// the handshake is read through the bus meanwhile, and then for good; one
// stopped after its socket was opened costs one call limit, another
// application's calls are answered, and the rest of the scan sends the
// stopped one nothing.
TEST(BusClientHangTest, ApplicationsThatAnswerNothingAreNotAskedAgain) {
  PrivateBus bus;
  FakeApp stalled(bus, "stall");
  FakeApp stopped(bus, "serve");
  FakeApp live(bus, "none");
  ASSERT_FALSE(stalled.name().empty() || stopped.name().empty() ||
               live.name().empty())
      << "the bus or a fake did not start";
  Client client(optionsFor(bus));
  ASSERT_TRUE(throughOwnSocket(client, stopped));
  ASSERT_EQ(kill(stopped.pid(), SIGSTOP), 0);

  Batch batch(client, in(30s));
  batch.setCallLimit(300ms);
  Expected expect(batch);
  ANSWERS(role(stalled.ref("/o/window")), 23u);
  FAILS(role(stopped.ref("/o/window")), CallStatus::TimedOut);
  FAILS(name(stopped.ref("/o/label")), CallStatus::TimedOut);
  ANSWERS(role(live.ref("/o/window")), 23u);
  batch.run();
  expect.check();
  EXPECT_FALSE(client.hung(stalled.name()));
  const uint64_t sent = client.callsSent();
  EXPECT_EQ(once(client, &Batch::states, stopped.ref("/o/field")).status,
            CallStatus::NotSent);
  EXPECT_EQ(client.callsSent(), sent);
  EXPECT_FALSE(throughOwnSocket(client, stalled));
  EXPECT_EQ(once(client, &Batch::role, stalled.ref("/o/window")).value, 23u);
}

// An application that serves a socket of its own, and that socket's address,
// asked as a scan asks it: from a connection that leaves the bus once
// answered.
class OwnSocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(app_.name().empty()) << "the bus or the fake did not start";
    Batch wake(client_, in(30s));
    wake.setAskerLeaves(true);
    const Ticket<std::string> socket = wake.applicationBusAddress(app_.name());
    wake.run();
    ASSERT_TRUE(wake[socket].ok()) << wake[socket].status;
    socket_ = *wake[socket].value;
  }

  PrivateBus bus_;
  FakeApp app_{bus_, "serve"};
  Client client_{optionsFor(bus_)};
  std::string socket_;
};

// at-spi2-atk takes whoever asks for its socket through the bus for a client
// of its bridge: such a question comes from a connection that has left the
// bus, as the daemon knows, when its batch ends.
TEST_F(OwnSocketTest, TheAskerHasLeftTheBusWhenItsBatchEnds) {
  // Read through that socket: the question is not asked again.
  client_.setOwnSocket(app_.name(), [&] { return socket_; });
  const auto asker = once(client_, &Batch::description, app_.ref("/o/channel"));
  ASSERT_TRUE(asker.ok() && !asker.value->empty()) << asker.status;
  EXPECT_EQ(once(client_, &Batch::processId, *asker.value).status,
            CallStatus::Gone)
      << *asker.value << " is still on the bus";
}

// An application whose socket is looked for first, and not found, is asked
// for it as above; the calls then go through the socket.
TEST(BusClientAskerTest, ASocketNotFoundIsAskedForByAConnectionThatLeaves) {
  PrivateBus bus;
  FakeApp app(bus, "serve");
  ASSERT_FALSE(app.name().empty()) << "the bus or the fake did not start";
  Client client(optionsFor(bus));
  client.setOwnSocket(
      app.name(), [] { return std::string(); }, true);
  const auto asker = once(client, &Batch::description, app.ref("/o/channel"));
  ASSERT_TRUE(asker.ok() && !asker.value->empty()) << asker.status;
  EXPECT_TRUE(throughOwnSocket(client, app));
  EXPECT_EQ(once(client, &Batch::processId, *asker.value).status,
            CallStatus::Gone)
      << *asker.value << " is still on the bus";
}

// The first calls to an application go out through the bus before its own
// socket is looked for (a search of its descriptors in a scan), and are
// answered while the search goes on; the calls after use the socket found.
TEST_F(OwnSocketTest, TheSocketIsLookedForWhileTheFirstCallsAreOut) {
  std::optional<uint64_t> sentWhenLooked;
  client_.setOwnSocket(app_.name(), [&] {
    sentWhenLooked = client_.callsSent();
    return socket_;
  });
  const uint64_t before = client_.callsSent();
  Batch batch(client_, in(30s));
  const auto role = batch.role(app_.ref("/o/window"));
  const auto channel = batch.name(app_.ref("/o/channel"));
  batch.run();
  EXPECT_EQ(batch[role].value, 23u);
  EXPECT_EQ(batch[channel].value, "bus");
  EXPECT_EQ(sentWhenLooked, before + 2);
  EXPECT_TRUE(throughOwnSocket(client_, app_));
}

// Where the client finds the accessibility bus: AT_SPI_BUS_ADDRESS, else
// org.a11y.Bus on the session bus (DBUS_SESSION_BUS_ADDRESS), else nowhere.
// Nothing connects until a call is sent; a bus that cannot be reached fails the
// call as NoBus by its deadline, and is not looked for again in the scan.
TEST(BusClientOpenTest, FindsTheBusByItsAddressOrThroughTheSessionBus) {
  PrivateBus bus;
  ListeningSocket mute;  // takes connections, never answers
  struct Row {
    const char* about;
    const char* a11yAnswer;   // what org.a11y.Bus answers; "": the bus
    std::string a11yAddress;  // AT_SPI_BUS_ADDRESS
    bool sessionAddress;      // DBUS_SESSION_BUS_ADDRESS names the bus
    CallStatus status;
  };
  const std::string launched = bus.folder() + "/launched";
  const std::string launch =
      "unixexec:path=/usr/bin/touch,argv0=touch,argv1=" + launched;
  const Row rows[] = {
      {"AT_SPI_BUS_ADDRESS first", "unix:path=/nonexistent", bus.address(),
       true, CallStatus::Ok},
      {"through the session bus", "", "", true, CallStatus::Ok},
      {"no address at all", "", "", false, CallStatus::NoBus},
      {"a session bus that never answers", "silent", "", true,
       CallStatus::NoBus},
      {"an address of no bus", "unix:path=/nonexistent", "", true,
       CallStatus::NoBus},
      // Addresses that would start a program or a bus are not followed.
      {"an address that runs a program", launch.c_str(), "", true,
       CallStatus::NoBus},
      {"a bus to start", "", "autolaunch:", false, CallStatus::NoBus},
      {"a program in AT_SPI_BUS_ADDRESS", "", launch, false, CallStatus::NoBus},
      // Last: the socket that never answers remembers being connected to.
      {"a bus that never answers", "", mute.address(), false,
       CallStatus::NoBus},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.about);
    const std::string answer = *row.a11yAnswer ? row.a11yAnswer : bus.address();
    FakeApp app(bus, "none", {"--a11y-bus", answer});
    ASSERT_FALSE(app.name().empty()) << "the bus or the fake did not start";
    const auto put = [](const char* name, const std::string& value) {
      value.empty() ? unsetenv(name) : setenv(name, value.c_str(), 1);
    };
    put("AT_SPI_BUS_ADDRESS", row.a11yAddress);
    put("DBUS_SESSION_BUS_ADDRESS", row.sessionAddress ? bus.address() : "");
    Client client(ClientOptions::fromEnvironment());
    Batch(client, in(1s)).run();
    EXPECT_FALSE(client.connected());
    EXPECT_FALSE(mute.connectedTo());

    const Deadline deadline = in(1s);
    Batch batch(client, deadline);
    const auto name = batch.name(app.ref("/o/window"));
    batch.run();
    EXPECT_LT(millisecondsPast(deadline), kSlackMs);
    EXPECT_EQ(batch[name].status, row.status);
    const uint64_t sent = client.callsSent();
    EXPECT_EQ(once(client, &Batch::role, app.ref("/o/window")).status,
              row.status);
    EXPECT_EQ(client.callsSent(), sent + (row.status == CallStatus::Ok));
    EXPECT_FALSE(std::filesystem::exists(launched));
  }
  EXPECT_TRUE(mute.connectedTo());
  unsetenv("AT_SPI_BUS_ADDRESS");
  unsetenv("DBUS_SESSION_BUS_ADDRESS");
}

// The socket at-spi-bus-launcher names after the session's display, and
// whether an address the session bus answers names that socket.
TEST(BusClientOpenTest, TheLaunchersSocketIsNamedAsTheLauncherNamesIt) {
  struct Row {
    const char* runtime;
    const char* display;
    std::optional<std::string> path;
  };
  const std::string deep = "/run/" + std::string(90, 'x');
  const Row rows[] = {
      {"/run/user/1000", ":0", "/run/user/1000/at-spi/bus_0"},
      {"/run/user/1000", ":1.0", "/run/user/1000/at-spi/bus_1.0"},
      {"/run/user/1000", "", "/run/user/1000/at-spi/bus"},
      {"/run/user/1000", "host:10.0", "/run/user/1000/at-spi/bushost_10.0"},
      // Its rule makes the first ':' of the whole path '_'.
      {"/run/a:b", ":0", "/run/a_b/at-spi/bus:0"},
      {"", ":0", std::nullopt},
      {deep.c_str(), ":0", std::nullopt},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.runtime) + " " + row.display);
    EXPECT_EQ(launcherSocketPath(row.runtime, row.display), row.path);
  }

  const std::string path = "/run/user/1000/at-spi/bus_0";
  struct Named {
    std::string address;
    bool names;
  };
  const Named named[] = {
      {"unix:path=/run/user/1000/at-spi/bus_0", true},
      {"unix:path=/run/user/1000/at-spi/bus_0,guid=0123456789abcdef", true},
      {socketAddress(path), true},
      {"unix:path=/run/user/1000/at-spi/bus_1", false},
      {"unix:path=/run/user/1000/at-spi/bus_0x", false},
      {"unix:abstract=/run/user/1000/at-spi/bus_0", false},
      {"tcp:host=localhost,port=4000;unix:path=" + path, false},
      {"unix:path=" + path + ";tcp:host=localhost,port=4000", true},
      {"unix:path=%2Frun/user/1000/at-spi/bus_0", true},
      {"unix:path=%zz", false},
      {"", false},
  };
  for (const Named& row : named) {
    SCOPED_TRACE(row.address);
    EXPECT_EQ(addressNamesSocket(row.address, path), row.names);
  }
  const std::string spaced = "/run/a b,c;d/at-spi/bus_0";
  EXPECT_TRUE(addressNamesSocket(socketAddress(spaced), spaced));
}

// Opened ahead of the first call, the bus is known to answer; one that takes
// the connection and never answers is given up at the deadline.
TEST(BusClientOpenTest, OpeningWaitsForTheHandshakeUntilTheDeadline) {
  PrivateBus bus;
  ListeningSocket mute;  // takes connections, never answers
  ASSERT_FALSE(bus.address().empty()) << "the bus did not start";
  const auto at = [](const std::string& address) {
    ClientOptions options;
    options.accessibilityBusAddress = address;
    return options;
  };
  Client answering(at(bus.address()));
  EXPECT_TRUE(answering.open(in(5s)));
  EXPECT_TRUE(answering.connected());
  Client silent(at(mute.address()));
  const Deadline deadline = in(300ms);
  EXPECT_FALSE(silent.open(deadline));
  EXPECT_GE(millisecondsPast(deadline), 0);
  EXPECT_LT(millisecondsPast(deadline), kSlackMs);
  EXPECT_TRUE(mute.connectedTo());
  const Deadline late = in(5s);
  EXPECT_FALSE(Client(at("unix:path=/nonexistent/bus")).open(late));
  EXPECT_LT(millisecondsPast(late), -4000) << "not given up at once";
}

#ifdef KESTREYE_DBUS_ARCHIVE
// No AT-SPI call passes a descriptor: the handshake goes from the server's
// OK straight to BEGIN, without a round trip to offer descriptor passing.
// (Only libdbus linked in from its archive is told so.)
TEST(BusClientOpenTest, TheHandshakeOffersNoDescriptorPassing) {
  ListeningSocket server;
  std::string afterOk;
  std::thread answer([&] {
    const int peer = accept(server.fd(), nullptr, nullptr);
    ASSERT_GE(peer, 0);
    // Reads one line of the handshake (a leading NUL byte is skipped).
    const auto line = [peer] {
      std::string text;
      char byte = 0;
      while (read(peer, &byte, 1) == 1 && byte != '\n') {
        if (byte != '\0' && byte != '\r') text += byte;
      }
      return text;
    };
    EXPECT_TRUE(line().starts_with("AUTH EXTERNAL"));
    const std::string ok = "OK 0123456789abcdef0123456789abcdef\r\n";
    ASSERT_EQ(write(peer, ok.data(), ok.size()),
              static_cast<ssize_t>(ok.size()));
    afterOk = line();
    close(peer);
  });
  ClientOptions options;
  options.accessibilityBusAddress = server.address();
  // The server never answers Hello: the client gives up at the deadline.
  EXPECT_FALSE(Client(options).open(in(2s)));
  answer.join();
  EXPECT_EQ(afterOk, "BEGIN");
}
#endif

// A bus whose daemon ends while a call waits: no application is to blame.
TEST(BusClientOpenTest, ABusThatEndsMidBatchFailsItsCallsAsNoBus) {
  PrivateBus bus;
  FakeApp app(bus, "none");
  ASSERT_FALSE(app.name().empty()) << "the bus or the fake did not start";
  Client client(optionsFor(bus));
  const auto role = once(client, &Batch::role, app.ref("/o/window"));
  ASSERT_TRUE(role.ok()) << role.status;

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
  EXPECT_EQ(once(client, &Batch::role, app.ref("/o/window")).status,
            CallStatus::NoBus);
  EXPECT_EQ(client.callsSent(), sent);
}

}  // namespace
}  // namespace kestreye::atspi::bus
