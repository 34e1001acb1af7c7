#include "platform/atspi/frontmost.h"

#include <dirent.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/unix_diag.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/atspi/startup_advice.h"

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
  /// Its ACTIVE windows, asked with them of a bridge that answers a
  /// Collection search (at-spi2-atk's).
  std::optional<bus::Ticket<bus::Children>> activeWindows;
  /// What that search told: whether the application has an ACTIVE window;
  /// none when it was not answered (GTK 4 and Qt answer none).
  std::optional<bool> claimsActive;
  /// Its one ACTIVE window, when that search found one.
  Node* activeWindow = nullptr;
  /// Chromium's candidates for the focus below that window, asked with its
  /// name when its process is Chromium's (askFocusCandidates).
  std::optional<bus::Ticket<bus::Children>> focusCandidates;
  std::optional<bus::Ticket<std::string>> name;
  std::optional<bus::Ticket<std::string>> toolkit;
  std::optional<bus::Ticket<std::string>> toolkitVersion;
  /// The role and states of its root, which the search for its focus reads
  /// first: asked with its name, a round trip less for the one chosen.
  std::optional<bus::Ticket<uint32_t>> rootRole;
  std::optional<bus::Ticket<std::vector<uint32_t>>> rootStates;
  /// Its snapshot, asked with its name when its process is Firefox's (or
  /// Thunderbird's), which a scan of it reads first (loadSnapshot).
  std::optional<bus::Ticket<std::vector<bus::CacheItem>>> snapshot;
  /// The role and children of its one window, asked with its name when it
  /// told no ACTIVE window (GTK 4, Qt): the search for its focus, which
  /// cannot ask for it by Collection, reads them first.
  std::optional<bus::Ticket<uint32_t>> windowRole;
  std::optional<bus::Ticket<bus::Children>> windowChildren;
  std::vector<std::pair<Node*, bus::Ticket<std::vector<uint32_t>>>> states;
  std::optional<bus::Ticket<uint32_t>> pid;
  std::optional<bool> stopped;  ///< its process, once its id is known
  bool failed = false;
  /// Failed because the wait for the others' answers ended before its own
  /// came: neither hung nor stopped, only slower than they.
  bool late = false;
  bool again = false;       ///< asked again, being late
  bool identified = false;  ///< its name and toolkit asked
  bool chromium = false;
  WindowClaim claim;
};

// Whether an application's windows were all answered (`all`), any (`any`),
// and one of them is ACTIVE.
struct WindowsHeard {
  bool all = true;
  bool any = false;
  bool active = false;
};

WindowsHeard heard(const Asked& entry, bus::Batch& batch) {
  WindowsHeard result;
  for (const auto& [window, ticket] : entry.states) {
    const auto& reply = batch[ticket];
    const bool done = reply.status != bus::CallStatus::NotSent;
    result.all = result.all && done;
    result.any = result.any || done;
    result.active =
        result.active || (reply.ok() && hasState(StateSet{*reply.value, true},
                                                 ATSPI_STATE_ACTIVE));
  }
  return result;
}

// Routes the application's calls through its bridge's socket when one is
// found among its process's descriptors; asked for through the bus when
// none is and `askIfNotFound` (never Chromium: see identify).
void findSocketAmongDescriptors(ScanCache& cache, const Node* app, int32_t pid,
                                bool askIfNotFound) {
  cache.client().setOwnSocket(
      app->ref.bus, [pid] { return bridgeSocketOf(pid, "/proc").value_or(""); },
      askIfNotFound);
}

// Takes the application's name and toolkit from `batch`: whether it is the
// desktop's shell, and how its calls are routed.
void identify(Asked& entry, bus::Batch& batch, ScanCache& cache) {
  entry.identified = true;
  ReadContext read(cache);
  const std::optional<std::string> name =
      read.take(entry.app->ref.bus, batch[*entry.name]);
  entry.claim.shell = isDesktopShell(name.value_or(""));
  ElementMemo& memo = cache.memoOf(entry.app);
  if (name.has_value()) memo.name = *name;
  ReadContext toolkit(cache);
  ToolkitId id;
  id.name =
      toolkit.take(entry.app->ref.bus, batch[*entry.toolkit]).value_or("");
  id.version = toolkit.take(entry.app->ref.bus, batch[*entry.toolkitVersion])
                   .value_or("");
  entry.chromium = id.name == "Chromium";
  // GTK 4 and Qt offer no socket of their own: they are not asked.
  const bool noSocket =
      (id.name == "GTK" && id.version.starts_with("4.")) || id.name == "Qt";
  if (toolkit.ok()) memo.toolkit = std::move(id);
  ReadContext root(cache);
  if (auto role = root.take(entry.app->ref.bus, batch[*entry.rootRole])) {
    memo.role = static_cast<AtspiRole>(*role);
  }
  if (auto words = root.take(entry.app->ref.bus, batch[*entry.rootStates])) {
    memo.states = StateSet{std::move(*words), true};
  }
  if (noSocket || (entry.chromium && !memo.processId.has_value())) {
    cache.client().setOwnSocket(entry.app->ref.bus,
                                [] { return std::string(); });
  } else if (memo.processId.has_value()) {
    // Asking for the socket through the bus makes the asker a client of
    // at-spi2-atk's bridge (see askApplications): once the bridge has
    // opened it, the socket is found among the process's descriptors
    // instead, when a call to the application is first routed. Chromium is
    // never asked (but to wake it).
    findSocketAmongDescriptors(cache, entry.app, *memo.processId,
                               !entry.chromium);
  }
}

// Whether the process is Firefox's or Thunderbird's, by its name: a hint
// only, which its toolkit's name confirms.
bool isGeckoProcess(int32_t pid) {
  const std::optional<std::string> command = processCommand(pid);
  return command.has_value() && (command->starts_with("firefox") ||
                                 command->starts_with("thunderbird"));
}

// Whether the process is Chromium's, by its name: a hint only, which its
// toolkit's name confirms before the scan uses what it brought.
bool isChromiumProcess(int32_t pid) {
  const std::optional<std::string> command = processCommand(pid);
  return command.has_value() &&
         (command->starts_with("chromium") || *command == "chrome");
}

// Whether no application claims an ACTIVE window.
bool unclaimed(const std::vector<Asked>& asked) {
  return std::none_of(asked.begin(), asked.end(), [](const Asked& entry) {
    return !entry.failed && entry.claim.active;
  });
}

// Asks the states of every window listed by the applications of `asked`
// that `wanted` picks, in one batch; stops waiting as Settling says.
void askWindowStates(std::vector<Asked>& asked, ScanCache& cache,
                     Clock::time_point start, bus::Deadline end,
                     const std::function<bool(const Asked&)>& wanted) {
  const auto limit = std::chrono::ceil<std::chrono::milliseconds>(end - start);
  bus::Batch batch(cache.client(), end);
  batch.setViaBus(true);
  batch.setCallLimit(std::max(limit, std::chrono::milliseconds(1)));
  for (Asked& entry : asked) {
    if (entry.failed || !wanted(entry)) continue;
    entry.states.clear();
    const std::vector<NodeRef>& windows = cache.memoOf(entry.app).rawChildren;
    // Only an application with a window can be the frontmost: its name and
    // toolkit come before its windows' states, and those of the others
    // (settings daemons, input methods) are never asked.
    if (!entry.identified && !windows.empty()) {
      entry.name = batch.name(entry.app->ref);
      entry.toolkit = batch.toolkitName(entry.app->ref.bus);
      entry.toolkitVersion = batch.toolkitVersion(entry.app->ref.bus);
      entry.rootRole = batch.role(entry.app->ref);
      entry.rootStates = batch.states(entry.app->ref);
      const std::optional<int32_t>& pid = cache.memoOf(entry.app).processId;
      if (entry.claimsActive == true && pid.has_value() &&
          isGeckoProcess(*pid)) {
        entry.snapshot = batch.cacheItems(entry.app->ref.bus);
      }
      if (entry.activeWindow != nullptr && pid.has_value() &&
          isChromiumProcess(*pid)) {
        // The search goes as the scan's calls to it go, so that its own
        // socket is looked for among its descriptors while Chromium
        // searches (a millisecond that lay on the way of the next batch);
        // it is never asked for it (see identify).
        findSocketAmongDescriptors(cache, entry.app, *pid, false);
        batch.setViaBus(false);
        entry.focusCandidates = askFocusCandidates(batch, entry.activeWindow);
        batch.setViaBus(true);
      }
      if (!entry.claimsActive.has_value() && windows.size() == 1) {
        entry.windowRole = batch.role(windows.front()->ref);
        entry.windowChildren = batch.children(windows.front()->ref);
      }
    }
    // Every window is asked, however many: the active one may come last.
    for (const NodeRef& window : windows) {
      entry.states.emplace_back(window.get(), batch.states(window->ref));
    }
  }
  Settling settling(start, 1);
  batch.run([&]() -> std::optional<Clock::time_point> {
    bool silentOnly = true;
    for (const Asked& entry : asked) {
      if (entry.failed || !wanted(entry)) continue;
      // A snapshot asked is waited for: the scan would ask it again. So is
      // a window's list, which comes right after its states.
      if (entry.snapshot.has_value() &&
          batch[*entry.snapshot].status == bus::CallStatus::NotSent) {
        return std::nullopt;
      }
      if (entry.windowChildren.has_value() &&
          batch[*entry.windowChildren].status == bus::CallStatus::NotSent) {
        return std::nullopt;
      }
      if (entry.focusCandidates.has_value() &&
          batch[*entry.focusCandidates].status == bus::CallStatus::NotSent) {
        return std::nullopt;
      }
    }
    for (const Asked& entry : asked) {
      if (entry.failed || entry.states.empty() || !wanted(entry)) continue;
      const WindowsHeard windows = heard(entry, batch);
      if (windows.all && windows.active) settling.settled();
      if (windows.any && !windows.all) silentOnly = false;
    }
    return settling.stopAt(silentOnly);
  });
  for (Asked& entry : asked) {
    if (entry.failed || !wanted(entry)) continue;
    if (!entry.identified && entry.name.has_value()) {
      identify(entry, batch, cache);
    }
    if (entry.snapshot.has_value() && batch[*entry.snapshot].ok()) {
      cache.memoOf(entry.app).earlySnapshot =
          std::move(*batch[*entry.snapshot].value);
    }
    if (entry.focusCandidates.has_value() &&
        batch[*entry.focusCandidates].ok()) {
      cache.memoOf(entry.activeWindow).earlyCandidates =
          std::move(*batch[*entry.focusCandidates].value);
    }
    if (entry.windowChildren.has_value()) {
      Node* window = cache.memoOf(entry.app).rawChildren.front().get();
      ReadContext read(cache);
      if (auto role = read.take(window->ref.bus, batch[*entry.windowRole])) {
        cache.memoOf(window).role = static_cast<AtspiRole>(*role);
      }
      ReadContext listRead(cache);
      if (auto listed =
              listRead.take(window->ref.bus, batch[*entry.windowChildren])) {
        keepListedChildren(window, std::move(*listed), listRead);
      }
    }
    for (auto& [window, ticket] : entry.states) {
      ReadContext read(cache);
      std::optional<std::vector<uint32_t>> words =
          read.take(window->ref.bus, batch[ticket]);
      if (!read.ok() || !words.has_value()) {
        entry.failed = true;
        entry.late = batch[ticket].status == bus::CallStatus::NotSent;
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

// Whether the application's process is stopped (SIGSTOP, a debugger, a
// shell's job control), once the bus daemon has told its id: such a process
// answers nothing until it goes on, and is not waited for.
bool stoppedProcess(Asked& entry, bus::Batch& batch) {
  if (!entry.stopped.has_value()) {
    const auto& pid = batch[*entry.pid];
    if (pid.status == bus::CallStatus::NotSent) return false;
    entry.stopped = pid.ok() && *pid.value != 0 &&
                    isStopped(static_cast<int32_t>(*pid.value), "/proc");
  }
  return *entry.stopped;
}

// Asks every application at once, through the bus (an application's own
// socket would first cost a question of its own), for its windows and those
// of them ACTIVE, and the bus daemon for its process id, then those with an
// ACTIVE window (or that did not say) for their name and toolkit and the
// states of their windows, each call with its own limit, the answers taken
// as they come.
//
// No application is asked here for its own socket: at-spi2-atk counts the
// connection that asks as a client of its bridge, starting its event and
// key listeners for it and stopping them when the scan leaves, in every
// application on the desktop at every scan. Only the application read is
// asked, when it is first read (bus::Batch). Chromium is asked it once more,
// when none of its windows is ACTIVE and no application has an ACTIVE
// window (Chromium marks none until some client has asked it): its bridge
// serves a client that asked through the bus only while that client stays
// on the bus, and Chromium crashes when the last such client leaves while
// it hands a key press to the bridge (a scan per key killed it within a few
// keys). Once started, it keeps its states without one, and its calls go
// through the bus.
// Only the applications `wanted` picks are asked, until `end` at the latest.
void askApplications(std::vector<Asked>& asked, ScanCache& cache,
                     Clock::time_point start, bus::Deadline end,
                     const std::function<bool(const Asked&)>& wanted) {
  const auto limit = std::chrono::ceil<std::chrono::milliseconds>(end - start);
  auto done = [](const auto& reply) {
    return reply.status != bus::CallStatus::NotSent;
  };

  bus::Batch first(cache.client(), end);
  first.setViaBus(true);
  first.setCallLimit(std::max(limit, std::chrono::milliseconds(1)));
  for (Asked& entry : asked) {
    if (!wanted(entry)) continue;
    if (cache.isHung(entry.app->ref.bus)) {
      entry.failed = true;
      continue;
    }
    entry.windows = first.children(entry.app->ref);
    entry.activeWindows =
        first.matchingStates(entry.app->ref, stateWords({ATSPI_STATE_ACTIVE}),
                             0, false, /*wholeSubtree=*/false);
    entry.pid = first.processId(entry.app->ref.bus);
  }
  // The first answers alone never end the wait at once (not every
  // application tells its ACTIVE windows, nor whether one holds the focus),
  // unless only stopped processes are left to answer.
  Settling settling(start, 1);
  first.run([&]() -> std::optional<Clock::time_point> {
    bool onlyStoppedLeft = true;
    for (Asked& entry : asked) {
      if (entry.failed || !wanted(entry)) continue;
      const bool windows = done(first[*entry.windows]);
      if (windows && first[*entry.windows].ok() &&
          !first[*entry.windows].value->refs.empty()) {
        settling.settled();
      }
      // Its ACTIVE windows come right after its windows.
      if (!windows || !done(first[*entry.activeWindows])) {
        onlyStoppedLeft = onlyStoppedLeft && stoppedProcess(entry, first);
      }
    }
    return onlyStoppedLeft ? std::optional(start) : settling.stopAt(false);
  });

  for (Asked& entry : asked) {
    if (entry.failed || !wanted(entry)) continue;
    ElementMemo& memo = cache.memoOf(entry.app);
    if (first[*entry.pid].ok() && *first[*entry.pid].value != 0) {
      memo.processId = static_cast<int32_t>(*first[*entry.pid].value);
    }
    ReadContext windows(cache);
    std::optional<bus::Children> listed =
        windows.take(entry.app->ref.bus, first[*entry.windows]);
    if (!windows.ok() || !listed.has_value()) {
      entry.failed = true;
      entry.late = first[*entry.windows].status == bus::CallStatus::NotSent;
      continue;
    }
    memo.rawChildrenRead = true;
    memo.rawChildren.clear();
    for (const bus::ObjectRef& ref : listed->refs) {
      if (Node* window = cache.intern(ref))
        memo.rawChildren.push_back(share(window));
    }
    const auto& active = first[*entry.activeWindows];
    if (active.ok()) {
      entry.claimsActive = !active.value->refs.empty();
      if (active.value->refs.size() == 1) {
        entry.activeWindow = cache.intern(active.value->refs.front());
      }
    }
  }
  // The states of the windows of an application that claims an ACTIVE
  // window, or that did not say, are asked with its name and toolkit; the
  // others (the applications behind) are asked nothing more unless none
  // claims the place.
  askWindowStates(asked, cache, start, end, [&wanted](const Asked& entry) {
    return wanted(entry) && entry.claimsActive != false;
  });
  if (!unclaimed(asked)) return;
  askWindowStates(asked, cache, Clock::now(), end,
                  [&wanted](const Asked& entry) {
                    return wanted(entry) && entry.claimsActive == false;
                  });
}

// askApplications() of every application; then, when none claims the
// place, of those the wait left behind, once more.
void askEveryApplication(std::vector<Asked>& asked, ScanCache& cache) {
  const auto start = Clock::now();
  const auto end = cache.readsEnd() != ScanDeadline::max()
                       ? cache.readsEnd()
                       : start + std::chrono::milliseconds(kCallTimeoutMs);
  const auto limit = std::chrono::ceil<std::chrono::milliseconds>(end - start);
  askApplications(asked, cache, start, end, [](const Asked&) { return true; });
  // The frontmost application may be the one the wait left behind: GTK 4
  // answers through the bus daemon once it has drawn its frame, which on a
  // loaded machine may come after the other applications' answers and the
  // wait. When no other claims the place, the late ones are asked again,
  // for a while longer.
  const bool lateOnes =
      std::any_of(asked.begin(), asked.end(),
                  [](const Asked& entry) { return entry.late; });
  if (unclaimed(asked) && lateOnes) {
    constexpr std::chrono::milliseconds kLateWait{100};
    for (Asked& entry : asked) {
      if (!entry.late) continue;
      Node* app = entry.app;
      entry = Asked{};
      entry.app = app;
      entry.again = true;
    }
    const auto now = Clock::now();
    askApplications(asked, cache, now, std::min(end, now + kLateWait),
                    [](const Asked& entry) { return entry.again; });
  }
  const bool claimed = !unclaimed(asked);
  const auto asleep = [](const Asked& entry) {
    return entry.chromium && !entry.claim.active && !entry.states.empty();
  };
  if (claimed || std::none_of(asked.begin(), asked.end(), asleep)) return;
  {
    bus::Batch wake(cache.client(), end);
    wake.setViaBus(true);
    wake.setAskerLeaves(true);
    wake.setCallLimit(std::max(limit, std::chrono::milliseconds(1)));
    std::vector<std::pair<const Asked*, bus::Ticket<std::string>>> sockets;
    for (Asked& entry : asked) {
      if (!entry.failed && asleep(entry)) {
        sockets.emplace_back(&entry,
                             wake.applicationBusAddress(entry.app->ref.bus));
      }
    }
    wake.run();
    for (const auto& [entry, ticket] : sockets) {
      if (wake[ticket].ok()) {
        cache.client().setOwnSocket(
            entry->app->ref.bus,
            [address = *wake[ticket].value] { return address; });
      }
    }
  }
  askWindowStates(asked, cache, Clock::now(), end, asleep);
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

bool isStopped(int32_t pid, const std::string& proc) {
  std::ifstream file(proc + "/" + std::to_string(pid) + "/stat");
  std::string stat;
  std::getline(file, stat);
  // "PID (COMMAND) STATE ...": the command may hold spaces and parentheses.
  const size_t close = stat.rfind(')');
  if (close == std::string::npos || close + 2 >= stat.size()) return false;
  const char state = stat[close + 2];
  return state == 'T' || state == 't';
}

namespace {

// Whether a socket's path is where at-spi2-atk puts a bridge's socket, and
// plain enough to stand in an address as it is.
bool isBridgePath(std::string_view path) {
  return path.starts_with("/") &&
         path.find("/at-spi2-") != std::string_view::npos &&
         std::all_of(path.begin(), path.end(), [](char c) {
           return std::isalnum(static_cast<unsigned char>(c)) ||
                  std::string_view("/._-").find(c) != std::string_view::npos;
         });
}

}  // namespace

std::optional<std::unordered_map<uint64_t, std::string>>
listeningBridgeSockets() {
  const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
  if (fd < 0) return std::nullopt;
  struct Request {
    nlmsghdr header;
    unix_diag_req request;
  } ask{};
  ask.header.nlmsg_len = sizeof ask;
  ask.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  ask.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  ask.request.sdiag_family = AF_UNIX;
  constexpr int kListening = 10;  // TCP_LISTEN
  ask.request.udiag_states = 1u << kListening;
  ask.request.udiag_show = UDIAG_SHOW_NAME;
  std::unordered_map<uint64_t, std::string> listening;
  bool whole = false;
  if (send(fd, &ask, sizeof ask, 0) == static_cast<ssize_t>(sizeof ask)) {
    alignas(nlmsghdr) char buffer[32768];
    bool failed = false;
    while (!whole && !failed) {
      ssize_t size = recv(fd, buffer, sizeof buffer, 0);
      if (size <= 0) break;
      for (auto* header = reinterpret_cast<nlmsghdr*>(buffer);
           NLMSG_OK(header, size); header = NLMSG_NEXT(header, size)) {
        if (header->nlmsg_type == NLMSG_DONE) {
          whole = true;
          break;
        }
        if (header->nlmsg_type != SOCK_DIAG_BY_FAMILY ||
            header->nlmsg_len < NLMSG_LENGTH(sizeof(unix_diag_msg))) {
          failed = true;  // an error, or not the answer asked for
          break;
        }
        const auto* socket =
            static_cast<const unix_diag_msg*>(NLMSG_DATA(header));
        int left = static_cast<int>(header->nlmsg_len -
                                    NLMSG_LENGTH(sizeof(unix_diag_msg)));
        for (auto* attribute = reinterpret_cast<const rtattr*>(socket + 1);
             RTA_OK(attribute, left); attribute = RTA_NEXT(attribute, left)) {
          if (attribute->rta_type != UNIX_DIAG_NAME) continue;
          std::string_view path(static_cast<const char*>(RTA_DATA(attribute)),
                                RTA_PAYLOAD(attribute));
          // A path bound with the whole address's length ends in zeros.
          if (path.starts_with('/')) path = path.substr(0, path.find('\0'));
          if (isBridgePath(path)) {
            listening.emplace(socket->udiag_ino, std::string(path));
          }
        }
      }
    }
  }
  close(fd);
  if (!whole) return std::nullopt;
  return listening;
}

std::optional<std::string> bridgeSocketOf(int32_t pid,
                                          const std::string& proc) {
  // The sockets listening at the paths at-spi2-atk gives them, one for each
  // bridge that opened one, by inode: asked of the kernel (only listening
  // ones, where the table lists every socket, thousands on a desktop), else
  // read from the table (Num RefCount Protocol Flags Type St Inode Path; the
  // flag __SO_ACCEPTCON, 00010000, marks a listening one), only the lines
  // of such paths field by field.
  std::optional<std::unordered_map<uint64_t, std::string>> asked;
  if (proc == "/proc") asked = listeningBridgeSockets();
  std::unordered_map<uint64_t, std::string> listening;
  if (asked.has_value()) {
    listening = std::move(*asked);
  } else {
    std::ifstream table(proc + "/net/unix");
    std::string line;
    while (std::getline(table, line)) {
      if (line.find("/at-spi2-") == std::string::npos) continue;
      std::istringstream fields(line);
      std::string num, refs, protocol, flags, type, state, path;
      uint64_t inode = 0;
      if (!(fields >> num >> refs >> protocol >> flags >> type >> state >>
            inode >> path)) {
        continue;
      }
      // Only a plain path is passed on, as it stands in an address.
      if (flags == "00010000" && isBridgePath(path)) {
        listening.emplace(inode, std::move(path));
      }
    }
  }
  if (listening.empty()) return std::nullopt;
  // The process's own among them, by its descriptors ("socket:[INODE]"),
  // newest first: a bridge opens its socket when its first client asks,
  // after most of what the process opens at its start (the last of
  // gtk3-widget-factory's 13, the 21st of LibreOffice's 21, the 78th of
  // Firefox's 127).
  const std::string fds = proc + "/" + std::to_string(pid) + "/fd";
  DIR* dir = opendir(fds.c_str());
  if (dir == nullptr) return std::nullopt;
  std::vector<int> numbers;
  while (const dirent* entry = readdir(dir)) {
    char* end = nullptr;
    const long number = std::strtol(entry->d_name, &end, 10);
    if (end != entry->d_name && *end == '\0' && number >= 0) {
      numbers.push_back(static_cast<int>(number));
    }
  }
  std::sort(numbers.rbegin(), numbers.rend());
  std::optional<std::string> found;
  for (const int number : numbers) {
    char target[64];
    const ssize_t size = readlinkat(dirfd(dir), std::to_string(number).c_str(),
                                    target, sizeof target - 1);
    const std::string_view link(target, size > 0 ? size_t(size) : 0);
    if (!link.starts_with("socket:[") || !link.ends_with("]")) continue;
    uint64_t inode = 0;
    const std::string_view digits = link.substr(8, link.size() - 9);
    const auto [rest, error] =
        std::from_chars(digits.data(), digits.data() + digits.size(), inode);
    if (error != std::errc() || rest != digits.data() + digits.size()) continue;
    const auto own = listening.find(inode);
    if (own != listening.end()) {
      found = "unix:path=" + own->second;
      break;
    }
  }
  closedir(dir);
  return found;
}

}  // namespace kestreye::atspi
