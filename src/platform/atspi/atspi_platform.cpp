#include "platform/atspi/atspi_platform.h"

#include <syslog.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/atspi/atspi_private.h"
#include "platform/atspi/bus_check.h"
#include "platform/atspi/frontmost.h"
#include "platform/atspi/startup_advice.h"
#include "platform/atspi/x11_focus.h"

namespace kestreye::atspi {
namespace {

// The connection to the accessibility bus: libatspi starts once per process.
struct Connection {
  enum class Init { Untried, Ready, Failed };
  Init init = Init::Untried;
  AtspiAccessible* desktop = nullptr;
};

// Never destroyed: libatspi's own objects outlive main.
Connection& connection() {
  static Connection* instance = new Connection;
  return *instance;
}

// GLib's default handler prints debug and info messages on standard output,
// which carries nothing but the reply line.
void logHandler(const gchar* domain, GLogLevelFlags level, const gchar* message,
                gpointer) {
  if ((level &
       (G_LOG_LEVEL_ERROR | G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING)) == 0) {
    return;
  }
  std::fprintf(stderr, "kestreye: %s: %s\n",
               domain != nullptr ? domain : "glib",
               message != nullptr ? message : "");
}

GLogWriterOutput logWriter(GLogLevelFlags level, const GLogField* fields,
                           gsize count, gpointer) {
  const char* domain = nullptr;
  const char* message = nullptr;
  for (gsize i = 0; i < count; ++i) {
    if (g_strcmp0(fields[i].key, "GLIB_DOMAIN") == 0) {
      domain = static_cast<const char*>(fields[i].value);
    } else if (g_strcmp0(fields[i].key, "MESSAGE") == 0) {
      message = static_cast<const char*>(fields[i].value);
    }
  }
  logHandler(domain, level, message, nullptr);
  return G_LOG_WRITER_HANDLED;
}

bool hasEnvironment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && value[0] != '\0';
}

// Whether the accessibility bus that libatspi would use answers before
// `deadline`. libatspi looks for it as this does (AT_SPI_BUS_ADDRESS, the
// X11 root property, then the session bus), but connects and registers with
// no time limit, so a bus that never answers would block it forever. The
// address found is handed to libatspi, which then looks no further: on a
// Wayland session it would otherwise connect to the X display.
bool accessibilityBusAnswers(ScanDeadline deadline) {
  std::string address;
  if (hasEnvironment("AT_SPI_BUS_ADDRESS")) {
    address = std::getenv("AT_SPI_BUS_ADDRESS");
  } else if (std::optional<std::string> root = x11AccessibilityBusAddress()) {
    address = std::move(*root);
    // libatspi would open the display again to read the same property.
    setenv("AT_SPI_BUS_ADDRESS", address.c_str(), 1);
  } else {
    std::optional<std::string> found = accessibilityBusFromSession(
        std::getenv("DBUS_SESSION_BUS_ADDRESS"), deadline);
    if (!found.has_value()) return false;
    address = std::move(*found);
    // libatspi would ask the session bus again, with no limit of ours.
    setenv("AT_SPI_BUS_ADDRESS", address.c_str(), 1);
  }
  return busAnswers(address, deadline);
}

// libatspi cannot be initialised twice, and after a failed initialisation
// its next call ends the process (g_error); so every entry point asks here
// first, and nothing reaches libatspi unless this said yes. A bus that does
// not answer in time is asked again by the next scan: libatspi has not been
// touched then.
bool ensureReady(ScanDeadline deadline) {
  Connection& state = connection();
  if (state.init != Connection::Init::Untried) {
    return state.init == Connection::Init::Ready;
  }
  // Without a bus address libdbus may autolaunch a new session bus, which
  // breaks the accessibility bus of the user's running session.
  if (!hasEnvironment("AT_SPI_BUS_ADDRESS") &&
      !hasEnvironment("DBUS_SESSION_BUS_ADDRESS")) {
    state.init = Connection::Init::Failed;
    return false;
  }
  if (!accessibilityBusAnswers(deadline)) return false;
  state.init = Connection::Init::Failed;
  g_log_set_default_handler(logHandler, nullptr);
  g_log_set_writer_func(logWriter, nullptr, nullptr);
  atspi_set_timeout(kCallTimeoutMs, 0);
  if (atspi_init() != 0) return false;
  state.desktop = atspi_get_desktop(0);
  if (state.desktop == nullptr) return false;
  // One bulk snapshot per application answers role, name, description,
  // states, parent, children and attributes without a round trip each.
  atspi_accessible_set_cache_mask(state.desktop, ATSPI_CACHE_ALL);
  state.init = Connection::Init::Ready;
  return true;
}

class AtspiPlatform final : public Platform {
 public:
  void retain(ElementRef ref) override {
    g_object_ref(static_cast<GObject*>(ref));
  }

  void release(ElementRef ref) override {
    g_object_unref(static_cast<GObject*>(ref));
  }

  AttributeRead copyAttribute(const Element& element,
                              std::string_view attribute) override {
    if (element.empty()) return {kAxInvalidElement, std::nullopt};
    if (!ensureReady(cache_->readsEnd()))
      return {kAxCannotComplete, std::nullopt};
    auto* node = static_cast<AtspiAccessible*>(element.ref());
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
    AttributeRead answer =
        readAttribute(node, attribute, connection().desktop, read);
    if (!read.ok()) return {read.failure(), std::nullopt};
    return answer;
  }

  bool isProcessTrusted() override { return ensureReady(cache_->readsEnd()); }

  std::optional<int32_t> frontmostProcessId() override;
  Element applicationElement(int32_t pid) override;
  void logLine(std::string_view line) override;

  // A scan starts and ends on an empty cache, so that the next scan reads
  // the desktop afresh.
  void beginScan(ScanDeadline readsEnd) override {
    cache_ = std::make_unique<ScanCache>();
    cache_->setReadsEnd(readsEnd);
  }
  void endScan() override { cache_ = std::make_unique<ScanCache>(); }

 private:
  std::unique_ptr<ScanCache> cache_ = std::make_unique<ScanCache>();
};

std::optional<int32_t> AtspiPlatform::frontmostProcessId() {
  if (!ensureReady(cache_->readsEnd())) return std::nullopt;
  AtspiAccessible* desktop = connection().desktop;
  ReadContext read(*cache_, Patience::Whole);
  const auto* apps = childrenOf(desktop, read);
  if (apps == nullptr) return std::nullopt;
  if (std::optional<int32_t> pid =
          findFrontmost(*apps, *cache_, x11FocusedProcessId)) {
    return pid;
  }
  // The window with the keyboard focus belongs to no application on the
  // bus: the session's accessibility is off, or the application ignores it.
  // Turning it on is the user's choice, never this tool's. Only an X11
  // window names its process.
  const std::optional<int32_t> hint = x11FocusedProcessId();
  if (hint.has_value() && std::none_of(apps->begin(), apps->end(),
                                       [&](const GRef<AtspiAccessible>& app) {
                                         return processIdOf(app.get(),
                                                            *cache_) == hint;
                                       })) {
    writeLogLine(notOnBusAdvice(processCommand(*hint).value_or(""), *hint,
                                processToolkit(*hint)));
  }
  return std::nullopt;
}

Element AtspiPlatform::applicationElement(int32_t pid) {
  if (!ensureReady(cache_->readsEnd())) return Element();
  if (AtspiAccessible* known = cache_->applicationOf(pid)) {
    return Element::adopt(newRef(known).release());
  }
  ReadContext read(*cache_, Patience::Whole);
  const auto* apps = childrenOf(connection().desktop, read);
  if (apps == nullptr) return Element();
  for (const GRef<AtspiAccessible>& app : *apps) {
    if (processIdOf(app.get(), *cache_) != pid) continue;
    cache_->rememberApplication(pid, app.get());
    return Element::adopt(newRef(app.get()).release());
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
