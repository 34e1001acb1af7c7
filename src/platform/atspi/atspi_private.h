// What the files of the AT-SPI platform share: the elements, the per-scan
// cache of what was read and the hung applications, the read context every
// call to an application goes through, and the reads each file offers the
// others. Calls go through the platform's own client (bus/client.h).
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

// The role, state and relation numbers of the AT-SPI protocol; the header
// declares constants only.
#include <atspi/atspi-constants.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "platform/atspi/atspi_platform.h"
#include "platform/atspi/bus/client.h"
#include "platform/atspi/embedded_text.h"
#include "platform/atspi/roles.h"
#include "platform/platform.h"

namespace kestreye::atspi {

/// One element: its application's name on the bus and its path there. The
/// handles that name it count their references (an ElementRef is a Node*).
struct Node {
  bus::ObjectRef ref;
  int refs = 1;
};

/// One counted reference to a node, or none.
class NodeRef {
 public:
  NodeRef() noexcept = default;
  NodeRef(std::nullptr_t) noexcept {}
  /// Takes over a reference the caller owns.
  explicit NodeRef(Node* adopted) noexcept : node_(adopted) {}
  NodeRef(const NodeRef& other) noexcept : node_(other.node_) {
    if (node_ != nullptr) ++node_->refs;
  }
  NodeRef(NodeRef&& other) noexcept
      : node_(std::exchange(other.node_, nullptr)) {}
  NodeRef& operator=(NodeRef other) noexcept {
    std::swap(node_, other.node_);
    return *this;
  }
  ~NodeRef() { reset(); }

  Node* get() const noexcept { return node_; }
  Node* operator->() const noexcept { return node_; }
  explicit operator bool() const noexcept { return node_ != nullptr; }
  bool operator==(std::nullptr_t) const noexcept { return node_ == nullptr; }
  bool operator==(const NodeRef& other) const noexcept {
    return node_ == other.node_;
  }
  /// Gives the reference up to the caller.
  Node* release() noexcept { return std::exchange(node_, nullptr); }
  void reset() noexcept {
    if (node_ != nullptr && --node_->refs == 0) delete node_;
    node_ = nullptr;
  }

 private:
  Node* node_ = nullptr;
};

/// A new reference to `node`, which may be null.
inline NodeRef share(Node* node) {
  if (node != nullptr) ++node->refs;
  return NodeRef(node);
}

/// A state set as GetState sends it (bit N of word N / 32), or unknown.
struct StateSet {
  std::vector<uint32_t> words;
  bool known = false;
};
/// Whether a state set holds the state; an unknown one holds none.
inline bool hasState(const StateSet& states, AtspiStateType state) {
  const auto index = static_cast<size_t>(state);
  return index / 32 < states.words.size() &&
         ((states.words[index / 32] >> (index % 32)) & 1u) != 0;
}
/// Whether an element of role `role` is a menu of a menu bar (its parent's
/// role being `parentRole`): no control, nor text, of the block, whose name
/// the walks never read.
inline bool isMenuBarMenu(std::optional<AtspiRole> role,
                          std::optional<AtspiRole> parentRole) {
  return role == ATSPI_ROLE_MENU && parentRole == ATSPI_ROLE_MENU_BAR;
}
/// The words of a state set that holds `states`, as GetState sends them.
inline std::vector<uint32_t> stateWords(
    std::initializer_list<AtspiStateType> states) {
  std::vector<uint32_t> words(2, 0);
  for (const AtspiStateType state : states) {
    const auto index = static_cast<size_t>(state);
    if (index / 32 >= words.size()) words.resize(index / 32 + 1, 0);
    words[index / 32] |= 1u << (index % 32);
  }
  return words;
}
/// Whether a state set says the element is on screen: SHOWING, or VISIBLE
/// (GTK 4 marks the widgets it shows VISIBLE only).
inline bool isOnScreen(const StateSet& states) {
  return hasState(states, ATSPI_STATE_SHOWING) ||
         hasState(states, ATSPI_STATE_VISIBLE);
}

/// What a state set tells of an element's role name: MULTI_LINE,
/// EXPANDABLE, HAS_POPUP and EDITABLE.
RoleFacts stateFacts(const StateSet& states);

/// An on-screen rectangle, as GetExtents sends it.
using Rect = bus::Extents;

/// How much of the time left before a scan's reads end one call may take.
/// A call that runs out its time marks its application hung.
enum class Patience {
  Half,      ///< ends before the reads end
  Whole,     ///< may run to the reads' end: the first call to an
             ///< application, and the focus search, both slow in a large
             ///< application
  BusDaemon  ///< Half, for a call that the bus daemon answers, not the
             ///< application: no contact with it
};

/// What an application says it is built with; "" for what it does not say.
struct ToolkitId {
  std::string name;     ///< "GTK" (GTK 4), "gtk" (GTK 3), "Qt", "Chromium", ...
  std::string version;  ///< asked for only when wanted
};

/// What the scan already learned about one element. A scan is one snapshot
/// of the desktop, so each read is made once per element and shared by the
/// attributes that need it.
struct ElementMemo {
  std::optional<AtspiRole> role;
  StateSet states;
  std::optional<std::string> name;
  /// The name as the toolkit gave it, GTK 4's class names kept.
  std::optional<std::string> rawName;
  std::optional<std::string> description;
  bool parentRead = false;
  NodeRef parent;
  /// Reached as another element's parent (by a climb, which asks for this
  /// one's parent next).
  bool climbedTo = false;
  /// The elements whose lists came in the same batch of a walk as this
  /// one's (prefetchRawChildren), this one among them: the walk reads the
  /// same of them soon after it (levelReads).
  std::shared_ptr<const std::vector<Node*>> level;
  /// The children as the application lists them (GetChildren), hidden or
  /// not.
  bool rawChildrenRead = false;
  std::vector<NodeRef> rawChildren;
  int childCount = -1;  ///< how many children it claims, once known
  bool childrenRead = false;
  std::vector<NodeRef> children;
  bool textRead = false;
  std::optional<std::string> text;
  /// The whole text as GetText answered it, asked ahead by prefetch() and
  /// not yet read into `text`.
  std::optional<std::string> rawText;
  /// For a paragraph of a text frame (see frameParagraphs): the frame's
  /// whole text, and where this paragraph's text starts in it, in code
  /// points.
  bool frameRead = false;
  std::optional<std::string> frameText;
  int64_t frameStart = 0;
  /// For a text frame: its paragraphs, when it was asked for them.
  bool paragraphsRead = false;
  std::vector<NodeRef> paragraphs;
  /// The raw text mapped onto `text`, when it held embedded objects.
  std::optional<FlatText> flat;
  std::vector<NodeRef> embedded;  ///< one per object
  std::vector<EmbeddedText> objects;
  /// Caret, selection count and first selection as the toolkit answered
  /// them, asked ahead by prefetch() and not yet read (see readSelection).
  struct RawSelection {
    int32_t caret = -1;
    int32_t count = 0;
    std::optional<bus::TextRange> first;
  };
  std::optional<RawSelection> rawSelection;
  bool selectionRead = false;
  int64_t caret = -1;
  std::optional<std::pair<int64_t, int64_t>> selection;  ///< in code points
  int64_t characterCount = -1;  ///< the toolkit's count, in its own units
  std::optional<bool> hasText;  ///< whether it has a Text interface
  /// Its parent's answer to which of its children are SHOWING left it out
  /// (listChildren): it is not on screen, and its role and states are not
  /// asked for that.
  bool offScreen = false;
  /// The state that tells this element's children on screen (see children.cpp).
  AtspiStateType childrenOnScreen = ATSPI_STATE_SHOWING;
  bool extentsRead = false;
  bool hasComponent = false;
  /// The extents read were (-1, -1, -1, -1): Gecko's answer before it has
  /// sent any bounds.
  bool extentsUnknown = false;
  std::optional<Rect> extents;
  bool labelRead = false;
  std::optional<std::string> label;
  bool relationsRead = false;
  std::vector<bus::Relation> relations;
  /// The object attributes, when prefetch() asked for them.
  std::optional<bus::Attributes> attributes;
  std::optional<int32_t> processId;  ///< applications only
  std::optional<bool> gtk4;          ///< applications only: built with GTK 4
  std::optional<bool> libreOffice;   ///< applications only: is LibreOffice
  std::optional<ToolkitId> toolkit;  ///< applications only
  bool snapshotRead = false;         ///< applications only: see loadSnapshot
  bool snapshotTaken = false;  ///< applications only: loadSnapshot got one
  /// Applications only: the snapshot asked with the search for the frontmost
  /// application, for loadSnapshot.
  std::optional<std::vector<bus::CacheItem>> earlySnapshot;
  /// Windows only: Chromium's candidates for the focus below it, asked with
  /// the search for the frontmost application (askFocusCandidates), until
  /// the search for the focus takes them.
  std::optional<bus::Children> earlyCandidates;
  /// Whether the frames and texts below this element were read ahead
  /// (extentsOf).
  bool aheadRead = false;
  /// The focus stands on this element although it is not FOCUSED (GTK 3's
  /// combo box, whose focused button is not exposed; GTK 4's drop-down,
  /// whose drawn button is; an editable document whose focused body
  /// Chromium exposes).
  bool focusStandIn = false;
};

struct ObjectRefHash {
  size_t operator()(const bus::ObjectRef& ref) const {
    return std::hash<std::string>()(ref.bus) * 31 ^
           std::hash<std::string>()(ref.path);
  }
};

/// Everything one scan learned; it goes, with the references it holds, when
/// the scan ends.
class ScanCache {
 public:
  explicit ScanCache(bus::Client& client) : client_(client) {}
  ScanCache(const ScanCache&) = delete;
  ScanCache& operator=(const ScanCache&) = delete;
  ~ScanCache();

  /// The client calls go through.
  bus::Client& client() const { return client_; }
  /// The one node of this scan for an object reference, or null for the
  /// null object (an empty name, or AT-SPI's null path). The cache holds it
  /// until the scan ends.
  Node* intern(const bus::ObjectRef& ref);
  /// The memo of an element, made empty on first use.
  ElementMemo& memoOf(Node* node);
  /// Whether the application let a call time out during this scan.
  bool isHung(const std::string& app) const { return hung_.count(app) != 0; }
  /// Whether the element's application let a call time out during this
  /// scan.
  bool hangs(const Node* node) const { return isHung(node->ref.bus); }
  /// Remembers that the application let a call time out.
  void markHung(const std::string& app) { hung_.insert(app); }
  /// The application of a process id found during this scan, or null.
  Node* applicationOf(int32_t pid) const;
  /// Remembers the application of a process id.
  void rememberApplication(int32_t pid, Node* app);
  /// Forgets what was read of every element, for an application whose
  /// answers changed during the scan.
  void forgetElements();
  /// When the scan's reads end: no call is made after it.
  ScanDeadline readsEnd() const { return readsEnd_; }
  /// Sets when the scan's reads end.
  void setReadsEnd(ScanDeadline readsEnd) { readsEnd_ = readsEnd; }
  /// Elements on screen that the walks reached, whose roles and states are
  /// read and whose children are not listed yet, the latest last: a walk
  /// goes down one of them at a time, and lists the others' children with
  /// its own (prefetchRawChildren).
  std::vector<Node*>& frontier() { return frontier_; }
  /// True the first time it is asked for an application in this scan.
  bool firstContact(const std::string& app) {
    return contacted_.insert(app).second;
  }

 private:
  bus::Client& client_;
  // Applications that let one call time out; their later reads fail at once.
  std::unordered_set<std::string> hung_;
  // Applications called during this scan.
  std::unordered_set<std::string> contacted_;
  ScanDeadline readsEnd_ = ScanDeadline::max();
  std::unordered_map<bus::ObjectRef, NodeRef, ObjectRefHash> nodes_;
  std::unordered_map<Node*, ElementMemo> memos_;
  std::unordered_map<int32_t, NodeRef> applicationByPid_;
  std::vector<Node*> frontier_;
};

/// One read in progress: the scan's cache it reads through, and the first
/// failure of the calls it made, which later calls of the same read see.
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
  ElementMemo& memo(Node* node) const { return cache_.memoOf(node); }
  /// The node of an object reference (see ScanCache::intern).
  Node* intern(const bus::ObjectRef& ref) const { return cache_.intern(ref); }
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

  /// A batch for calls to `app`, unless it is known to be hung or the
  /// scan's reads have ended (then none, and the read fails): its calls
  /// get the part of the time left that `patience` gives them (the first
  /// call to an application has the whole of it).
  std::unique_ptr<bus::Batch> batchFor(const std::string& app,
                                       Patience patience = Patience::Half);
  /// Takes one reply of a batch made by batchFor: a call that ran out its
  /// time marks its application hung; a lost application or any other
  /// failure is the read's failure, except an error that says the element
  /// lacks the interface asked (then the value is simply none).
  template <class T>
  std::optional<T> take(const std::string& app, bus::Reply<T>& reply) {
    settle(app, reply.status, reply.error);
    return reply.ok() ? std::move(reply.value) : std::nullopt;
  }
  /// One call to `target`'s application: `add` adds it to a batch.
  template <class Add>
  auto ask(Node* target, Add add, Patience patience = Patience::Half);

 private:
  void settle(const std::string& app, bus::CallStatus status,
              const std::string& error);

  ScanCache& cache_;
  Patience patience_;
  int32_t failure_ = kAxSuccess;
  int embeddingDepth_ = 0;
};

template <class Add>
auto ReadContext::ask(Node* target, Add add, Patience patience) {
  using Ticket = decltype(add(std::declval<bus::Batch&>(), target->ref));
  using Value = std::remove_reference_t<
      decltype(*std::declval<bus::Batch&>()[Ticket{}].value)>;
  std::unique_ptr<bus::Batch> batch = batchFor(target->ref.bus, patience);
  if (batch == nullptr) return std::optional<Value>();
  const Ticket ticket = add(*batch, target->ref);
  batch->run();
  return take(target->ref.bus, (*batch)[ticket]);
}

/// Which reads prefetch() makes.
enum Prefetch : unsigned {
  kPrefetchRole = 1,
  kPrefetchStates = 2,
  kPrefetchName = 4,
  kPrefetchDescription = 8,
  kPrefetchExtents = 16,
  kPrefetchText = 32,  ///< of elements that show a text, passwords never
  /// The character count of EDITABLE elements, which tells whether they
  /// have a Text interface.
  kPrefetchEditableCount = 64,
  kPrefetchParent = 128,
  kPrefetchRelations = 256,
  kPrefetchAttributes = 512,
  /// Caret and selection, of elements with a Text interface.
  kPrefetchSelection = 1024,
  /// The character count of elements with a Text interface.
  kPrefetchCount = 2048,
  /// The text of a link or block that a text embeds (isEmbeddedText), even
  /// when it is not known to have a Text interface.
  kPrefetchEmbeddedText = 4096,
};
/// One element and what to read of it (Prefetch flags).
struct Wanted {
  Node* node;
  unsigned what;
};

/// The reads of prefetch(), which may ride in a batch that another read of
/// the same application makes: one round trip for both.
class Riders {
 public:
  /// What is wanted of each element (of one listed twice, what both
  /// entries want); the calls for `own`, if it is among them, report their
  /// failure to `ownRead`, and any other failure leaves its memo as it was.
  Riders(std::vector<Wanted> wanted, const ReadContext& read,
         Node* own = nullptr, ReadContext* ownRead = nullptr);
  /// The same reads of every element.
  Riders(const std::vector<Node*>& nodes, unsigned what,
         const ReadContext& read, Node* own = nullptr,
         ReadContext* ownRead = nullptr);
  ~Riders();
  Riders(const Riders&) = delete;
  Riders& operator=(const Riders&) = delete;

  /// Whether the memos of `app`'s elements lack anything wanted.
  bool needs(const std::string& app) const;
  /// Adds to `batch`, of `app`, the calls for what its elements lack;
  /// whether it added any.
  bool board(bus::Batch& batch, const std::string& app);
  /// Keeps in the memos what the calls added to `batch` answered, once it
  /// has run.
  void alight(bus::Batch& batch, const std::string& app);
  /// Reads, in a batch of its own per application, what no other batch
  /// carried.
  void rest();

 private:
  struct Asked;
  std::vector<Wanted> wanted_;
  const ReadContext& read_;
  Node* own_ = nullptr;
  ReadContext* ownRead_ = nullptr;
  std::vector<std::string> carried_;
  std::vector<Asked> asked_;
};

/// Reads, in one batch, what the memos of `nodes` lack of `what`; a call
/// that fails leaves its memo as it was, for the read that needs it to
/// fail on its own.
void prefetch(const std::vector<Node*>& nodes, unsigned what,
              const ReadContext& read);
/// As prefetch(), for one element, whose failure is the read's.
void fetch(Node* node, unsigned what, ReadContext& read);
/// The element and its siblings, as its parent's listed children (childrenOf)
/// tell them; the element alone when they are not listed yet.
std::vector<Node*> withSiblings(Node* node, const ReadContext& read);
/// fetch() of the element together with prefetch() of its listed siblings
/// and of the elements of its walk's level that show the same (levelReads):
/// the walks read a frame or a text of one element, then the same of its
/// siblings and, a branch later, of its cousins. Texts come with those of
/// the links and blocks they embed.
void fetchWithSiblings(Node* node, unsigned what, ReadContext& read);
/// The element's role name as its role and states tell it, and its parent's
/// role and states (when its parent is known), without a call; "" while its
/// role and states are not known.
std::string_view quickMacRoleOf(Node* node, const ReadContext& read);
/// What the walks read next of the other elements on screen of `node`'s
/// level (ElementMemo::level), at most a few dozen, by their roles: for
/// kPrefetchExtents, the frames of controls; for kPrefetchText, the texts
/// of texts; for kPrefetchName, the names and descriptions of controls, and
/// whether an editable one has a text (as the walk reads of its children),
/// and the names of labels.
std::vector<Wanted> levelReads(Node* node, unsigned what,
                               const ReadContext& read);
/// What prefetch() reads of a field of the block, as its role and states
/// tell: its label's relations, and an editable text's placeholder, text,
/// count and selection (a password's placeholder only); 0 for an element
/// that is no field.
unsigned fieldReads(Node* node, const ReadContext& read);
/// Reads ahead, once per window, what the walks read of the element's
/// window, as far as the application's snapshot or the lists read so far
/// tell it (element_cache.cpp); `also` rides with its first batch.
void readWindowAhead(Node* node, const ReadContext& read,
                     std::vector<Wanted> also = {});
/// Whether a field with the frame `field` is described ahead in a window
/// too large to describe whole, the focus's frame being `focus`: every
/// field the block can show near the focus is.
bool describedNear(const Rect& field, const Rect& focus);
/// Reads the element's frame (`what` kPrefetchExtents) or text
/// (kPrefetchText): the first time in its window, where the application's
/// snapshot lists the window, with the frames and texts the walks read of
/// the whole of it; else, or if that did not bring it, fetchWithSiblings().
void readAheadWithSiblings(Node* node, unsigned what, ReadContext& read);

// element_cache.cpp

/// The element's role; ATSPI_ROLE_INVALID when it cannot be read.
AtspiRole roleOf(Node* node, ReadContext& read);
/// The element's state set; unknown when it cannot be read.
StateSet statesOf(Node* node, ReadContext& read);
/// The element's name; "" when it has none or it cannot be read.
std::string nameOf(Node* node, ReadContext& read);
/// The element's description; "" when it has none or it cannot be read.
std::string descriptionOf(Node* node, ReadContext& read);
/// A new reference to the element's parent, or null.
NodeRef parentOf(Node* node, ReadContext& read);
/// Keeps an answer of GetExtents (none: no Component interface) in the memo.
void keepExtents(ElementMemo& memo, const std::optional<Rect>& rect);
/// The on-screen frame, or none for an element off screen or without a
/// Component interface (the memo's hasComponent tells which).
const std::optional<Rect>& extentsOf(Node* node, ReadContext& read);
/// The name of the first LABELLED_BY target that has one.
const std::optional<std::string>& labelOf(Node* node, ReadContext& read);
/// The first of `names` among the object attributes
/// (GetAttributes: one call).
std::optional<std::string> objectAttribute(
    Node* node, std::initializer_list<const char*> names, ReadContext& read);
/// The element that answers for its application: the application's root.
Node* applicationRootOf(Node* node, const ReadContext& read);
/// The toolkit `app` names, and its version too when `withVersion`.
ToolkitId toolkitOf(Node* app, ReadContext& read, bool withVersion = false);
/// Reads the application's cache snapshot (Cache.GetItems, one call) into
/// the memos of every element in it, once per scan: role, states, name,
/// description, parent, whether it has text, and the child lists it holds
/// whole. Asked of the toolkits whose snapshot costs less than the reads it
/// saves (GTK 3, GTK 4, Gecko); not of Qt, which has none, nor of Chromium
/// and LibreOffice, whose snapshots cost them more than the scan's own reads.
void loadSnapshot(Node* app, const ReadContext& read);
/// Whether the scan reads the application's snapshot: GTK 3, GTK 4 and
/// Gecko, but LibreOffice.
bool readsSnapshot(Node* app, const ReadContext& read);
/// Whether the element's application is built with GTK 4, asked of the
/// application once per scan.
bool isGtk4(Node* node, const ReadContext& read);
/// The end offset that asks for an element's whole text: -1, but for GTK 4,
/// which clamps -1 to 0 (an empty text) and an end past the text to its
/// length.
int32_t wholeTextEnd(Node* node, const ReadContext& read);
/// Whether the element's application is LibreOffice (named "soffice"),
/// asked of the application once per scan.
bool isLibreOffice(Node* node, const ReadContext& read);
/// Whether the element's application is known to answer all its
/// properties in one call (Properties.GetAll).
bool answersAllProperties(Node* node, const ReadContext& read);
/// The process id of an application, asked of the bus once per scan.
std::optional<int32_t> processIdOf(Node* app, ScanCache& cache);

// text_reads.cpp

/// The whole text of an element with a Text interface; none without one.
/// A paragraph of a text frame reads the frame's whole text.
const std::optional<std::string>& textOf(Node* node, ReadContext& read);
/// Whether the element has a Text interface, asked once (its character
/// count, which the text reads use too).
bool hasTextInterface(Node* node, ReadContext& read);
/// Reads the caret and the first selection, in code points, into the
/// element's memo, which `result` then points to; false without a Text
/// interface or on failure.
bool readSelection(Node* node, ReadContext& read, ElementMemo** result);

// children.cpp

/// Whether the element is a window, as its known parent's role tells (an
/// application's child), without a call.
bool isWindow(Node* node, const ReadContext& read);
/// How many children the element claims, asked of its application; 0 or
/// less when that cannot be read.
int childCountOf(Node* node, ReadContext& read);
/// The children as the application lists them, hidden or not, in one call
/// (with their roles and states, in one more), or null when they cannot be
/// read. An element that manages its descendants builds each child it is
/// asked for: its list is read only when it claims no more than a few
/// hundred (else it is empty), and no list is read longer than a walk
/// visits.
const std::vector<NodeRef>* rawChildrenOf(Node* node, ReadContext& read);
/// Keeps a child list as GetChildren gave it, as rawChildrenOf() would.
void keepListedChildren(Node* node, bus::Children listed,
                        const ReadContext& read);
/// What the walks read of a child of an element of role `parentRole` once
/// they have listed it: whether an editable one has a text (its role
/// depends on it), and but for an element that only lays out others (or a
/// menu bar's menu), its name, and its description unless it is a text.
unsigned walkedReads(Node* child, const std::optional<AtspiRole>& parentRole,
                     const ReadContext& read);
/// The children a walk reads (childrenOf), with what it reads of them next
/// asked with their lists, when a list is asked: see AXChildren.
const std::vector<NodeRef>* walkedChildrenOf(Node* node, ReadContext& read);
/// Reads, in batches, the raw children of each of `nodes` that the memos
/// lack, and the roles and states of those children: a whole level of a
/// walk at once. `riders` ride in the batch of the lists. A walk's read
/// (`walk`) also lists, in the same batch, the elements on screen that
/// earlier levels of the walks reached and left unlisted (ScanCache::
/// frontier), and leaves there the children it reaches.
void prefetchRawChildren(const std::vector<Node*>& nodes,
                         const ReadContext& read, Riders* riders = nullptr,
                         bool walk = false);
/// The first of the element's first `count` raw children that is in
/// `state`, or null.
NodeRef childInState(Node* node, size_t count, AtspiStateType state,
                     ReadContext& read);
/// The listed children (see children.cpp), or null when they cannot be read.
const std::vector<NodeRef>* childrenOf(Node* node, ReadContext& read);
/// The paragraphs, in order, of the text frame that holds an editable
/// paragraph, or null when it is in none: LibreOffice shows a text box, and
/// a cell being edited, as a PANEL holding nothing but one editable
/// PARAGRAPH per paragraph.
const std::vector<NodeRef>* frameParagraphs(Node* paragraph, ReadContext& read);
/// Whether the element is EDITABLE with a Text interface inside a parent
/// that is not: the host of an editable web area, whose blocks are EDITABLE
/// too.
bool isEditableHost(Node* node, const ReadContext& read);
/// The editable entry of a combo box, if it has one.
NodeRef comboEntryOf(Node* combo, ReadContext& read);
/// The SELECTED item of a combo box's menu, listed or hidden, or null.
NodeRef chosenItemOf(Node* combo, ReadContext& read);
/// Whether a combo box draws its own button as its first child (GTK 4's
/// drop-down) rather than listing its menu there (GTK 3's combo box).
bool drawsItsOwnButton(Node* combo, const ReadContext& read);

// focus_search.cpp

/// The application's first ACTIVE window, or null.
NodeRef activeWindowOf(Node* app, ReadContext& read);
/// The element that has the focus in the application, or null.
NodeRef focusedElementOf(Node* app, ReadContext& read);
/// The cell that has the cursor in `sheet`, a focused table of LibreOffice
/// Calc, at the address the Name Box among `window`'s tool bars shows, when
/// it says it has the focus; null otherwise. What the scan reads of a focus
/// next, and of the sheet, comes with it.
NodeRef cursorCell(Node* sheet, Node* window, ReadContext& read);
/// The focus below `root` (a window): the SELECTED item of an open menu,
/// else the FOCUSED element, the deepest control of several; or null.
NodeRef focusBelow(Node* root, ReadContext& read);
/// Adds to `batch` the one Collection search that finds Chromium's
/// candidates for the focus below `window`: its FOCUSED and SELECTED
/// elements.
bus::Ticket<bus::Children> askFocusCandidates(bus::Batch& batch,
                                              const Node* window);

// browser_wake.cpp

/// For a Chromium window that shows an empty web view: wakes its page's
/// tree, waits for it, and returns the focused element, or null after the
/// wait (logged).
NodeRef wakeAndFindFocus(Node* app, Node* window, ReadContext& read);
/// For a Chromium window whose focused element is a page's document that has
/// no children yet: wakes the page's tree and waits for it (up to a
/// quarter of a second); the focused element then, or `focused` when the page
/// stays empty.
NodeRef awaitChromiumPage(Node* app, Node* window, NodeRef focused,
                          ReadContext& read);
/// For a focused element of Firefox without bounds yet: asks for its data,
/// waits for the bounds, and forgets what the scan read so far.
void awaitGeckoData(Node* app, Node* focused, ReadContext& read);

// focus_stand_in.cpp

/// The control the user sees focused in the application, or null: the
/// focused element, or what stands for it where the toolkit says nothing
/// (GTK 3's closed combo box), hides it (GTK 4's drop-down button) or says
/// it of a part (a block of an editable web area).
NodeRef shownFocusOf(Node* app, ReadContext& read);

// atspi_platform.cpp

/// Writes one line to syslog (ident "kestreye") and to standard error.
void writeLogLine(std::string_view line);

// attributes.cpp

/// One attribute, named as on macOS, of an element; `desktop` is the root
/// that macOS does not have.
AttributeRead readAttribute(Node* node, std::string_view attribute,
                            Node* desktop, ReadContext& read);

}  // namespace kestreye::atspi
