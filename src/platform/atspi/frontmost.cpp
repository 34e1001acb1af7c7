#include "platform/atspi/frontmost.h"

#include <dbus/dbus.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <string>
#include <utility>

namespace kestreye::atspi {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kAccessible = "org.a11y.atspi.Accessible";

// The claims that tie for the frontmost place: those that hold the focus,
// or every claimant when none does (an application that does not say).
std::vector<size_t> tiedClaims(const std::vector<WindowClaim>& claims) {
  std::vector<size_t> claimants;
  std::vector<size_t> holders;
  for (size_t i = 0; i < claims.size(); ++i) {
    if (!claims[i].active) continue;
    claimants.push_back(i);
    if (claims[i].windowFocused || claims[i].holdsFocus.value_or(false)) {
      holders.push_back(i);
    }
  }
  return holders.empty() ? claimants : holders;
}

// One call in flight to one application.
struct Call {
  enum class Kind { Children, Name, State };
  DBusPendingCall* pending = nullptr;
  size_t app = 0;
  Kind kind = Kind::Children;
  Clock::time_point deadline;
};

// What is known of one application while the answers come in.
struct Asked {
  AtspiAccessible* app = nullptr;
  int outstanding = 0;
  bool childrenAnswered = false;
  bool nameAnswered = false;
  bool failed = false;
  std::string name;
  WindowClaim claim;
  bool complete() const { return childrenAnswered && outstanding == 0; }
};

bool stateBit(const std::vector<dbus_uint32_t>& words, AtspiStateType state) {
  const auto index = static_cast<size_t>(state);
  return index / 32 < words.size() && (words[index / 32] >> (index % 32)) & 1u;
}

// Asks all applications at once. libatspi calls one application at a time
// and waits for each answer, so a stopped application registered before the
// frontmost one would cost its whole limit first; here each call has its
// own limit and the answers are taken as they come, over the accessibility
// bus connection libatspi already holds (libatspi is idle meanwhile).
class Search {
 public:
  Search(const std::vector<GRef<AtspiAccessible>>& apps, ScanCache& cache)
      : cache_(cache), connection_(atspi_get_a11y_bus()) {
    start_ = Clock::now();
    callEnd_ = cache.readsEnd() != ScanDeadline::max()
                   ? cache.readsEnd()
                   : start_ + std::chrono::milliseconds(kCallTimeoutMs);
    asked_.reserve(apps.size());
    for (const GRef<AtspiAccessible>& app : apps) {
      Asked entry;
      entry.app = app.get();
      asked_.push_back(std::move(entry));
    }
  }
  Search(const Search&) = delete;
  Search& operator=(const Search&) = delete;
  ~Search() {
    for (Call& call : calls_) {
      dbus_pending_call_cancel(call.pending);
      dbus_pending_call_unref(call.pending);
    }
  }

  /// Runs the search; afterwards `asked()` holds every application's claim.
  void run() {
    if (connection_ == nullptr) return;
    for (size_t i = 0; i < asked_.size(); ++i) {
      AtspiAccessible* app = asked_[i].app;
      const AtspiApplication* owner = app->parent.app;
      if (owner == nullptr || owner->bus_name == nullptr ||
          app->parent.path == nullptr || cache_.isHung(owner)) {
        asked_[i].failed = true;
        continue;
      }
      send(i, Call::Kind::Children, owner->bus_name, app->parent.path,
           kAccessible, "GetChildren");
      send(i, Call::Kind::Name, owner->bus_name, app->parent.path,
           DBUS_INTERFACE_PROPERTIES, "Get");
    }
    std::optional<Clock::time_point> settled;
    while (!calls_.empty()) {
      while (dbus_connection_get_dispatch_status(connection_) ==
             DBUS_DISPATCH_DATA_REMAINS) {
        dbus_connection_dispatch(connection_);
      }
      collect();
      if (!settled.has_value()) {
        // The first application with an ACTIVE window has answered: the
        // others that answer at all answer about as fast, so they are
        // given as long again and no longer, and the ones that have not
        // answered anything yet are not waited for once the rest have. A
        // stopped or stalled one costs at most that, not its whole limit.
        for (const Asked& entry : asked_) {
          if (entry.complete() && !entry.failed && entry.claim.active) {
            const auto took = Clock::now() - start_;
            settled = Clock::now() + took + std::chrono::milliseconds(1);
            break;
          }
        }
      }
      if (calls_.empty()) break;
      const auto now = Clock::now();
      if (settled.has_value() && (now >= *settled || onlySilentLeft())) break;
      auto wake = settled.value_or(Clock::time_point::max());
      for (const Call& call : calls_) wake = std::min(wake, call.deadline);
      const auto wait = std::chrono::ceil<std::chrono::milliseconds>(
          std::max(wake - now, Clock::duration::zero()));
      if (!dbus_connection_read_write(connection_,
                                      static_cast<int>(wait.count()))) {
        break;  // disconnected
      }
    }
  }

  /// Whether every call in flight is to an application that has not
  /// answered anything yet.
  bool onlySilentLeft() const {
    return std::all_of(calls_.begin(), calls_.end(), [&](const Call& call) {
      const Asked& entry = asked_[call.app];
      return !entry.childrenAnswered && !entry.nameAnswered;
    });
  }

  /// Every application's claim, in the order the desktop lists them.
  std::vector<Asked>& asked() { return asked_; }

 private:
  void send(size_t app, Call::Kind kind, const char* bus, const char* path,
            const char* interface, const char* method) {
    DBusMessage* message =
        dbus_message_new_method_call(bus, path, interface, method);
    if (message == nullptr) {
      asked_[app].failed = true;
      return;
    }
    if (kind == Call::Kind::Name) {
      const char* iface = kAccessible;
      const char* property = "Name";
      dbus_message_append_args(message, DBUS_TYPE_STRING, &iface,
                               DBUS_TYPE_STRING, &property, DBUS_TYPE_INVALID);
    }
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(callEnd_ - Clock::now());
    DBusPendingCall* pending = nullptr;
    if (left.count() <= 0 ||
        !dbus_connection_send_with_reply(connection_, message, &pending,
                                         static_cast<int>(left.count())) ||
        pending == nullptr) {
      dbus_message_unref(message);
      if (kind != Call::Kind::Name) asked_[app].failed = true;
      return;
    }
    dbus_message_unref(message);
    ++asked_[app].outstanding;
    calls_.push_back(Call{pending, app, kind, callEnd_});
  }

  // Takes every answer that came, and gives up on calls past their limit.
  void collect() {
    const auto now = Clock::now();
    // Answers may add calls (a window's state), so the list is walked by
    // index over what it held on entry.
    const size_t count = calls_.size();
    std::vector<bool> finished(count, false);
    for (size_t i = 0; i < count; ++i) {
      Call call = calls_[i];
      Asked& entry = asked_[call.app];
      if (dbus_pending_call_get_completed(call.pending)) {
        DBusMessage* reply = dbus_pending_call_steal_reply(call.pending);
        take(call, reply);
        if (reply != nullptr) dbus_message_unref(reply);
      } else if (now >= call.deadline) {
        // A real timeout of its own call: the hang rule's mark.
        cache_.markHung(entry.app->parent.app);
        if (call.kind != Call::Kind::Name) entry.failed = true;
        dbus_pending_call_cancel(call.pending);
      } else {
        continue;
      }
      dbus_pending_call_unref(call.pending);
      --asked_[call.app].outstanding;
      finished[i] = true;
    }
    size_t kept = 0;
    for (size_t i = 0; i < calls_.size(); ++i) {
      if (i < count && finished[i]) continue;
      calls_[kept++] = calls_[i];
    }
    calls_.resize(kept);
  }

  void take(const Call& call, DBusMessage* reply) {
    Asked& entry = asked_[call.app];
    const bool answered =
        reply != nullptr &&
        dbus_message_get_type(reply) == DBUS_MESSAGE_TYPE_METHOD_RETURN;
    DBusMessageIter iter;
    if (call.kind == Call::Kind::Name) {
      DBusMessageIter variant;
      const char* name = nullptr;
      if (answered && dbus_message_iter_init(reply, &iter) &&
          dbus_message_iter_get_arg_type(&iter) == DBUS_TYPE_VARIANT) {
        dbus_message_iter_recurse(&iter, &variant);
        if (dbus_message_iter_get_arg_type(&variant) == DBUS_TYPE_STRING) {
          dbus_message_iter_get_basic(&variant, &name);
        }
      }
      entry.nameAnswered = reply != nullptr;
      if (name != nullptr) entry.name = name;
      entry.claim.shell = isDesktopShell(entry.name);
      return;
    }
    if (!answered || !dbus_message_iter_init(reply, &iter) ||
        dbus_message_iter_get_arg_type(&iter) != DBUS_TYPE_ARRAY) {
      entry.failed = true;
      if (call.kind == Call::Kind::Children) entry.childrenAnswered = true;
      return;
    }
    DBusMessageIter array;
    dbus_message_iter_recurse(&iter, &array);
    if (call.kind == Call::Kind::Children) {
      entry.childrenAnswered = true;
      // Every window is asked, however many: the active one may come last.
      while (dbus_message_iter_get_arg_type(&array) == DBUS_TYPE_STRUCT) {
        DBusMessageIter member;
        dbus_message_iter_recurse(&array, &member);
        const char* bus = nullptr;
        const char* path = nullptr;
        if (dbus_message_iter_get_arg_type(&member) == DBUS_TYPE_STRING) {
          dbus_message_iter_get_basic(&member, &bus);
          dbus_message_iter_next(&member);
          if (dbus_message_iter_get_arg_type(&member) ==
              DBUS_TYPE_OBJECT_PATH) {
            dbus_message_iter_get_basic(&member, &path);
          }
        }
        if (bus != nullptr && path != nullptr && bus[0] != '\0') {
          send(call.app, Call::Kind::State, bus, path, kAccessible, "GetState");
        }
        dbus_message_iter_next(&array);
      }
      return;
    }
    std::vector<dbus_uint32_t> words;
    while (dbus_message_iter_get_arg_type(&array) == DBUS_TYPE_UINT32) {
      dbus_uint32_t word = 0;
      dbus_message_iter_get_basic(&array, &word);
      words.push_back(word);
      dbus_message_iter_next(&array);
    }
    if (stateBit(words, ATSPI_STATE_ACTIVE)) {
      // Of several ACTIVE windows (a combo box's list beside its frame), a
      // FOCUSED one speaks for the application.
      const bool focused = stateBit(words, ATSPI_STATE_FOCUSED);
      entry.claim.windowFocused = entry.claim.windowFocused || focused;
      entry.claim.active = true;
    }
  }

  ScanCache& cache_;
  DBusConnection* connection_;
  Clock::time_point start_;
  Clock::time_point callEnd_;
  std::vector<Asked> asked_;
  std::vector<Call> calls_;
};

}  // namespace

bool isDesktopShell(std::string_view name) {
  static constexpr std::array<std::string_view, 3> kShells = {
      "gnome-shell", "plasmashell", "krunner"};
  return std::find(kShells.begin(), kShells.end(), name) != kShells.end();
}

std::optional<size_t> chooseFrontmost(const std::vector<WindowClaim>& claims,
                                      std::optional<int32_t> (*hint)()) {
  const std::vector<size_t> tied = tiedClaims(claims);
  if (tied.empty()) return std::nullopt;
  if (tied.size() == 1) return tied.front();
  for (size_t i : tied) {
    if (claims[i].shell) return i;
  }
  // Reading the hint opens the X11 display: only a tie asks for it.
  if (const std::optional<int32_t> hinted = hint()) {
    for (size_t i : tied) {
      if (claims[i].pid != 0 && claims[i].pid == *hinted) return i;
    }
  }
  return tied.front();
}

std::optional<int32_t> findFrontmost(
    const std::vector<GRef<AtspiAccessible>>& apps, ScanCache& cache,
    std::optional<int32_t> (*hint)()) {
  Search search(apps, cache);
  search.run();
  std::vector<Asked>& asked = search.asked();
  std::vector<WindowClaim> claims;
  std::vector<AtspiAccessible*> claimants;
  for (Asked& entry : asked) {
    if (entry.failed || !entry.complete() || !entry.claim.active) continue;
    entry.claim.pid = processIdOf(entry.app, cache).value_or(0);
    claims.push_back(entry.claim);
    claimants.push_back(entry.app);
  }
  // Several applications claim an ACTIVE window: a frame left ACTIVE by an
  // application that lost the keyboard holds no focus.
  if (claims.size() > 1) {
    for (size_t i = 0; i < claims.size(); ++i) {
      if (claims[i].windowFocused) continue;
      ReadContext read(cache);
      claims[i].holdsFocus = focusedElementOf(claimants[i], read) != nullptr;
    }
  }
  const std::optional<size_t> chosen = chooseFrontmost(claims, hint);
  if (!chosen.has_value() || claims[*chosen].pid == 0) return std::nullopt;
  cache.rememberApplication(claims[*chosen].pid, claimants[*chosen]);
  return claims[*chosen].pid;
}

}  // namespace kestreye::atspi
