#include "platform/atspi/atspi_platform.h"

#include <sys/stat.h>
#include <syslog.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/atspi/atspi_private.h"
#include "platform/atspi/frontmost.h"
#include "platform/atspi/startup_advice.h"
#include "platform/atspi/x11_focus.h"

namespace kestreye::atspi {
namespace {

// The registry on the accessibility bus, whose root lists the applications.
constexpr const char* kRegistry = "org.a11y.atspi.Registry";

bool hasEnvironment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && value[0] != '\0';
}

// The accessibility bus's address by the session's word: what the session
// bus's org.a11y.Bus answers `question` with before `deadline`, else the X11
// root window's property. Without a session bus nothing is asked of one: a
// bus would be autolaunched elsewhere for the question, which breaks the
// accessibility bus of the user's running session.
std::optional<std::string> namedBus(bus::AddressQuestion* question,
                                    ScanDeadline deadline) {
  std::optional<std::string> address;
  if (question != nullptr) address = question->wait(deadline);
  if (!address.has_value()) address = x11AccessibilityBusAddress();
  return address;
}

// The socket at-spi-bus-launcher would have put this session's bus at, when
// a socket is there.
std::optional<std::string> launcherSocket() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  const char* display = std::getenv("DISPLAY");
  std::optional<std::string> path = bus::launcherSocketPath(
      runtime != nullptr ? runtime : "", display != nullptr ? display : "");
  struct stat info {};
  if (!path.has_value() || stat(path->c_str(), &info) != 0 ||
      !S_ISSOCK(info.st_mode)) {
    return std::nullopt;
  }
  return path;
}

// A bus connected to before the session has named it.
struct Guess {
  bus::AddressQuestion* question = nullptr;
  std::string socket;
  // The session has named another bus.
  bool refuted() const {
    if (question == nullptr || !question->settled()) return false;
    const std::optional<std::string> named = question->address();
    return named.has_value() && !bus::addressNamesSocket(*named, socket);
  }
};

class AtspiPlatform final : public Platform {
 public:
  void retain(ElementRef ref) override { ++static_cast<Node*>(ref)->refs; }

  void release(ElementRef ref) override {
    NodeRef dropped(static_cast<Node*>(ref));
  }

  AttributeRead copyAttribute(const Element& element,
                              std::string_view attribute) override {
    if (element.empty()) return {kAxInvalidElement, std::nullopt};
    if (!ensureReady()) return {kAxCannotComplete, std::nullopt};
    // The scan's own node for the element, whose memo the reads share.
    Node* node = cache_->intern(static_cast<Node*>(element.ref())->ref);
    if (node == nullptr) return {kAxInvalidElement, std::nullopt};
    // What was learned before the application hung is not handed out
    // either: a scan of a hung application ends quickly, not half-informed.
    if (cache_->hangs(node)) {
      return {kAxCannotComplete, std::nullopt};
    }
    // Finding the focus waits for a large or busy application as long as
    // the scan allows; the walks after it must leave time for the block.
    const bool findsFocus =
        attribute == "AXFocusedWindow" || attribute == "AXFocusedUIElement";
    ReadContext read(*cache_, findsFocus ? Patience::Whole : Patience::Half);
    AttributeRead answer = readAttribute(node, attribute, desktop(), read);
    if (!read.ok()) return {read.failure(), std::nullopt};
    return answer;
  }

  // The bus the session names is not waited for here: the search for the
  // frontmost application, which comes next, reads it meanwhile.
  bool isProcessTrusted() override { return ensureReady(false); }

  std::optional<int32_t> frontmostProcessId() override;
  Element applicationElement(int32_t pid) override;
  void logLine(std::string_view line) override;

  // A scan starts and ends on an empty cache, so that the next scan reads
  // the desktop afresh; the connections stay open for the next one.
  void beginScan(ScanDeadline readsEnd) override {
    readsEnd_ = readsEnd;
    newCache();
  }
  void endScan() override {
    readsEnd_ = ScanDeadline::max();
    newCache();
  }

 private:
  // Whether the accessibility bus answers; looked for once per process when
  // it does, and again by the next scan when it did not.
  //
  // AT_SPI_BUS_ADDRESS names the bus. Otherwise the session bus is asked,
  // a round trip through its daemon to the launcher and back; meanwhile the
  // client connects to the socket the launcher names by its rule, and lists
  // the applications there. That bus is kept only when the session names
  // it; otherwise the bus named is opened, as it would have been. Unless
  // `confirmed` is asked for, the session's answer may still be on its way
  // (confirmGuess() waits for it): the search for the frontmost application
  // goes on meanwhile.
  bool ensureReady(bool confirmed = true) {
    if (client_ == nullptr && !connect()) return false;
    return !confirmed || confirmGuess() != Guessed::Failed;
  }

  bool connect() {
    const ScanDeadline deadline = readsDeadline();
    if (hasEnvironment("AT_SPI_BUS_ADDRESS")) {
      return openClient(std::getenv("AT_SPI_BUS_ADDRESS"), deadline);
    }
    std::unique_ptr<bus::AddressQuestion> question;
    if (hasEnvironment("DBUS_SESSION_BUS_ADDRESS")) {
      question =
          bus::AddressQuestion::ask(std::getenv("DBUS_SESSION_BUS_ADDRESS"));
    }
    const std::optional<std::string> socket =
        question != nullptr ? launcherSocket() : std::nullopt;
    if (socket.has_value() && openClient(bus::socketAddress(*socket), deadline,
                                         Guess{question.get(), *socket})) {
      question_ = std::move(question);
      guessed_ = *socket;
      return true;
    }
    const std::optional<std::string> named = namedBus(question.get(), deadline);
    if (client_ != nullptr) dropClient();
    return named.has_value() && openClient(*named, deadline);
  }

  enum class Guessed { Kept, Replaced, Failed };

  // Waits for the session to name the bus connected to before it did: the
  // bus is kept when named, and replaced by the bus named otherwise.
  Guessed confirmGuess() {
    if (question_ == nullptr) return Guessed::Kept;
    const std::unique_ptr<bus::AddressQuestion> question = std::move(question_);
    const std::optional<std::string> named =
        namedBus(question.get(), readsDeadline());
    if (named.has_value() && bus::addressNamesSocket(*named, guessed_)) {
      return Guessed::Kept;
    }
    dropClient();
    return named.has_value() && openClient(*named, readsDeadline())
               ? Guessed::Replaced
               : Guessed::Failed;
  }

  ScanDeadline readsDeadline() const {
    return readsEnd_ != ScanDeadline::max()
               ? readsEnd_
               : std::chrono::steady_clock::now() +
                     std::chrono::milliseconds(kCallTimeoutMs);
  }

  std::optional<int32_t> frontmostOnBus();

  // Opens the client of the bus at `address`, and lists the applications on
  // it: whether the bus answered. A guessed bus is given up as soon as the
  // session names another.
  bool openClient(const std::string& address, ScanDeadline deadline,
                  const Guess& guess = {}) {
    bus::ClientOptions options;
    options.accessibilityBusAddress = address;
    options.callLimit = std::chrono::milliseconds(kCallTimeoutMs);
    auto client = std::make_unique<bus::Client>(std::move(options));
    // The registry's list of the applications, which a scan reads first,
    // goes out right behind the bus's handshake and comes back with its
    // answers, not a round trip after them.
    bus::Batch first(*client, deadline);
    first.setCallLimit(
        std::max(std::chrono::ceil<std::chrono::milliseconds>(
                     deadline - std::chrono::steady_clock::now()),
                 std::chrono::milliseconds(1)));
    const auto apps = first.children(bus::ObjectRef{kRegistry, bus::ROOT_PATH});
    client->hearAlso(guess.question);
    first.run([&]() -> std::optional<bus::Deadline> {
      if (guess.refuted()) return std::chrono::steady_clock::now();
      return std::nullopt;
    });
    client->hearAlso(nullptr);
    if (guess.refuted()) return false;
    // A bus that accepts the connection and never answers (a daemon that
    // hangs) is no bus.
    if (!client->open(deadline)) return false;
    client_ = std::move(client);
    newCache();
    ReadContext read(*cache_, Patience::Whole);
    if (std::optional<bus::Children> listed =
            read.take(kRegistry, first[apps])) {
      keepListedChildren(desktop(), std::move(*listed), read);
    }
    return true;
  }

  // Forgets the client; the cache that stood on it goes first.
  void dropClient() {
    cache_ = std::make_unique<ScanCache>(*idleClient_);
    cache_->setReadsEnd(readsEnd_);
    client_.reset();
  }

  void newCache() {
    if (client_ != nullptr) client_->beginScan();
    cache_ = std::make_unique<ScanCache>(client_ != nullptr ? *client_
                                                            : *idleClient_);
    cache_->setReadsEnd(readsEnd_);
  }

  Node* desktop() {
    return cache_->intern(bus::ObjectRef{kRegistry, bus::ROOT_PATH});
  }

  // Before the bus is found, the cache stands on a client that is never
  // asked anything.
  std::unique_ptr<bus::Client> idleClient_ =
      std::make_unique<bus::Client>(bus::ClientOptions{});
  std::unique_ptr<bus::Client> client_;
  ScanDeadline readsEnd_ = ScanDeadline::max();
  std::unique_ptr<ScanCache> cache_ = std::make_unique<ScanCache>(*idleClient_);
  // The session's answer on its way, and the socket of the bus connected
  // to before it came.
  std::unique_ptr<bus::AddressQuestion> question_;
  std::string guessed_;
};

std::optional<int32_t> AtspiPlatform::frontmostOnBus() {
  ReadContext read(*cache_, Patience::Whole);
  const auto* apps = rawChildrenOf(desktop(), read);
  if (apps == nullptr) return std::nullopt;
  return findFrontmost(*apps, *cache_, x11FocusedProcessId);
}

std::optional<int32_t> AtspiPlatform::frontmostProcessId() {
  if (!ensureReady(false)) return std::nullopt;
  std::optional<int32_t> pid = frontmostOnBus();
  switch (confirmGuess()) {
    case Guessed::Kept:
      break;
    case Guessed::Replaced:
      pid = frontmostOnBus();
      break;
    case Guessed::Failed:
      return std::nullopt;
  }
  if (pid.has_value()) return pid;
  // The window with the keyboard focus belongs to no application on the
  // bus: the session's accessibility is off, or the application ignores it.
  // Turning it on is the user's choice, never this tool's. Only an X11
  // window names its process.
  ReadContext read(*cache_, Patience::Whole);
  const auto* apps = rawChildrenOf(desktop(), read);
  if (apps == nullptr) return std::nullopt;
  const std::optional<int32_t> hint = x11FocusedProcessId();
  if (hint.has_value() &&
      std::none_of(apps->begin(), apps->end(), [&](const NodeRef& app) {
        return processIdOf(app.get(), *cache_) == hint;
      })) {
    writeLogLine(notOnBusAdvice(processCommand(*hint).value_or(""), *hint,
                                processToolkit(*hint)));
  }
  return std::nullopt;
}

Element AtspiPlatform::applicationElement(int32_t pid) {
  if (!ensureReady()) return Element();
  if (Node* known = cache_->applicationOf(pid)) {
    return Element::adopt(share(known).release());
  }
  ReadContext read(*cache_, Patience::Whole);
  const auto* apps = rawChildrenOf(desktop(), read);
  if (apps == nullptr) return Element();
  for (const NodeRef& app : *apps) {
    if (processIdOf(app.get(), *cache_) != pid) continue;
    cache_->rememberApplication(pid, app.get());
    return Element::adopt(share(app.get()).release());
  }
  return Element();
}

void AtspiPlatform::logLine(std::string_view line) { writeLogLine(line); }

}  // namespace

void writeLogLine(std::string_view line) {
  static const bool opened = [] {
    openlog("kestreye", LOG_PID, LOG_USER);
    return true;
  }();
  (void)opened;
  const int length = static_cast<int>(std::min<size_t>(line.size(), 1 << 20));
  syslog(LOG_NOTICE, "%.*s", length, line.data());
  std::fprintf(stderr, "%.*s\n", length, line.data());
}

std::unique_ptr<Platform> makePlatform() {
  return std::make_unique<AtspiPlatform>();
}

}  // namespace kestreye::atspi
