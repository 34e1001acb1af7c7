#include "platform/atspi/frontmost.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <string>
#include <utility>

namespace kestreye::atspi {
namespace {

using Clock = std::chrono::steady_clock;

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

// The time by which a search that asks every application at once stops
// waiting: `factor` times as long again as the first application that
// settles took (the others that answer at all answer about as fast), at
// least kMinWait from the start, and at once when only applications that
// have answered nothing are left. A stopped or
// stalled application costs at most that, not its whole limit.
class Settling {
 public:
  static constexpr std::chrono::milliseconds kMinWait{15};
  Settling(Clock::time_point start, int factor)
      : start_(start), factor_(factor) {}
  /// Notes that an application settled (now, unless noted before).
  void settled() {
    if (!until_.has_value()) {
      const auto now = Clock::now();
      // A busy application (GTK 4's answers come through the bus daemon,
      // after its frame is drawn) may trail a fast one by some milliseconds:
      // it is given at least kMinWait from the start.
      until_ = std::max(now + (now - start_) * factor_, start_ + kMinWait) +
               std::chrono::milliseconds(1);
    }
  }
  /// When to stop: the time noted, or at once when `onlySilentLeft`.
  std::optional<Clock::time_point> stopAt(bool onlySilentLeft) const {
    if (!until_.has_value()) return std::nullopt;
    return onlySilentLeft ? start_ : *until_;
  }

 private:
  Clock::time_point start_;
  int factor_;
  std::optional<Clock::time_point> until_;
};

// What is known of one application while the answers come in.
struct Asked {
  Node* app = nullptr;
  std::optional<bus::Ticket<bus::Children>> windows;
  std::optional<bus::Ticket<std::string>> name;
  std::vector<std::pair<Node*, bus::Ticket<std::vector<uint32_t>>>> states;
  std::optional<bus::Ticket<uint32_t>> pid;
  bool failed = false;
  WindowClaim claim;
};

// Asks every application at once, through the bus (an application's own
// socket would first cost a question of its own), for its windows and
// name, then for the states of all their windows, each call with its own
// limit, the answers taken as they come.
void askEveryApplication(std::vector<Asked>& asked, ScanCache& cache) {
  const auto start = Clock::now();
  const auto end = cache.readsEnd() != ScanDeadline::max()
                       ? cache.readsEnd()
                       : start + std::chrono::milliseconds(kCallTimeoutMs);
  const auto limit = std::chrono::ceil<std::chrono::milliseconds>(end - start);
  auto done = [](const auto& reply) {
    return reply.status != bus::CallStatus::NotSent;
  };

  bus::Batch first(cache.client(), end);
  first.setViaBus(true);
  first.setCallLimit(std::max(limit, std::chrono::milliseconds(1)));
  for (Asked& entry : asked) {
    if (cache.isHung(entry.app->ref.bus)) {
      entry.failed = true;
      continue;
    }
    entry.windows = first.children(entry.app->ref);
    entry.name = first.name(entry.app->ref);
    // The question a client asks first: it is also what makes an
    // application's bridge start its work for clients (Chromium marks no
    // window ACTIVE until some client has asked it).
    (void)first.applicationBusAddress(entry.app->ref.bus);
  }
  // Which application has an ACTIVE window is told only by the second
  // question: the first answers alone never end the wait at once.
  Settling settling(start, 1);
  first.run([&]() -> std::optional<Clock::time_point> {
    for (const Asked& entry : asked) {
      if (entry.failed) continue;
      const bool windows = done(first[*entry.windows]);
      const bool name = done(first[*entry.name]);
      if (windows && name && first[*entry.windows].ok() &&
          !first[*entry.windows].value->refs.empty()) {
        settling.settled();
      }
    }
    return settling.stopAt(false);
  });

  bus::Batch second(cache.client(), end);
  second.setViaBus(true);
  second.setCallLimit(std::max(limit, std::chrono::milliseconds(1)));
  for (Asked& entry : asked) {
    if (entry.failed) continue;
    ReadContext read(cache);
    const std::optional<std::string> name =
        read.take(entry.app->ref.bus, first[*entry.name]);
    entry.claim.shell = isDesktopShell(name.value_or(""));
    if (name.has_value()) cache.memoOf(entry.app).name = *name;
    ReadContext windows(cache);
    std::optional<bus::Children> listed =
        windows.take(entry.app->ref.bus, first[*entry.windows]);
    if (!windows.ok() || !listed.has_value()) {
      entry.failed = true;
      continue;
    }
    // Every window is asked, however many: the active one may come last.
    ElementMemo& memo = cache.memoOf(entry.app);
    memo.rawChildrenRead = true;
    memo.rawChildren.clear();
    for (const bus::ObjectRef& ref : listed->refs) {
      Node* window = cache.intern(ref);
      if (window == nullptr) continue;
      memo.rawChildren.push_back(share(window));
      entry.states.emplace_back(window, second.states(ref));
    }
    // The bus daemon tells the process ids, in the same batch.
    if (!entry.states.empty()) entry.pid = second.processId(entry.app->ref.bus);
  }
  Settling settlingStates(start, 1);
  second.run([&]() -> std::optional<Clock::time_point> {
    bool silentOnly = true;
    for (const Asked& entry : asked) {
      if (entry.failed || entry.states.empty()) continue;
      bool all = true;
      bool any = false;
      bool active = false;
      for (const auto& [window, ticket] : entry.states) {
        const auto& reply = second[ticket];
        all = all && done(reply);
        any = any || done(reply);
        active = active || (reply.ok() && hasState(StateSet{*reply.value, true},
                                                   ATSPI_STATE_ACTIVE));
      }
      if (all && active) settlingStates.settled();
      if (any && !all) silentOnly = false;
    }
    return settlingStates.stopAt(silentOnly);
  });
  for (Asked& entry : asked) {
    if (entry.failed) continue;
    if (entry.pid.has_value() && second[*entry.pid].ok() &&
        *second[*entry.pid].value != 0) {
      cache.memoOf(entry.app).processId =
          static_cast<int32_t>(*second[*entry.pid].value);
    }
    for (auto& [window, ticket] : entry.states) {
      ReadContext read(cache);
      std::optional<std::vector<uint32_t>> words =
          read.take(window->ref.bus, second[ticket]);
      if (!read.ok() || !words.has_value()) {
        entry.failed = true;
        continue;
      }
      StateSet states{std::move(*words), true};
      cache.memoOf(window).states = states;
      if (hasState(states, ATSPI_STATE_ACTIVE)) {
        // Of several ACTIVE windows (a combo box's list beside its frame), a
        // FOCUSED one speaks for the application.
        entry.claim.windowFocused =
            entry.claim.windowFocused || hasState(states, ATSPI_STATE_FOCUSED);
        entry.claim.active = true;
      }
    }
  }
}

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

std::optional<int32_t> findFrontmost(const std::vector<NodeRef>& apps,
                                     ScanCache& cache,
                                     std::optional<int32_t> (*hint)()) {
  std::vector<Asked> asked;
  asked.reserve(apps.size());
  for (const NodeRef& app : apps) {
    Asked entry;
    entry.app = app.get();
    asked.push_back(std::move(entry));
  }
  askEveryApplication(asked, cache);
  std::vector<WindowClaim> claims;
  std::vector<Node*> claimants;
  for (Asked& entry : asked) {
    if (entry.failed || !entry.claim.active) continue;
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
