#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "platform/atspi/atspi_private.h"
#include "platform/atspi/startup_advice.h"

namespace kestreye::atspi {
namespace {

// After a wake read: asks for the focus below `window` every 50 ms, at most
// `tries` times, while the reads succeed, until `settled` accepts what it
// finds. What the scan read of the window's subtree predates the page. The last
// focus found, or null.
template <class Settled>
NodeRef pollFocus(Node* window, int tries, ReadContext& read, Settled settled) {
  NodeRef last;
  for (int i = 0; i < tries; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    read.cache().forgetElements();
    NodeRef now = focusBelow(window, read);
    if (!read.ok()) break;
    if (now == nullptr) continue;
    const bool done = settled(now.get());
    last = std::move(now);
    if (done) break;
  }
  return last;
}

// A page's document that Chromium exposes, focused, before the renderer has
// sent its tree: it has no children yet.
bool emptyPage(Node* node, ReadContext& read) {
  const AtspiRole role = roleOf(node, read);
  if (role != ATSPI_ROLE_DOCUMENT_WEB && role != ATSPI_ROLE_DOCUMENT_FRAME) {
    return false;
  }
  ReadContext probe = read.fresh();
  return childCountOf(node, probe) == 0 && probe.ok();
}

// Milliseconds since `start`, for the log lines of the waits.
std::string millisecondsSince(std::chrono::steady_clock::time_point start) {
  return std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - start)
                            .count());
}

}  // namespace

// Chromium registers its windows with an empty web view and builds the page's
// tree once a client reads a window's object attributes (a screen reader
// does at once); the tree comes some 50 ms later. The read is harmless
// anywhere; the wait, up to a second, is for Chromium only. The focused
// element, or null after the wait.
NodeRef wakeAndFindFocus(Node* app, Node* window, ReadContext& read) {
  ReadContext local = read.fresh();
  (void)objectAttribute(window, {"toolkit"}, local);
  if (!local.ok() || toolkitOf(app, local).name != "Chromium") return nullptr;
  auto any = [](Node*) { return true; };
  if (auto focused = pollFocus(window, 20, read, any)) return focused;
  if (!read.ok()) return nullptr;
  if (const std::optional<int32_t> pid = processIdOf(app, read.cache())) {
    writeLogLine(emptyWindowAdvice(processCommand(*pid).value_or(""), *pid));
  }
  return nullptr;
}

// A page that has just loaded may show its focused document before its
// tree: the first scan after Chromium starts then read the browser's window
// around an empty page. The same wake as for an empty web view brings the
// tree; the wait is shorter (a quarter of a second), since a page may really
// be empty: a blank page with the focus costs each scan that wait, logged.
NodeRef awaitChromiumPage(Node* app, Node* window, NodeRef focused,
                          ReadContext& read) {
  if (!emptyPage(focused.get(), read)) return focused;
  ReadContext local = read.fresh();
  if (toolkitOf(app, local).name != "Chromium") return focused;
  (void)objectAttribute(window, {"toolkit"}, local);
  if (!local.ok()) return focused;
  const auto start = std::chrono::steady_clock::now();
  auto built = [&read](Node* node) { return !emptyPage(node, read); };
  NodeRef found = pollFocus(window, 5, read, built);
  if (read.ok()) {
    writeLogLine("[kestreye] Chromium's focused page had no tree yet: waited " +
                 millisecondsSince(start) + " ms for it");
  }
  return found != nullptr ? std::move(found) : std::move(focused);
}

// Firefox sends each kind of data (bounds, object attributes, relations,
// ...) to the process that answers clients only once some client has asked
// for it: its first answers after it starts are (-1, -1, -1, -1) bounds and
// no object attributes, and the data follows some 50 ms later, each kind on
// its own. A Firefox that is awake answers at once, and then an element
// without bounds has none to give (Monaco's hidden textarea keeps
// (-1, -1, -1, -1) for good): it is taken as it is.
// The focused element's frame, attributes and relations come with the
// window's read-ahead, and their answers tell: bounds, or attributes, mean
// Firefox is awake. Otherwise it is waking, and the bounds are awaited (up
// to half a second), everything read so far forgotten, and the wait logged.
// Relations tell nothing here: a label's LABELLED_BY answers while the
// attributes are still missing. Nor do attributes that come during the
// wait: the read-ahead asked for them, and they may come before the
// bounds; only once they have come and the bounds have not after one more
// try is the element taken as one without bounds.
// Firefox is busy meanwhile: a slow answer to these probes ends the wait but
// does not count against the application.
void awaitGeckoData(Node* app, Node* focused, ReadContext& read) {
  ReadContext first = read.fresh();
  if (toolkitOf(app, first).name != "Gecko" || !first.ok()) return;
  constexpr unsigned kProbes =
      kPrefetchExtents | kPrefetchAttributes | kPrefetchRelations;
  readWindowAhead(focused, read, {{focused, kProbes}});
  fetch(focused, kProbes, first);
  if (!first.ok()) return;
  const ElementMemo& memo = read.memo(focused);
  if (memo.extents.has_value() || !memo.extentsUnknown || !memo.hasComponent ||
      (memo.attributes.has_value() && !memo.attributes->empty())) {
    return;
  }
  ScanCache probes(read.cache().client());
  ReadContext probe(probes);
  Node* target = probes.intern(focused->ref);
  auto boundsUnknown = [&] {
    const std::optional<Rect> rect =
        probe.ask(target, [](bus::Batch& batch, const bus::ObjectRef& ref) {
          return batch.extents(ref, bus::CoordType::Screen);
        });
    return probe.ok() && rect.has_value() && rect->x == -1 && rect->y == -1 &&
           rect->width == -1 && rect->height == -1;
  };
  auto attributed = [&] {
    const std::optional<bus::Attributes> attributes =
        probe.ask(target, [](bus::Batch& batch, const bus::ObjectRef& ref) {
          return batch.attributes(ref);
        });
    return attributes.has_value() && !attributes->empty();
  };
  const auto start = std::chrono::steady_clock::now();
  bool attributesCame = false;
  for (int tries = 0; tries < 10 && probe.ok(); ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (!boundsUnknown()) break;
    if (attributesCame) break;
    attributesCame = attributed();
  }
  read.cache().forgetElements();
  std::string line =
      "[kestreye] waited " + millisecondsSince(start) + " ms for Firefox";
  if (const std::optional<int32_t> pid = processIdOf(app, read.cache())) {
    line += " (pid " + std::to_string(*pid) + ")";
  }
  writeLogLine(line + " to hand out the focused element's data");
}

}  // namespace kestreye::atspi
