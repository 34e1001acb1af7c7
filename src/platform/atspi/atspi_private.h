// What the files of the AT-SPI platform share: the per-scan cache of what
// was read and the hung applications, the read context every libatspi call
// goes through, and the reads each file offers the others.
//   element_cache.cpp  the scan's cache and memoised element reads (role,
//                      states, name, parent, frame, label)
//   text_reads.cpp     texts (embedded objects and text frames put in place),
//                      caret and selection
//   children.cpp       children listing
//   focus_search.cpp   the active window and the focused element
//   browser_wake.cpp   the waits for Chromium's and Firefox's late trees
//   focus_stand_in.cpp the control the user sees focused, where the toolkit
//                      marks another element or none
//   attributes.cpp     macOS attributes from AT-SPI reads
//   atspi_platform.cpp start-up, logging and the Platform itself
#pragma once

#include <atspi/atspi.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "platform/atspi/atspi_platform.h"
#include "platform/atspi/embedded_text.h"
#include "platform/atspi/glib_owned.h"
#include "platform/platform.h"

namespace kestreye::atspi {

/// How much of the time left before a scan's reads end one call may take.
/// libatspi gives up on a call after its limit, but the wait can run to twice
/// the limit; a call that took its whole limit is taken as a timeout even when
/// it brought something back, because libatspi then hands out empty names, a
/// caret of -1 or a state set of {DEFUNCT} without any error.
enum class Patience {
  Half,      ///< ends before the reads end, however long libatspi waits
  Whole,     ///< may run past the reads' end into the watchdog's answer: the
             ///< first call to an application (which waits for its whole cache
             ///< snapshot) and the focus search (a walk over a large window),
             ///< both slow in a large application
  BusDaemon  ///< Half, for a call that the bus daemon answers, not the
             ///< application: no contact with it
};

/// What the scan already learned about one element. A scan is one snapshot
/// of the desktop, so the slow reads (text, extents, relations) are made once
/// per element and shared by the attributes that need them.
struct ElementMemo {
  std::optional<AtspiRole> role;
  GRef<AtspiStateSet> states;
  std::optional<std::string> name;
  std::optional<std::string> description;
  bool parentRead = false;
  GRef<AtspiAccessible> parent;
  bool childrenRead = false;
  std::vector<GRef<AtspiAccessible>> children;
  bool textRead = false;
  std::optional<std::string> text;
  /// For a paragraph of a text frame (see frameParagraphs): the frame's
  /// whole text, and where this paragraph's text starts in it, in code
  /// points.
  bool frameRead = false;
  std::optional<std::string> frameText;
  int64_t frameStart = 0;
  /// For a text frame: its paragraphs, when it was asked for them.
  bool paragraphsRead = false;
  std::vector<GRef<AtspiAccessible>> paragraphs;
  /// The raw text mapped onto `text`, when it held embedded objects.
  std::optional<FlatText> flat;
  std::vector<GRef<AtspiAccessible>> embedded;  ///< one per object
  std::vector<EmbeddedText> objects;
  bool selectionRead = false;
  int64_t caret = -1;
  std::optional<std::pair<int64_t, int64_t>> selection;  ///< in code points
  int64_t characterCount = -1;  ///< the toolkit's count, in its own units
  /// The state that tells this element's children on screen (see children.cpp).
  AtspiStateType childrenOnScreen = ATSPI_STATE_SHOWING;
  bool extentsRead = false;
  bool hasComponent = false;
  /// The extents read were (-1, -1, -1, -1): Gecko's answer before it has
  /// sent any bounds.
  bool extentsUnknown = false;
  std::optional<AtspiRect> extents;
  bool labelRead = false;
  std::optional<std::string> label;
  std::optional<int32_t> processId;  ///< applications only
  std::optional<bool> gtk4;          ///< applications only: built with GTK 4
  /// The focus stands on this element although it is not FOCUSED (GTK 3's
  /// combo box, whose focused button is not exposed; GTK 4's drop-down,
  /// whose drawn button is; an editable document whose focused body
  /// Chromium exposes).
  bool focusStandIn = false;
};

/// Everything one scan learned; it goes, with the references it holds, when
/// the scan ends.
class ScanCache {
 public:
  ScanCache() = default;
  ScanCache(const ScanCache&) = delete;
  ScanCache& operator=(const ScanCache&) = delete;
  ~ScanCache();

  /// The memo of an element, made empty on first use.
  ElementMemo& memoOf(AtspiAccessible* node);
  /// Whether the application let a call time out during this scan.
  bool isHung(const AtspiApplication* app) const {
    return hung_.count(app) != 0;
  }
  /// Whether the element's application let a call time out during this
  /// scan.
  bool hangs(const AtspiAccessible* node) const {
    return node->parent.app != nullptr && isHung(node->parent.app);
  }
  /// Remembers that the application let a call time out.
  void markHung(const AtspiApplication* app) { hung_.insert(app); }
  /// The application of a process id found during this scan, or null.
  AtspiAccessible* applicationOf(int32_t pid) const;
  /// Remembers the application of a process id.
  void rememberApplication(int32_t pid, AtspiAccessible* app);
  /// Forgets what was read of every element, for an application whose
  /// answers changed during the scan.
  void forgetElements();
  /// When the scan's reads end: no call is made after it.
  ScanDeadline readsEnd() const { return readsEnd_; }
  /// Sets when the scan's reads end.
  void setReadsEnd(ScanDeadline readsEnd) { readsEnd_ = readsEnd; }
  /// True the first time it is asked for an application in this scan.
  bool firstContact(const AtspiApplication* app) {
    return contacted_.insert(app).second;
  }
  /// The Collection rule that matches SHOWING elements, made on first use
  /// (children.cpp).
  AtspiMatchRule* showingRule();

 private:
  // Applications that let one call time out; their later reads fail at once.
  std::unordered_set<const AtspiApplication*> hung_;
  // Applications called during this scan.
  std::unordered_set<const AtspiApplication*> contacted_;
  ScanDeadline readsEnd_ = ScanDeadline::max();
  // Each key holds one reference, so no address is reused for another
  // element while the scan runs.
  std::unordered_map<AtspiAccessible*, ElementMemo> memos_;
  std::unordered_map<int32_t, AtspiAccessible*>
      applicationByPid_;  // referenced
  GRef<AtspiMatchRule> showingRule_;
};

/// One read in progress: the scan's cache it reads through, and the first
/// failure of the libatspi calls it made, which later calls of the same read
/// see.
class ReadContext {
 public:
  /// A context whose calls take `patience` unless they say otherwise.
  explicit ReadContext(ScanCache& cache, Patience patience = Patience::Half)
      : cache_(cache), patience_(patience) {}

  /// A context on the same cache without a failure, for a part of the read
  /// whose failure is judged apart.
  ReadContext fresh() const {
    ReadContext context(cache_, patience_);
    context.embeddingDepth_ = embeddingDepth_;
    return context;
  }
  /// True while no call failed.
  bool ok() const { return failure_ == kAxSuccess; }
  /// The first failure's code, or kAxSuccess.
  int32_t failure() const { return failure_; }
  /// Notes a failure unless an earlier one was noted.
  void fail(int32_t code) {
    if (failure_ == kAxSuccess) failure_ = code;
  }
  /// The scan's cache.
  ScanCache& cache() const { return cache_; }
  /// The memo of an element in the scan's cache.
  ElementMemo& memo(AtspiAccessible* node) const { return cache_.memoOf(node); }
  /// How deep this read stands inside the texts of embedded objects.
  int embeddingDepth() const { return embeddingDepth_; }
  /// Runs `read` one level deeper inside embedded objects.
  template <class F>
  auto insideEmbedded(F read) {
    ++embeddingDepth_;
    auto result = read();
    --embeddingDepth_;
    return result;
  }

  /// Runs one libatspi call for `target`, unless its application is known
  /// to be hung or the scan's reads have ended, with the part of the time
  /// left that `patience` gives it (the first call to an application has
  /// the whole of it): a slow answer is no hang. A call that runs out its
  /// time marks the application hung; a lost application or any other error
  /// is noted as the read's failure.
  template <class F>
  auto call(AtspiAccessible* target, F call, Patience patience = Patience::Half)
      -> decltype(call(static_cast<GError**>(nullptr)));

 private:
  ScanCache& cache_;
  Patience patience_;
  int32_t failure_ = kAxSuccess;
  int embeddingDepth_ = 0;
};

template <class F>
auto ReadContext::call(AtspiAccessible* target, F call, Patience patience)
    -> decltype(call(static_cast<GError**>(nullptr))) {
  using Result = decltype(call(static_cast<GError**>(nullptr)));
  using Clock = std::chrono::steady_clock;
  const AtspiApplication* app =
      target == nullptr ? nullptr : target->parent.app;
  if (app == nullptr) {
    fail(kAxInvalidElement);
    return Result{};
  }
  const auto start = Clock::now();
  if (cache_.isHung(app) || start >= cache_.readsEnd()) {
    fail(kAxCannotComplete);
    return Result{};
  }
  if (patience != Patience::BusDaemon &&
      (cache_.firstContact(app) || patience_ == Patience::Whole)) {
    patience = Patience::Whole;
  }
  // Outside a scan (a test reading the platform directly) a call keeps the
  // platform's own limit.
  int timeoutMs = kCallTimeoutMs;
  if (cache_.readsEnd() != ScanDeadline::max()) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        cache_.readsEnd() - start);
    timeoutMs = static_cast<int>(std::clamp<int64_t>(
        patience == Patience::Whole ? left.count() : left.count() / 2, 1,
        std::numeric_limits<int>::max()));
  }
  // No start-up grace: in a one-shot process every application is new, and
  // libatspi would otherwise wait up to 15 s for each one.
  atspi_set_timeout(timeoutMs, 0);
  GError* error = nullptr;
  Result result = call(&error);
  if (Clock::now() - start >= std::chrono::milliseconds(timeoutMs)) {
    cache_.markHung(app);
    fail(kAxCannotComplete);
  }
  if (error != nullptr) {
    // libatspi's error domain and codes are private: "atspi_error", and
    // 0 for an application that has gone away.
    const bool gone =
        error->domain == g_quark_from_static_string("atspi_error") &&
        error->code == 0;
    fail(gone ? kAxInvalidElement : kAxCannotComplete);
    g_error_free(error);
  }
  return result;
}

// element_cache.cpp

/// The element's role; ATSPI_ROLE_INVALID when it cannot be read.
AtspiRole roleOf(AtspiAccessible* node, ReadContext& read);
/// A new reference to the element's state set, or null.
GRef<AtspiStateSet> statesOf(AtspiAccessible* node, ReadContext& read);
/// Whether a state set that may be null holds the state.
bool hasState(const GRef<AtspiStateSet>& states, AtspiStateType state);
/// The element's name; "" when it has none or it cannot be read.
std::string nameOf(AtspiAccessible* node, ReadContext& read);
/// The element's description; "" when it has none or it cannot be read.
std::string descriptionOf(AtspiAccessible* node, ReadContext& read);
/// A new reference to the element's parent, or null.
GRef<AtspiAccessible> parentOf(AtspiAccessible* node, ReadContext& read);
/// The on-screen frame, or none for an element off screen or without a
/// Component interface (the memo's hasComponent tells which).
const std::optional<AtspiRect>& extentsOf(AtspiAccessible* node,
                                          ReadContext& read);
/// The name of the first LABELLED_BY target that has one.
const std::optional<std::string>& labelOf(AtspiAccessible* node,
                                          ReadContext& read);
/// The first of `names` among the object attributes
/// (atspi_accessible_get_attributes: one call).
std::optional<std::string> objectAttribute(
    AtspiAccessible* node, std::initializer_list<const char*> names,
    ReadContext& read);
/// What an application says it is built with; "" for what it does not say.
struct ToolkitId {
  std::string name;     ///< "GTK" (GTK 4), "gtk" (GTK 3), "Qt", "Chromium", ...
  std::string version;  ///< asked for only when wanted
};
/// The element that answers for its application: the application's root.
AtspiAccessible* applicationRootOf(AtspiAccessible* node);
/// The toolkit `app` names, and its version too when `withVersion`.
ToolkitId toolkitOf(AtspiAccessible* app, ReadContext& read,
                    bool withVersion = false);
/// The process id of an application, asked of the bus once per scan.
std::optional<int32_t> processIdOf(AtspiAccessible* app, ScanCache& cache);

// text_reads.cpp

/// The whole text of an element with a Text interface; none without one.
/// A paragraph of a text frame reads the frame's whole text.
const std::optional<std::string>& textOf(AtspiAccessible* node,
                                         ReadContext& read);
/// Reads the caret and the first selection, in code points, into the
/// element's memo, which `result` then points to; false without a Text
/// interface or on failure.
bool readSelection(AtspiAccessible* node, ReadContext& read,
                   ElementMemo** result);

// children.cpp

/// Whether libatspi holds every child of the element in its cache (the
/// application's bulk snapshot), so that listing them costs no round trip.
/// The fields read are public in atspi-accessible.h; TRANSIENT elements are
/// never answered from the cache.
bool childrenCached(AtspiAccessible* node);
/// The children libatspi's snapshot holds of an element, added to
/// `children` when it is not null; false when the snapshot holds none of
/// them, or not all (GTK leaves out a hidden scroll bar).
bool snapshotChildren(AtspiAccessible* node,
                      std::vector<AtspiAccessible*>* children);

/// How many children the element claims, asked of its application; 0 or
/// less when that cannot be read.
int childCountOf(AtspiAccessible* node, ReadContext& read);
/// The child at `index`, asked of the element's application, or null.
GRef<AtspiAccessible> childAtIndex(AtspiAccessible* node, int index,
                                   ReadContext& read);
/// Asks for the children at 0 to `count` - 1, one round trip each, as long
/// as the read is ok and `visit` (handed each child, null when it cannot be
/// read) returns true: the raw children, as the application numbers them.
template <class Visit>
void forEachChildAt(AtspiAccessible* node, int count, ReadContext& read,
                    Visit visit) {
  for (int i = 0; i < count && read.ok(); ++i) {
    if (!visit(childAtIndex(node, i, read))) return;
  }
}
/// The first of the element's first `count` raw children that is in
/// `state`, or null.
GRef<AtspiAccessible> childInState(AtspiAccessible* node, int count,
                                   AtspiStateType state, ReadContext& read);
/// The listed children (see children.cpp), or null when they cannot be read.
const std::vector<GRef<AtspiAccessible>>* childrenOf(AtspiAccessible* node,
                                                     ReadContext& read);
/// The paragraphs, in order, of the text frame that holds an editable
/// paragraph, or null when it is in none: LibreOffice shows a text box, and
/// a cell being edited, as a PANEL holding nothing but one editable
/// PARAGRAPH per paragraph.
const std::vector<GRef<AtspiAccessible>>* frameParagraphs(
    AtspiAccessible* paragraph, ReadContext& read);
/// Whether the element is EDITABLE with a Text interface inside a parent
/// that is not: the host of an editable web area, whose blocks are EDITABLE
/// too.
bool isEditableHost(AtspiAccessible* node, const ReadContext& read);
/// The editable entry of a combo box, if it has one.
GRef<AtspiAccessible> comboEntryOf(AtspiAccessible* combo, ReadContext& read);
/// The SELECTED item of a combo box's menu, listed or hidden, or null.
GRef<AtspiAccessible> chosenItemOf(AtspiAccessible* combo, ReadContext& read);
/// Whether a combo box draws its own button as its first child (GTK 4's
/// drop-down) rather than listing its menu there (GTK 3's combo box).
bool drawsItsOwnButton(AtspiAccessible* combo, const ReadContext& read);

// focus_search.cpp

/// The application's first ACTIVE window, or null.
GRef<AtspiAccessible> activeWindowOf(AtspiAccessible* app, ReadContext& read);
/// The element that has the focus in the application, or null.
GRef<AtspiAccessible> focusedElementOf(AtspiAccessible* app, ReadContext& read);
/// The focus below `root` (a window): the SELECTED item of an open menu,
/// else the FOCUSED element, the deepest control of several; or null.
GRef<AtspiAccessible> focusBelow(AtspiAccessible* root, ReadContext& read);

// browser_wake.cpp

/// For a Chromium window that shows an empty web view: wakes its page's
/// tree, waits for it, and returns the focused element, or null after the
/// wait (logged).
GRef<AtspiAccessible> wakeAndFindFocus(AtspiAccessible* app,
                                       AtspiAccessible* window,
                                       ReadContext& read);
/// For a Chromium window whose focused element is a page's document that has
/// no children yet: wakes the page's tree and waits for it (up to a
/// quarter of a second); the focused element then, or `focused` when the page
/// stays empty.
GRef<AtspiAccessible> awaitChromiumPage(AtspiAccessible* app,
                                        AtspiAccessible* window,
                                        GRef<AtspiAccessible> focused,
                                        ReadContext& read);
/// For a focused element of Firefox without bounds yet: asks for its data,
/// waits for the bounds, and forgets what the scan read so far.
void awaitGeckoData(AtspiAccessible* app, AtspiAccessible* window,
                    AtspiAccessible* focused, ReadContext& read);

// focus_stand_in.cpp

/// The control the user sees focused in the application, or null: the
/// focused element, or what stands for it where the toolkit says nothing
/// (GTK 3's closed combo box), hides it (GTK 4's drop-down button) or says
/// it of a part (a block of an editable web area).
GRef<AtspiAccessible> shownFocusOf(AtspiAccessible* app, ReadContext& read);

// atspi_platform.cpp

/// Writes one line to syslog (ident "kestreye") and to standard error.
void writeLogLine(std::string_view line);

// attributes.cpp

/// One attribute, named as on macOS, of an element; `desktop` is the root
/// that macOS does not have.
AttributeRead readAttribute(AtspiAccessible* node, std::string_view attribute,
                            AtspiAccessible* desktop, ReadContext& read);

}  // namespace kestreye::atspi
