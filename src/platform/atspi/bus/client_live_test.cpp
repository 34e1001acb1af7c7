// The bus client against the live GTK3 demo inside a headless desktop
// (scripts/session): the real accessibility bus, the registry, and GTK's own
// socket, which libdbus serves.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>
#include <string>

#include "platform/atspi/bus/client.h"
#include "platform/atspi/bus/test_bus.h"

namespace kestreye::atspi::bus {
namespace {

using namespace std::chrono_literals;

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// The demo's application on the desktop, found by its name.
std::optional<ObjectRef> findDemo(Client& client) {
  Batch desktop(client, Clock::now() + 5s);
  const auto apps =
      desktop.children(ObjectRef{"org.a11y.atspi.Registry", ROOT_PATH});
  desktop.run();
  if (!desktop[apps].ok()) return std::nullopt;
  Batch names(client, Clock::now() + 5s);
  std::vector<Ticket<std::string>> tickets;
  for (const ObjectRef& app : desktop[apps].value->refs) {
    tickets.push_back(names.name(app));
  }
  names.run();
  for (size_t i = 0; i < tickets.size(); ++i) {
    if (names[tickets[i]].value == "kestreye-demo") {
      return desktop[apps].value->refs[i];
    }
  }
  return std::nullopt;
}

TEST(BusClientLiveTest, ReadsGtkThroughItsOwnSocketAndStopsAskingWhenItHangs) {
  ASSERT_FALSE(environment("DBUS_SESSION_BUS_ADDRESS").empty())
      << "run inside scripts/session";
  testbed::Child demo({environment("KESTREYE_DEMO")});
  ASSERT_GT(demo.pid(), 0);
  ASSERT_EQ(std::system((environment("KESTREYE_WAIT_ACCESSIBLE") + " " +
                         std::to_string(demo.pid()))
                            .c_str()),
            0);

  Client client(ClientOptions::fromEnvironment());
  const std::optional<ObjectRef> app = findDemo(client);
  ASSERT_TRUE(app.has_value()) << "the demo is not on the desktop";

  Batch batch(client, Clock::now() + 5s);
  const auto toolkit = batch.toolkitName(app->bus);
  const auto role = batch.role(*app);
  const auto windows = batch.children(*app);
  batch.run();
  // GTK 3 offers its own socket, and the client talks to libdbus's server.
  EXPECT_TRUE(client.usesOwnSocket(app->bus));
  EXPECT_EQ(batch[toolkit].value, "gtk");
  EXPECT_EQ(batch[role].value, 75u);  // APPLICATION
  ASSERT_TRUE(batch[windows].ok()) << batch[windows].status;
  ASSERT_FALSE(batch[windows].value->refs.empty());
  const ObjectRef window = batch[windows].value->refs.front();

  Batch read(client, Clock::now() + 5s);
  const auto title = read.name(window);
  const auto parent = read.parent(window);
  const auto states = read.states(window);
  read.run();
  EXPECT_EQ(read[title].value, "Kestrel Mail");
  EXPECT_EQ(read[parent].value, *app);
  ASSERT_TRUE(read[states].ok()) << read[states].status;

  // Stopped, it answers nothing: one limit, then nothing more is sent.
  ASSERT_EQ(kill(demo.pid(), SIGSTOP), 0);
  Batch stalled(client, Clock::now() + 5s);
  stalled.setCallLimit(300ms);
  const auto stalledName = stalled.name(window);
  stalled.run();
  EXPECT_EQ(stalled[stalledName].status, CallStatus::TimedOut);
  const uint64_t sent = client.callsSent();
  Batch after(client, Clock::now() + 5s);
  const auto afterRole = after.role(window);
  after.run();
  EXPECT_EQ(after[afterRole].status, CallStatus::NotSent);
  EXPECT_EQ(client.callsSent(), sent);
  kill(demo.pid(), SIGCONT);

  // The next scan asks it again, over the same socket.
  client.beginScan();
  Batch again(client, Clock::now() + 5s);
  const auto againTitle = again.name(window);
  again.run();
  EXPECT_EQ(again[againTitle].value, "Kestrel Mail");
  EXPECT_TRUE(client.usesOwnSocket(app->bus));
}

}  // namespace
}  // namespace kestreye::atspi::bus
