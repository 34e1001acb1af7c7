// The search for the frontmost application, against fake applications
// (bus/fake_atspi_app.cpp) on a private bus.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "platform/atspi/atspi_platform.h"
#include "platform/atspi/atspi_private.h"
#include "platform/atspi/bus/test_bus.h"
#include "platform/atspi/frontmost.h"
#include "platform/atspi/test_socket.h"

namespace kestreye::atspi {
namespace {

using bus::testbed::FakeApp;
using bus::testbed::once;
using bus::testbed::optionsFor;
using bus::testbed::PrivateBus;
using namespace std::chrono_literals;

std::optional<int32_t> noHint() { return std::nullopt; }

// Two applications on a private bus, each a fake started with its own
// options: `behind`, and `front`, which has an ACTIVE window.
struct TwoApplications {
  TwoApplications(const std::vector<std::string>& behindOptions,
                  std::vector<std::string> frontOptions)
      : behind(bus, "none", behindOptions),
        front(bus, "none", withActive(std::move(frontOptions))),
        client(optionsFor(bus)),
        cache(client) {}
  /// `front` answering `lateMs` late, `behind` at once.
  explicit TwoApplications(const char* lateMs)
      : TwoApplications({}, {"--late", lateMs}) {}
  bool started() const {
    return !behind.name().empty() && !front.name().empty();
  }
  std::vector<NodeRef> apps() {
    return {share(cache.intern(behind.ref(bus::ROOT_PATH))),
            share(cache.intern(front.ref(bus::ROOT_PATH)))};
  }
  /// The frontmost application's process, searched for with `reads` for
  /// the scan's reads.
  std::optional<int32_t> frontmostWithin(std::chrono::seconds reads) {
    cache.setReadsEnd(std::chrono::steady_clock::now() + reads);
    return findFrontmost(apps(), cache, noHint);
  }
  /// How many times `app` was asked for its toolkit, as it says.
  std::string toolkitsAsked(const FakeApp& app) {
    return once(client, &bus::Batch::description, app.ref(bus::ROOT_PATH))
        .value.value_or("");
  }

  static std::vector<std::string> withActive(std::vector<std::string> options) {
    options.emplace_back("--active");
    return options;
  }

  PrivateBus bus;
  FakeApp behind;
  FakeApp front;
  bus::Client client;
  ScanCache cache;
};

// The application with the ACTIVE window answers well after the other
// (GTK 4 on a loaded machine answers once it has drawn its frame): the wait
// for the others ends first, and it is asked again.
TEST(FrontmostBusTest, AnApplicationThatAnswersLastStillTakesThePlace) {
  TwoApplications desktop("50");
  ASSERT_TRUE(desktop.started()) << "the bus or a fake did not start";
  EXPECT_EQ(findFrontmost(desktop.apps(), desktop.cache, noHint),
            desktop.front.pid());
}

// Asked again, an application that does not answer in time costs the search
// a short wait, not the scan's time; no application is named.
TEST(FrontmostBusTest, AnApplicationThatNeverAnswersInTimeIsNotWaitedForLong) {
  TwoApplications desktop("3000");
  ASSERT_TRUE(desktop.started()) << "the bus or a fake did not start";
  const auto start = std::chrono::steady_clock::now();
  desktop.cache.setReadsEnd(start + std::chrono::seconds(5));
  EXPECT_EQ(findFrontmost(desktop.apps(), desktop.cache, noHint), std::nullopt);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

// An application without a window (a settings daemon) cannot be the
// frontmost one: it is asked for its windows only, never for its name or
// toolkit.
TEST(FrontmostBusTest, AnApplicationWithoutWindowsIsAskedForItsWindowsOnly) {
  TwoApplications desktop({"--windowless"}, {});
  ASSERT_TRUE(desktop.started()) << "the bus or a fake did not start";
  EXPECT_EQ(desktop.frontmostWithin(std::chrono::seconds(5)),
            desktop.front.pid());
  EXPECT_EQ(desktop.toolkitsAsked(desktop.behind), "toolkit asked 0 times");
  EXPECT_EQ(desktop.toolkitsAsked(desktop.front), "toolkit asked 1 times");
}

// An application whose bridge answers a Collection search (at-spi2-atk's)
// tells which of its windows are ACTIVE with its list of them: one behind,
// with none, is asked nothing more, while the one with an ACTIVE window is
// asked its name and toolkit. Without that search (GTK 4, Qt), every
// application with a window is asked, as before.
TEST(FrontmostBusTest, AnApplicationBehindIsAskedForItsActiveWindowsOnly) {
  for (const bool collection : {true, false}) {
    SCOPED_TRACE(collection);
    std::vector<std::string> options;
    if (collection) options.emplace_back("--collection");
    TwoApplications desktop(options, options);
    ASSERT_TRUE(desktop.started()) << "the bus or a fake did not start";
    EXPECT_EQ(desktop.frontmostWithin(std::chrono::seconds(5)),
              desktop.front.pid());
    EXPECT_EQ(desktop.toolkitsAsked(desktop.behind),
              collection ? "toolkit asked 0 times" : "toolkit asked 1 times");
    EXPECT_EQ(desktop.toolkitsAsked(desktop.front), "toolkit asked 1 times");
  }
}

// The search for the focus starts with the application's own role: the
// application chosen has told it, and its states, with its name.
TEST(FrontmostBusTest, TheChosenApplicationsRoleComesWithItsName) {
  TwoApplications desktop({"--collection"}, {"--collection"});
  ASSERT_TRUE(desktop.started()) << "the bus or a fake did not start";
  ASSERT_EQ(desktop.frontmostWithin(std::chrono::seconds(5)),
            desktop.front.pid());
  const uint64_t sent = desktop.client.callsSent();
  ReadContext read(desktop.cache);
  Node* root = desktop.cache.intern(desktop.front.ref(bus::ROOT_PATH));
  EXPECT_EQ(roleOf(root, read), ATSPI_ROLE_APPLICATION);
  EXPECT_TRUE(statesOf(root, read).known);
  EXPECT_TRUE(read.ok());
  EXPECT_EQ(desktop.client.callsSent(), sent);
}

// An application that answers no Collection search (GTK 4, Qt) has its one
// window's role and children asked with its name: the search for its
// focus, which reads them first, then starts with the children's roles.
// One that answers the search is not asked.
TEST(FrontmostBusTest,
     AOneWindowApplicationWithoutCollectionListsItWithItsName) {
  for (const bool collection : {false, true}) {
    SCOPED_TRACE(collection);
    std::vector<std::string> front{"--one-window"};
    if (collection) front.emplace_back("--collection");
    TwoApplications desktop({"--collection"}, front);
    ASSERT_TRUE(desktop.started()) << "the bus or a fake did not start";
    ASSERT_EQ(desktop.frontmostWithin(std::chrono::seconds(5)),
              desktop.front.pid());
    Node* root = desktop.cache.intern(desktop.front.ref(bus::ROOT_PATH));
    ASSERT_EQ(desktop.cache.memoOf(root).rawChildren.size(), 1u);
    Node* window = desktop.cache.memoOf(root).rawChildren.front().get();
    const ElementMemo& memo = desktop.cache.memoOf(window);
    EXPECT_EQ(memo.rawChildrenRead, !collection);
    EXPECT_EQ(memo.role.has_value(), !collection);
    if (collection) continue;
    EXPECT_EQ(memo.rawChildren.size(), 3u);
    // The children's roles and states, in one batch and no list (the
    // application's route found first): those of the two it does not know
    // (the fake's window lists itself too).
    (void)desktop.toolkitsAsked(desktop.front);
    const uint64_t calls = desktop.client.callsSent();
    const uint64_t batches = desktop.client.batchesRun();
    ReadContext read(desktop.cache);
    prefetchRawChildren({window}, read);
    EXPECT_TRUE(read.ok());
    EXPECT_EQ(desktop.client.batchesRun() - batches, 1u);
    EXPECT_EQ(desktop.client.callsSent() - calls, 4u);
  }
}

// Firefox's snapshot, which the scan of it reads first, is asked with its
// name when it claims an ACTIVE window and its process is named "firefox":
// the snapshot then costs no round trip of its own. Not of an application
// behind, nor of one with another name.
TEST(FrontmostBusTest, FirefoxsSnapshotIsAskedWithItsName) {
  for (const bool firefox : {true, false}) {
    SCOPED_TRACE(firefox);
    std::vector<std::string> front{"--collection"};
    if (firefox) front.insert(front.end(), {"--comm", "firefox-esr"});
    TwoApplications desktop({"--collection", "--comm", "firefox"}, front);
    ASSERT_TRUE(desktop.started()) << "the bus or a fake did not start";
    ASSERT_EQ(desktop.frontmostWithin(std::chrono::seconds(10)),
              desktop.front.pid());
    Node* behind = desktop.cache.intern(desktop.behind.ref(bus::ROOT_PATH));
    Node* root = desktop.cache.intern(desktop.front.ref(bus::ROOT_PATH));
    EXPECT_FALSE(desktop.cache.memoOf(behind).earlySnapshot.has_value());
    EXPECT_EQ(desktop.cache.memoOf(root).earlySnapshot.has_value(), firefox);
    if (!firefox) continue;
    const uint64_t sent = desktop.client.callsSent();
    ReadContext read(desktop.cache);
    loadSnapshot(root, read);
    EXPECT_TRUE(desktop.cache.memoOf(root).snapshotTaken);
    EXPECT_EQ(desktop.client.callsSent(), sent);
  }
}

// Chromium's search for its focus, one Collection search of its ACTIVE
// window, is asked with its name when its process is named "chromium" and
// it claims one ACTIVE window: the search for the focus then sends no
// search of its own. Its own socket is looked for meanwhile, and never
// asked for: the next call to it sends nothing more. Not so for an
// application with another name, whose socket the next call asks for.
TEST(FrontmostBusTest, ChromiumsFocusSearchIsAskedWithItsName) {
  for (const bool chromium : {true, false}) {
    SCOPED_TRACE(chromium);
    std::vector<std::string> front{"--collection", "--front-window"};
    if (chromium) front.insert(front.end(), {"--comm", "chromium"});
    TwoApplications desktop({"--collection", "--comm", "chromium"}, front);
    ASSERT_TRUE(desktop.started()) << "the bus or a fake did not start";
    ASSERT_EQ(desktop.frontmostWithin(std::chrono::seconds(10)),
              desktop.front.pid());
    Node* window = desktop.cache.intern(desktop.front.ref("/o/window"));
    EXPECT_EQ(desktop.cache.memoOf(window).earlyCandidates.has_value(),
              chromium);
    EXPECT_FALSE(
        desktop.cache
            .memoOf(desktop.cache.intern(desktop.behind.ref("/o/window")))
            .earlyCandidates.has_value());
    const uint64_t sent = desktop.client.callsSent();
    EXPECT_EQ(
        once(desktop.client, &bus::Batch::role, desktop.front.ref("/o/label"))
            .value,
        29u);
    // The other's socket question, and the asker's leaving, come with it.
    EXPECT_EQ(desktop.client.callsSent() - sent == 1, chromium);
    if (!chromium) continue;
    const auto searches = [&desktop] {
      return once(desktop.client, &bus::Batch::description,
                  desktop.front.ref("/o/huge"))
          .value.value_or("");
    };
    ASSERT_EQ(searches(), "matches asked 2 times");  // ACTIVE, then focus
    Node* root = desktop.cache.intern(desktop.front.ref(bus::ROOT_PATH));
    desktop.cache.memoOf(root).toolkit = ToolkitId{"Chromium", ""};
    ReadContext read(desktop.cache);
    EXPECT_NE(focusBelow(window, read), nullptr);
    EXPECT_TRUE(read.ok());
    EXPECT_EQ(searches(), "matches asked 2 times");
    // What it brought serves once: a search after asks again.
    EXPECT_NE(focusBelow(window, read), nullptr);
    EXPECT_EQ(searches(), "matches asked 3 times");
  }
}

// The registry's list of the applications goes out with the bus's
// handshake, when the platform first finds the bus, and serves the search
// that follows: the registry is asked once.
TEST(FrontmostBusTest, TheRegistryIsListedWithTheHandshakeAndOnce) {
  PrivateBus bus;
  FakeApp app(bus, "none", {"--active", "--registry"});
  ASSERT_FALSE(app.name().empty()) << "the bus or the fake did not start";
  setenv("AT_SPI_BUS_ADDRESS", bus.address().c_str(), 1);
  const auto platform = makePlatform();
  bus::Client client(optionsFor(bus));
  const auto listed = [&client] {
    const bus::ObjectRef registry{"org.a11y.atspi.Registry", bus::ROOT_PATH};
    return once(client, &bus::Batch::name, registry).value.value_or("");
  };
  platform->beginScan(std::chrono::steady_clock::now() +
                      std::chrono::seconds(10));
  ASSERT_TRUE(platform->isProcessTrusted());
  EXPECT_EQ(listed(), "listed 1");
  EXPECT_EQ(platform->frontmostProcessId(), app.pid());
  EXPECT_EQ(listed(), "listed 1");
  platform->endScan();
  unsetenv("AT_SPI_BUS_ADDRESS");
}

// Without AT_SPI_BUS_ADDRESS, the platform connects to the socket the
// launcher names by its rule while the session bus is asked for the bus's
// address; the answer decides which bus the scan reads. The search for the
// frontmost application does not wait for it before it starts.
TEST(FrontmostBusTest, TheLaunchersSocketIsReadOnlyWhenTheSessionNamesIt) {
  PrivateBus session;  // also the accessibility bus it names
  PrivateBus other;
  FakeApp elsewhere(other, "none", {"--active", "--registry"});
  ListeningSocket mute("at-spi/bus_7");  // takes connections, never answers
  ASSERT_FALSE(elsewhere.name().empty()) << "a bus or the fake did not start";
  const std::filesystem::path runtime = mute.path().substr(
      0, mute.path().size() - std::string("/at-spi/bus_7").size());
  const std::string launcher = mute.path() + "x";  // bus_7x: DISPLAY :7x
  struct Row {
    const char* about;
    std::string socket;  // what the launcher's socket leads to
    const char* answer;  // org.a11y.Bus's answer; "": its own bus
    const char* lateMs;  // how late it answers
    // Whether the application on the bus the session names is found; on
    // the launcher's socket, it is found only once the session names it.
    bool named;
    std::chrono::milliseconds within;  // isProcessTrusted's time
  };
  const std::string sessionSocket = session.folder() + "/bus";
  const Row rows[] = {
      {"the session names the launcher's socket", sessionSocket, "launcher",
       "0", true, 2000ms},
      {"the session names it late", sessionSocket, "launcher", "1000", true,
       500ms},
      // Named after the other bus has listed its applications.
      {"the session names another bus", other.folder() + "/bus", "", "200",
       true, 2000ms},
      {"the launcher's socket never answers", mute.path(), "", "200", true,
       500ms},
      {"no socket there", "", "", "200", true, 2000ms},
      {"the session never answers", sessionSocket, "silent", "0", false,
       2000ms},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.about);
    std::filesystem::remove(launcher);
    if (!row.socket.empty())
      std::filesystem::create_symlink(row.socket, launcher);
    const std::string answer = std::string(row.answer) == "launcher"
                                   ? bus::socketAddress(launcher)
                               : *row.answer ? row.answer
                                             : session.address();
    FakeApp app(session, "none",
                {"--active", "--registry", "--a11y-bus", answer, "--a11y-late",
                 row.lateMs});
    ASSERT_FALSE(app.name().empty()) << "the bus or the fake did not start";
    unsetenv("AT_SPI_BUS_ADDRESS");
    setenv("DBUS_SESSION_BUS_ADDRESS", session.address().c_str(), 1);
    setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    setenv("DISPLAY", ":7x", 1);
    const auto platform = makePlatform();
    const auto start = std::chrono::steady_clock::now();
    platform->beginScan(start + (row.named ? 10s : 300ms));
    EXPECT_TRUE(platform->isProcessTrusted());
    EXPECT_LT(std::chrono::steady_clock::now() - start, row.within);
    EXPECT_EQ(platform->frontmostProcessId(),
              row.named ? std::optional(app.pid()) : std::nullopt);
    platform->endScan();
  }
  unsetenv("DBUS_SESSION_BUS_ADDRESS");
  unsetenv("XDG_RUNTIME_DIR");
  unsetenv("DISPLAY");
}

}  // namespace
}  // namespace kestreye::atspi
