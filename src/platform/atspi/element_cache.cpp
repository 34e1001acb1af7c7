#include <algorithm>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>

#include "platform/atspi/atspi_private.h"
#include "platform/atspi/roles.h"

namespace kestreye::atspi {
namespace {

// AT-SPI's name for the null object: no element.
constexpr std::string_view kNullPath = "/org/a11y/atspi/null";

// The errors by which an application says the element lacks the interface
// (or the member) asked: an element without a Text interface is asked for
// its text as any other is, instead of asking each element for its list of
// interfaces first.
bool meansNoInterface(std::string_view error) {
  return error == "org.freedesktop.DBus.Error.UnknownMethod" ||
         error == "org.freedesktop.DBus.Error.UnknownInterface" ||
         error == "org.freedesktop.DBus.Error.UnknownProperty" ||
         error == "org.freedesktop.DBus.Error.InvalidArgs" ||
         error == "org.freedesktop.DBus.Error.NotSupported";
}

// Whether a call was answered: with a value, or with an error that says
// the element lacks the interface.
template <class T>
bool answers(const bus::Reply<T>& reply) {
  return reply.ok() || (reply.status == bus::CallStatus::Error &&
                        meansNoInterface(reply.error));
}

// Whether the element's text is worth asking along with its siblings': it
// has a Text interface, or a role that shows a text, and is no password.
bool carriesText(const ElementMemo& memo) {
  if (memo.textRead || memo.rawText.has_value() || memo.hasText == false ||
      !memo.role.has_value()) {
    return false;
  }
  switch (*memo.role) {
    case ATSPI_ROLE_PASSWORD_TEXT:
    case ATSPI_ROLE_TERMINAL:
      return false;
    case ATSPI_ROLE_TEXT:
    case ATSPI_ROLE_ENTRY:
    case ATSPI_ROLE_LABEL:
    case ATSPI_ROLE_STATIC:
    case ATSPI_ROLE_PARAGRAPH:
    case ATSPI_ROLE_HEADING:
    case ATSPI_ROLE_CAPTION:
      return true;
    default:
      return memo.hasText == true;
  }
}

// Whether the element is a link or block whose text the text that embeds it
// shows (flattenEmbedded), and worth asking with that text.
// A link's Text interface is known only once asked (Chromium's answers
// no interface list): an embedded link is asked its text all the same, and
// one without an interface answers so once.
bool isEmbeddedText(const ElementMemo& memo) {
  return memo.role.has_value() &&
         (isTextRunRole(*memo.role) || isTextBlockRole(*memo.role)) &&
         (carriesText(memo) || (!memo.hasText.has_value() && !memo.textRead &&
                                !memo.rawText.has_value()));
}

// Keeps the element's name as the toolkit gave it, and the name a user
// sees: GTK 4 names a widget without a label after its class
// ("GtkStackPage", "AdwTabView", "EditorSourceView").
void keepName(Node* node, std::string name, const ReadContext& read) {
  ElementMemo& memo = read.memo(node);
  memo.rawName = name;
  ReadContext ignored = read.fresh();
  if (!name.empty() && isGtk4(node, ignored) &&
      isGtk4ClassName(name, roleOf(node, ignored))) {
    name.clear();
  }
  memo.name = std::move(name);
}

// What of `what` the memo lacks.
unsigned lacking(const ElementMemo& memo, unsigned what) {
  unsigned lacks = 0;
  auto lack = [&](unsigned flag, bool missing) {
    if ((what & flag) != 0 && missing) lacks |= flag;
  };
  lack(kPrefetchRole, !memo.role.has_value());
  lack(kPrefetchStates, !memo.states.known);
  lack(kPrefetchName, !memo.name.has_value());
  lack(kPrefetchDescription, !memo.description.has_value());
  lack(kPrefetchExtents, !memo.extentsRead);
  lack(kPrefetchText, carriesText(memo));
  lack(kPrefetchEditableCount, memo.characterCount < 0 &&
                                   !memo.hasText.has_value() &&
                                   hasState(memo.states, ATSPI_STATE_EDITABLE));
  lack(kPrefetchCount, memo.characterCount < 0 && memo.hasText != false);
  lack(kPrefetchEmbeddedText, isEmbeddedText(memo));
  lack(kPrefetchParent, !memo.parentRead);
  lack(kPrefetchRelations, !memo.relationsRead);
  lack(kPrefetchAttributes, !memo.attributes.has_value());
  lack(kPrefetchSelection, !memo.selectionRead &&
                               !memo.rawSelection.has_value() &&
                               memo.hasText != false);
  return lacks;
}

}  // namespace

struct Riders::Asked {
  const bus::Batch* batch = nullptr;  // that carries the calls
  Node* node = nullptr;
  std::optional<bus::Ticket<uint32_t>> role;
  std::optional<bus::Ticket<std::vector<uint32_t>>> states;
  std::optional<bus::Ticket<std::string>> name;
  std::optional<bus::Ticket<std::string>> description;
  std::optional<bus::Ticket<bus::Labels>> labels;
  std::optional<bus::Ticket<Rect>> extents;
  std::optional<bus::Ticket<std::string>> text;
  std::optional<bus::Ticket<int32_t>> count;
  std::optional<bus::Ticket<bus::ObjectRef>> parent;
  std::optional<bus::Ticket<std::vector<bus::Relation>>> relations;
  std::optional<bus::Ticket<bus::Attributes>> attributes;
  std::optional<bus::Ticket<int32_t>> caret;
  std::optional<bus::Ticket<int32_t>> selections;
  std::optional<bus::Ticket<bus::TextRange>> firstSelection;
};

Riders::Riders(std::vector<Wanted> wanted, const ReadContext& read, Node* own,
               ReadContext* ownRead)
    : wanted_(std::move(wanted)), read_(read), own_(own), ownRead_(ownRead) {}

Riders::Riders(const std::vector<Node*>& nodes, unsigned what,
               const ReadContext& read, Node* own, ReadContext* ownRead)
    : read_(read), own_(own), ownRead_(ownRead) {
  wanted_.reserve(nodes.size());
  for (Node* node : nodes) wanted_.push_back({node, what});
}

Riders::~Riders() = default;

bool Riders::needs(const std::string& app) const {
  return std::any_of(wanted_.begin(), wanted_.end(), [&](const Wanted& each) {
    return each.node->ref.bus == app &&
           lacking(read_.memo(each.node), each.what) != 0;
  });
}

bool Riders::board(bus::Batch& batch, const std::string& app) {
  // An element wanted more than once is asked what all its entries want.
  std::vector<Wanted> merged;
  std::unordered_map<Node*, size_t> at;
  for (const auto& [node, what] : wanted_) {
    if (node->ref.bus != app) continue;
    const auto [known, added] = at.try_emplace(node, merged.size());
    if (added) {
      merged.push_back({node, what});
    } else {
      merged[known->second].what |= what;
    }
  }
  bool added = false;
  for (const auto& [node, what] : merged) {
    const unsigned lacks = lacking(read_.memo(node), what);
    if (lacks == 0) continue;
    Asked entry;
    entry.batch = &batch;
    entry.node = node;
    if (lacks & kPrefetchRole) entry.role = batch.role(node->ref);
    if (lacks & kPrefetchStates) entry.states = batch.states(node->ref);
    constexpr unsigned kLabels = kPrefetchName | kPrefetchDescription;
    if ((lacks & kLabels) == kLabels && answersAllProperties(node, read_)) {
      entry.labels = batch.labels(node->ref);
    } else {
      if (lacks & kPrefetchName) entry.name = batch.name(node->ref);
      if (lacks & kPrefetchDescription) {
        entry.description = batch.description(node->ref);
      }
    }
    if (lacks & kPrefetchExtents) {
      entry.extents = batch.extents(node->ref, bus::CoordType::Screen);
    }
    if (lacks & (kPrefetchText | kPrefetchEmbeddedText)) {
      entry.text = batch.text(node->ref, 0, wholeTextEnd(node, read_));
    }
    if (lacks & (kPrefetchEditableCount | kPrefetchCount)) {
      entry.count = batch.characterCount(node->ref);
    }
    if (lacks & kPrefetchParent) entry.parent = batch.parent(node->ref);
    if (lacks & kPrefetchRelations)
      entry.relations = batch.relations(node->ref);
    if (lacks & kPrefetchAttributes) {
      entry.attributes = batch.attributes(node->ref);
    }
    if (lacks & kPrefetchSelection) {
      entry.caret = batch.caretOffset(node->ref);
      entry.selections = batch.selectionCount(node->ref);
      entry.firstSelection = batch.selection(node->ref, 0);
    }
    asked_.push_back(std::move(entry));
    added = true;
  }
  if (added) carried_.push_back(app);
  return added;
}

void Riders::alight(bus::Batch& batch, const std::string& app) {
  for (Asked& entry : asked_) {
    if (entry.batch != &batch || entry.node->ref.bus != app) continue;
    ElementMemo& memo = read_.memo(entry.node);
    ReadContext fresh = read_.fresh();
    ReadContext& one = entry.node == own_ ? *ownRead_ : fresh;
    if (entry.role) {
      if (auto role = one.take(app, batch[*entry.role])) {
        memo.role = static_cast<AtspiRole>(*role);
      }
    }
    if (entry.states) {
      if (auto words = one.take(app, batch[*entry.states])) {
        memo.states = StateSet{std::move(*words), true};
      }
    }
    if (entry.name) {
      auto& reply = batch[*entry.name];
      const bool answered = answers(reply);
      std::optional<std::string> name = one.take(app, reply);
      if (answered) {
        keepName(entry.node, name.value_or(""), read_);
      }
    }
    if (entry.description) {
      auto& reply = batch[*entry.description];
      const bool answered = answers(reply);
      std::optional<std::string> text = one.take(app, reply);
      if (answered) memo.description = text.value_or("");
    }
    if (entry.labels) {
      // Not answered, both are asked again on their own when read.
      ReadContext ignored = read_.fresh();
      if (auto labels = ignored.take(app, batch[*entry.labels])) {
        keepName(entry.node, std::move(labels->name), read_);
        memo.description = std::move(labels->description);
      }
    }
    // A frame or a text is kept when its call was answered, with a value
    // or with "no such interface".
    if (entry.extents) {
      auto& reply = batch[*entry.extents];
      const bool answered = answers(reply);
      std::optional<Rect> rect = one.take(app, reply);
      if (answered) keepExtents(memo, rect);
    }
    if (entry.text) {
      auto& reply = batch[*entry.text];
      const bool answered = answers(reply);
      std::optional<std::string> value = one.take(app, reply);
      if (answered) {
        memo.hasText = value.has_value();
        memo.rawText = std::move(value);
      }
    }
    if (entry.relations) {
      auto& reply = batch[*entry.relations];
      const bool answered = answers(reply);
      auto value = one.take(app, reply);
      if (answered) {
        memo.relationsRead = true;
        memo.relations = std::move(value).value_or(memo.relations);
      }
    }
    if (entry.parent) {
      std::optional<bus::ObjectRef> value = one.take(app, batch[*entry.parent]);
      if (one.ok()) {
        memo.parentRead = true;
        memo.parent = share(value.has_value() ? read_.intern(*value) : nullptr);
      }
    }
    if (entry.attributes) {
      auto value = one.take(app, batch[*entry.attributes]);
      if (value.has_value()) memo.attributes = std::move(value);
    }
    if (entry.caret) {
      // Kept when caret and count were answered; the first selection is
      // asked with the count: most texts have none, and an answer of "no
      // such selection" costs nothing.
      auto& caret = batch[*entry.caret];
      auto& count = batch[*entry.selections];
      const bool answered = answers(caret) && answers(count);
      const std::optional<int32_t> caretAt = one.take(app, caret);
      const std::optional<int32_t> selections = one.take(app, count);
      if (answered) {
        ReadContext ignored = read_.fresh();
        memo.rawSelection = ElementMemo::RawSelection{
            caretAt.value_or(-1), selections.value_or(0),
            ignored.take(app, batch[*entry.firstSelection])};
      }
    }
    if (entry.count) {
      auto& reply = batch[*entry.count];
      const bool answered = answers(reply);
      std::optional<int32_t> value = one.take(app, reply);
      if (answered) {
        memo.hasText = value.has_value();
        if (value.has_value()) memo.characterCount = *value;
      }
    }
  }
}

void Riders::rest() {
  // One batch per application: each application's calls get its own
  // patience, and a hung one is not asked.
  std::vector<std::string> apps;
  for (const auto& [node, what] : wanted_) {
    const std::string& app = node->ref.bus;
    if (std::find(apps.begin(), apps.end(), app) == apps.end() &&
        std::find(carried_.begin(), carried_.end(), app) == carried_.end()) {
      apps.push_back(app);
    }
  }
  for (const std::string& app : apps) {
    if (!needs(app)) continue;
    ReadContext local = read_.fresh();
    std::unique_ptr<bus::Batch> batch = local.batchFor(app);
    if (batch == nullptr) {
      if (own_ != nullptr && own_->ref.bus == app) {
        ownRead_->fail(local.failure());
      }
      continue;
    }
    if (!board(*batch, app)) continue;
    batch->run();
    alight(*batch, app);
  }
}

namespace {

// Reads, in one batch per application, what the memos of `nodes` lack of
// `what`. The calls for `own`, if it is among them, report their failure to
// `ownRead`; any other failure leaves its memo as it was.
void fetchInto(const std::vector<Node*>& nodes, unsigned what,
               const ReadContext& read, Node* own, ReadContext* ownRead) {
  Riders(nodes, what, read, own, ownRead).rest();
}

}  // namespace

ScanCache::~ScanCache() {
  // The memos first: they hold references to other nodes.
  forgetElements();
}

void ScanCache::forgetElements() {
  memos_.clear();
  frontier_.clear();
}

Node* ScanCache::intern(const bus::ObjectRef& ref) {
  if (ref.bus.empty() || ref.path.empty() || ref.path == kNullPath) {
    return nullptr;
  }
  NodeRef& node = nodes_[ref];
  if (node == nullptr) node = NodeRef(new Node{ref});
  return node.get();
}

ElementMemo& ScanCache::memoOf(Node* node) { return memos_[node]; }

Node* ScanCache::applicationOf(int32_t pid) const {
  const auto known = applicationByPid_.find(pid);
  return known == applicationByPid_.end() ? nullptr : known->second.get();
}

void ScanCache::rememberApplication(int32_t pid, Node* app) {
  applicationByPid_.try_emplace(pid, share(app));
}

std::unique_ptr<bus::Batch> ReadContext::batchFor(const std::string& app,
                                                  Patience patience) {
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  if (app.empty()) {
    fail(kAxInvalidElement);
    return nullptr;
  }
  if (cache_.isHung(app) || start >= cache_.readsEnd()) {
    fail(kAxCannotComplete);
    return nullptr;
  }
  if (patience != Patience::BusDaemon &&
      (cache_.firstContact(app) || patience_ == Patience::Whole)) {
    patience = Patience::Whole;
  }
  // Outside a scan (a test reading the platform directly) a call keeps the
  // platform's own limit.
  auto limit = std::chrono::milliseconds(kCallTimeoutMs);
  if (cache_.readsEnd() != ScanDeadline::max()) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        cache_.readsEnd() - start);
    limit = std::chrono::milliseconds(std::max<int64_t>(
        patience == Patience::Whole ? left.count() : left.count() / 2, 1));
  }
  auto batch = std::make_unique<bus::Batch>(cache_.client(), start + limit);
  batch->setCallLimit(limit);
  return batch;
}

void ReadContext::settle(const std::string& app, bus::CallStatus status,
                         const std::string& error) {
  switch (status) {
    case bus::CallStatus::Ok:
      return;
    case bus::CallStatus::TimedOut:
      cache_.markHung(app);
      fail(kAxCannotComplete);
      return;
    case bus::CallStatus::Gone:
      fail(kAxInvalidElement);
      return;
    case bus::CallStatus::Error:
      if (error == "org.freedesktop.DBus.Error.UnknownObject") {
        fail(kAxInvalidElement);
      } else if (!meansNoInterface(error)) {
        fail(kAxCannotComplete);
      }
      return;
    case bus::CallStatus::NotSent:
      // Its application hung earlier in this scan, or the time was up.
      if (cache_.client().hung(app)) cache_.markHung(app);
      fail(kAxCannotComplete);
      return;
    case bus::CallStatus::NoBus:
    case bus::CallStatus::BadReply:
      fail(kAxCannotComplete);
      return;
  }
}

void prefetch(const std::vector<Node*>& nodes, unsigned what,
              const ReadContext& read) {
  fetchInto(nodes, what, read, nullptr, nullptr);
}

void fetch(Node* node, unsigned what, ReadContext& read) {
  fetchInto({node}, what, read, node, &read);
}

namespace {

// Role and states are asked together: the reads need both. An element a
// climb reached is asked for its own parent with them, the climb's next
// step: one round trip a level, not two.
unsigned roleReads(const ElementMemo& memo) {
  return kPrefetchRole | kPrefetchStates |
         (memo.climbedTo && !memo.parentRead ? kPrefetchParent : 0u);
}

}  // namespace

// Every answer is remembered for the rest of the scan: the core's ancestor
// walks read the same elements again level after level.
AtspiRole roleOf(Node* node, ReadContext& read) {
  ElementMemo& memo = read.memo(node);
  if (memo.role.has_value()) return *memo.role;
  ReadContext local = read.fresh();
  fetch(node, roleReads(memo), local);
  if (memo.role.has_value()) return *memo.role;
  read.fail(local.ok() ? kAxCannotComplete : local.failure());
  return ATSPI_ROLE_INVALID;
}

StateSet statesOf(Node* node, ReadContext& read) {
  ElementMemo& memo = read.memo(node);
  if (memo.states.known) return memo.states;
  ReadContext local = read.fresh();
  fetch(node, roleReads(memo), local);
  if (!memo.states.known) {
    read.fail(local.ok() ? kAxCannotComplete : local.failure());
  }
  return memo.states;
}

namespace {

// The name of the toolkit of the element's application, as far as known:
// "" before it was asked (no call).
std::string_view knownToolkitOf(Node* node, const ReadContext& read) {
  const auto& toolkit = read.memo(applicationRootOf(node, read)).toolkit;
  return toolkit.has_value() ? std::string_view(toolkit->name)
                             : std::string_view();
}

// `node`, and when it holds others, the ancestors whose names and labels
// the climb from the focus to its container's label reads after its own:
// the climb reads each one's name, description and label up to the first
// with a name of a few characters, below the window. Past an element whose
// name is not known yet the climb may stop: a few of those are asked.
std::vector<Node*> labelClimb(Node* node, const ReadContext& read) {
  constexpr size_t kMaxLevels = 10;
  constexpr size_t kNamed = 4;
  constexpr int kUnknownNames = 3;
  // Qt names none of the panes it lays out: the climb reads past them all,
  // and they are asked at once.
  const int unknownNames = knownToolkitOf(node, read) == "Qt"
                               ? static_cast<int>(kMaxLevels)
                               : kUnknownNames;
  std::vector<Node*> climb;
  int unknown = 0;
  for (Node* at = node; at != nullptr && climb.size() < kMaxLevels;) {
    const ElementMemo& memo = read.memo(at);
    if (isWindow(at, read)) break;
    // A window inside the window (Qt's main window in its frame): the climb
    // ends below it too.
    if (at != node && quickMacRoleOf(at, read) == "AXWindow") break;
    climb.push_back(at);
    if (at == node && memo.children.empty() && memo.rawChildren.empty()) {
      break;
    }
    if (!memo.name.has_value() || !memo.description.has_value()) {
      if (++unknown == unknownNames) break;
    } else if (memo.name->size() >= kNamed ||
               memo.description->size() >= kNamed) {
      break;
    }
    at = memo.parentRead ? memo.parent.get() : nullptr;
  }
  if (climb.empty()) climb.push_back(node);
  return climb;
}

// Asks an element's name with its description, which the walks read next,
// and the names its siblings and its level show (walkedReads, levelReads),
// which the walks read after it. An element that only lays out others is
// named by the climb from the focus alone (no walk reads their names): its
// relations, for the label the climb reads next, and the ancestors the
// climb reads after it come along.
void fetchName(Node* node, ReadContext& read) {
  const ElementMemo& memo = read.memo(node);
  if (memo.role.has_value() && isLayoutRole(*memo.role)) {
    fetchInto(labelClimb(node, read),
              kPrefetchName | kPrefetchDescription | kPrefetchRelations, read,
              node, &read);
    return;
  }
  std::vector<Wanted> wanted{{node, kPrefetchName | kPrefetchDescription}};
  const std::optional<AtspiRole> parentRole =
      memo.parentRead && memo.parent != nullptr
          ? read.memo(memo.parent.get()).role
          : std::nullopt;
  for (Node* sibling : withSiblings(node, read)) {
    const unsigned names = walkedReads(sibling, parentRole, read) &
                           (kPrefetchName | kPrefetchDescription);
    if (sibling != node && names != 0) wanted.push_back({sibling, names});
  }
  std::vector<Wanted> mates = levelReads(node, kPrefetchName, read);
  wanted.insert(wanted.end(), mates.begin(), mates.end());
  Riders(std::move(wanted), read, node, &read).rest();
}

}  // namespace

std::string nameOf(Node* node, ReadContext& read) {
  ElementMemo& memo = read.memo(node);
  if (!memo.name.has_value()) {
    ReadContext local = read.fresh();
    fetchName(node, local);
    if (!memo.name.has_value()) read.fail(local.failure());
  }
  return memo.name.value_or(std::string());
}

std::string descriptionOf(Node* node, ReadContext& read) {
  ElementMemo& memo = read.memo(node);
  if (!memo.description.has_value()) {
    ReadContext local = read.fresh();
    fetchName(node, local);
    if (!memo.description.has_value()) read.fail(local.failure());
  }
  return memo.description.value_or(std::string());
}

NodeRef parentOf(Node* node, ReadContext& read) {
  ElementMemo& memo = read.memo(node);
  if (!memo.parentRead) {
    ReadContext local = read.fresh();
    std::optional<bus::ObjectRef> parent =
        local.ask(node, [](bus::Batch& batch, const bus::ObjectRef& ref) {
          return batch.parent(ref);
        });
    if (!local.ok()) {
      read.fail(local.failure());
      return nullptr;
    }
    memo.parentRead = true;
    memo.parent = share(parent.has_value() ? read.intern(*parent) : nullptr);
  }
  if (memo.parent != nullptr) read.memo(memo.parent.get()).climbedTo = true;
  return memo.parent;
}

void keepExtents(ElementMemo& memo, const std::optional<Rect>& rect) {
  memo.extentsRead = true;
  // An element without a Component interface answers with an error.
  memo.hasComponent = rect.has_value();
  memo.extentsUnknown = rect.has_value() && rect->x == -1 && rect->y == -1 &&
                        rect->width == -1 && rect->height == -1;
  // GTK places what is not on screen at INT_MIN: no frame rather than a
  // frame far off to the upper left.
  constexpr int32_t kOffScreen = std::numeric_limits<int32_t>::min();
  if (rect.has_value() && rect->x != kOffScreen && rect->y != kOffScreen &&
      rect->width >= 0 && rect->height >= 0) {
    memo.extents = *rect;
  }
}

std::vector<Node*> withSiblings(Node* node, const ReadContext& read) {
  const ElementMemo& memo = read.memo(node);
  std::vector<Node*> nodes;
  if (memo.parentRead && memo.parent != nullptr) {
    const ElementMemo& parent = read.memo(memo.parent.get());
    if (parent.childrenRead) {
      for (const NodeRef& sibling : parent.children) {
        nodes.push_back(sibling.get());
      }
    }
  }
  if (std::find(nodes.begin(), nodes.end(), node) == nodes.end()) {
    nodes.push_back(node);
  }
  return nodes;
}

void fetchWithSiblings(Node* node, unsigned what, ReadContext& read) {
  std::vector<Wanted> wanted;
  for (Node* sibling : withSiblings(node, read)) {
    wanted.push_back({sibling, what});
  }
  if (what == kPrefetchExtents || what == kPrefetchText) {
    std::vector<Wanted> mates = levelReads(node, what, read);
    wanted.insert(wanted.end(), mates.begin(), mates.end());
  }
  if (what == kPrefetchText) {
    // The texts of the links and blocks a text embeds, which it reads next
    // (flattenEmbedded), at most as many again as the texts asked.
    const size_t texts = wanted.size();
    for (size_t i = 0; i < texts && wanted.size() < 2 * texts; ++i) {
      const ElementMemo& outer = read.memo(wanted[i].node);
      if (wanted[i].node != node && !carriesText(outer)) continue;
      for (const NodeRef& inner : outer.rawChildren) {
        if (isEmbeddedText(read.memo(inner.get()))) {
          wanted.push_back({inner.get(), kPrefetchEmbeddedText});
        }
      }
    }
  }
  Riders(std::move(wanted), read, node, &read).rest();
}

std::string_view quickMacRoleOf(Node* node, const ReadContext& read) {
  const ElementMemo& memo = read.memo(node);
  if (!memo.role.has_value() || !memo.states.known) return {};
  RoleFacts facts = stateFacts(memo.states);
  if (memo.parentRead && memo.parent != nullptr) {
    const ElementMemo& parent = read.memo(memo.parent.get());
    facts.parentRole = parent.role.value_or(ATSPI_ROLE_INVALID);
    facts.editableHost =
        facts.editable && !hasState(parent.states, ATSPI_STATE_EDITABLE);
  }
  return macRoleName(*memo.role, facts);
}

std::vector<Wanted> levelReads(Node* node, unsigned what,
                               const ReadContext& read) {
  constexpr size_t kMaxMates = 48;
  std::vector<Wanted> wanted;
  const std::shared_ptr<const std::vector<Node*>>& level =
      read.memo(node).level;
  if (level == nullptr) return wanted;
  for (Node* mate : *level) {
    if (wanted.size() >= kMaxMates) break;
    const ElementMemo& memo = read.memo(mate);
    if (mate == node || !isOnScreen(memo.states)) {
      continue;
    }
    const WalkRead shows = walkReadFor(quickMacRoleOf(mate, read));
    const bool control = shows == WalkRead::Field || shows == WalkRead::Frame;
    unsigned reads = 0;
    if (what == kPrefetchExtents && control) reads = kPrefetchExtents;
    if (what == kPrefetchText && shows == WalkRead::Text && carriesText(memo)) {
      reads = kPrefetchText;
    }
    if (what == kPrefetchName && control) {
      reads = kPrefetchName | kPrefetchDescription | kPrefetchEditableCount;
    }
    // A label's name is what the field it labels reads (labelOf).
    if (what == kPrefetchName && memo.role == ATSPI_ROLE_LABEL) {
      reads = kPrefetchName;
    }
    if (reads != 0) wanted.push_back({mate, reads});
  }
  return wanted;
}

namespace {

// How many calls prefetch() makes for `what` of one element.
size_t callsOf(unsigned what) {
  size_t calls = 0;
  for (unsigned flag = 1; flag <= kPrefetchEmbeddedText; flag <<= 1) {
    if ((what & flag) != 0) calls += flag == kPrefetchSelection ? 3 : 1;
  }
  return calls;
}

bool isPage(const ElementMemo& memo) {
  return memo.role == ATSPI_ROLE_DOCUMENT_WEB ||
         memo.role == ATSPI_ROLE_DOCUMENT_FRAME;
}

// Where the walks around `node` go, by the parents already known: the
// outermost web page above it, else its window; null when a parent on the
// way is not known.
Node* walkedAreaOf(Node* node, const ReadContext& read) {
  constexpr int kMaxLevels = 64;
  Node* page = nullptr;
  Node* at = node;
  for (int level = 0; level < kMaxLevels; ++level) {
    const ElementMemo& memo = read.memo(at);
    if (!memo.parentRead || memo.parent == nullptr) return nullptr;
    if (isPage(memo) && !hasState(memo.states, ATSPI_STATE_EDITABLE)) {
      page = at;
    }
    if (read.memo(memo.parent.get()).role == ATSPI_ROLE_APPLICATION) {
      return page != nullptr ? page : at;
    }
    at = memo.parent.get();
  }
  return nullptr;
}

// The parent of an element as far as known: asked, or the element whose
// list holds it (`listedBy`); null when neither tells.
Node* knownParentOf(Node* node, const ReadContext& read,
                    const std::unordered_map<Node*, Node*>& listedBy) {
  const ElementMemo& memo = read.memo(node);
  if (memo.parentRead) return memo.parent.get();
  const auto lister = listedBy.find(node);
  return lister != listedBy.end() ? lister->second : nullptr;
}

// Whether the element is a window, or the application, as its role tells:
// the context walks climb no higher.
bool climbEnds(Node* node, const ReadContext& read) {
  const std::string_view role = quickMacRoleOf(node, read);
  return role == "AXWindow" || role == "AXApplication";
}

// The highest ancestor of `focus` that the context walks climb to
// (collectAncestorContext): at most 12 levels up, below its window. Null
// when the parents known do not tell, or when the focus's parent is the
// window (the walks read nothing there; what is read ahead stays as it
// was).
Node* contextTopOf(Node* focus, const ReadContext& read,
                   const std::unordered_map<Node*, Node*>& listedBy) {
  constexpr int kMaxLevels = 12;
  Node* top = nullptr;
  Node* at = focus;
  for (int level = 0; level < kMaxLevels; ++level) {
    Node* parent = knownParentOf(at, read, listedBy);
    if (parent == nullptr || quickMacRoleOf(parent, read).empty()) {
      return nullptr;
    }
    if (climbEnds(parent, read)) break;
    top = parent;
    at = parent;
  }
  return top;
}

// Whether the element is known to be out of the reach of the context walks,
// whose highest ancestor is `top`: its known parents lead to a window
// without passing `top`.
bool outOfReach(Node* node, Node* top, const ReadContext& read,
                const std::unordered_map<Node*, Node*>& listedBy) {
  constexpr int kMaxLevels = 64;
  Node* at = node;
  for (int level = 0; level < kMaxLevels && at != nullptr; ++level) {
    if (at == top) return false;
    if (climbEnds(at, read)) return true;
    at = knownParentOf(at, read, listedBy);
  }
  return false;
}

// fieldReads() of an element whose role name is `macRole`.
unsigned fieldReadsAs(Node* node, std::string_view macRole,
                      const ReadContext& read) {
  if (walkReadFor(macRole) != WalkRead::Field) return 0;
  const ElementMemo& memo = read.memo(node);
  unsigned what = kPrefetchRelations;
  if (hasState(memo.states, ATSPI_STATE_EDITABLE) &&
      (macRole == "AXTextField" || macRole == "AXTextArea")) {
    // A password's text and selection are never asked for. The count
    // tells an empty text from a toolkit's clamped answer (ownTextOf).
    const bool secure =
        isSecureSubrole(macSubroleName(memo.role.value_or(ATSPI_ROLE_INVALID)));
    // A password's count comes as any editable element's does: whether it
    // has a Text interface, which its role name needs.
    what |= kPrefetchAttributes |
            (secure ? kPrefetchEditableCount
                    : kPrefetchText | kPrefetchSelection | kPrefetchCount);
  }
  return what;
}

}  // namespace

unsigned fieldReads(Node* node, const ReadContext& read) {
  return fieldReadsAs(node, quickMacRoleOf(node, read), read);
}

namespace {

// Whether a field stands from 450 points above the focus to 350 below it:
// the block keeps the fields centred from 400 points above to 300 below,
// and 50 points more are read ahead.
bool nearInHeight(const Rect& field, const Rect& focus) {
  constexpr int64_t kAbove = 450;
  constexpr int64_t kBelow = 350;
  return int64_t{field.y} <= int64_t{focus.y} + focus.height + kBelow &&
         int64_t{field.y} + field.height >= int64_t{focus.y} - kAbove;
}

}  // namespace

bool describedNear(const Rect& field, const Rect& focus) {
  // The block keeps the fields either left-aligned with the focus (within
  // 120 points) or inside its width (up to 50 points past its right edge);
  // 50 points more on every side are described here.
  constexpr int64_t kAligned = 170;
  constexpr int64_t kLeftOf = 50;
  constexpr int64_t kRightOf = 100;
  if (!nearInHeight(field, focus)) return false;
  const int64_t x = field.x;
  const int64_t focusX = focus.x;
  const bool aligned = x - focusX < kAligned && focusX - x < kAligned;
  const bool within = x >= focusX - kLeftOf &&
                      x + field.width <= focusX + focus.width + kRightOf;
  return aligned || within;
}

// The first frame or text the walks need brings, in one batch, what they
// read of the whole window (of the page, in a browser): the frames of the
// buttons and fields on screen there, as the application's snapshot or the
// search for the focus listed them, and the texts shown; what
// describes each field (its label, its placeholder, its text and selection)
// and the labels of the focus's containers. A walk of a form then costs one
// round trip, not one for each group of siblings and each field. In a
// larger window the fields are described in a second batch, those near the
// focus only; a window with more than that is left to the reads by
// siblings.
void readWindowAhead(Node* node, const ReadContext& read,
                     std::vector<Wanted> also) {
  constexpr size_t kMaxCalls = 160;
  constexpr size_t kMaxElements = 2000;
  Node* area = walkedAreaOf(node, read);
  if (area == nullptr || read.memo(area).aheadRead) return;
  read.memo(area).aheadRead = true;
  // No name is asked ahead in Firefox: while it wakes, its attributes are
  // empty, which tells the scan to wait for it (awaitGeckoData), but a name
  // asked first brings some of them. Its snapshot holds the names.
  const bool gecko = knownToolkitOf(node, read) == "Gecko";
  const unsigned names = gecko ? 0u : kPrefetchName | kPrefetchDescription;
  // GTK 4 marks its widgets on screen VISIBLE, and its windows only SHOWING
  // (childrenOf).
  const AtspiStateType onScreen =
      isGtk4(node, read) ? ATSPI_STATE_VISIBLE : ATSPI_STATE_SHOWING;
  struct Ahead {
    Node* node;
    unsigned shown;     // frame or text
    unsigned describe;  // what describes a field, or a level of the climb
    bool field = false;
    bool context = false;  // read by the context walks only
    bool label = false;    // a label, named for the field it may label
  };
  std::vector<Ahead> ahead;
  size_t shownCalls = 0;
  size_t describeCalls = 0;
  size_t embeddedCalls = 0;
  // The focus: the element read, when it is FOCUSED (the scan reads the
  // focus's frame first), else the first FOCUSED element met. Qt marks
  // FOCUSED the tool buttons of a window too, and a climb from one of them
  // reads the labels of the wrong panes.
  const bool nodeFocused =
      hasState(read.memo(node).states, ATSPI_STATE_FOCUSED);
  Node* focused = nodeFocused ? node : nullptr;
  bool nodeMet = false;
  // A field's frame, and what describes it.
  const auto describeField = [&](Ahead& entry, std::string_view macRole) {
    entry.field = true;
    // Its name and description, which the block's line of the field shows.
    entry.describe = fieldReadsAs(entry.node, macRole, read) | names;
    describeCalls += callsOf(entry.describe);
    if (!read.memo(entry.node).extentsRead) entry.shown = kPrefetchExtents;
  };
  // GTK 4's stack pages whose children are not known yet (its snapshot
  // lists their children in their place), and whether each is inside a
  // combo box: they are listed with the first batch, and what they hold is
  // read in one more.
  std::vector<std::pair<Node*, bool>> unlistedPages;
  std::vector<Node*> unlistedBars;
  // The element whose list holds each one met.
  std::unordered_map<Node*, Node*> listedBy;
  size_t seen = 0;
  // Adds the reads below each of `stack`'s elements, and whether each is
  // inside a combo box; false when the window holds too much to read ahead.
  const auto visit = [&](std::vector<std::pair<Node*, bool>> stack) {
    while (!stack.empty()) {
      const auto [parent, inCombo] = stack.back();
      stack.pop_back();
      const ElementMemo& memo = read.memo(parent);
      // The platform's own reads: the frame of a GTK 4 stack page's first
      // child (isHiddenStackPage), and those of the labels inside a
      // drop-down (shownLabelText).
      const bool stackPage =
          memo.role == ATSPI_ROLE_PANEL && memo.rawName == "GtkStackPage";
      if (!memo.rawChildrenRead) {
        if (stackPage) unlistedPages.emplace_back(parent, inCombo);
        // The search for the focus leaves tool bars and status bars
        // unlisted; the walks list them next.
        if (memo.role == ATSPI_ROLE_TOOL_BAR ||
            memo.role == ATSPI_ROLE_STATUS_BAR) {
          unlistedBars.push_back(parent);
        }
        continue;
      }
      if (stackPage && !memo.rawChildren.empty()) {
        ahead.push_back(
            {memo.rawChildren.front().get(), kPrefetchExtents, 0, false});
        ++shownCalls;
      }
      for (const NodeRef& child : memo.rawChildren) {
        const ElementMemo& childMemo = read.memo(child.get());
        if (++seen > kMaxElements) return false;
        if (!hasState(childMemo.states, onScreen)) continue;
        listedBy.emplace(child.get(), parent);
        stack.emplace_back(child.get(),
                           inCombo || childMemo.role == ATSPI_ROLE_COMBO_BOX);
        nodeMet = nodeMet || child.get() == node;
        if (focused == nullptr &&
            hasState(childMemo.states, ATSPI_STATE_FOCUSED)) {
          focused = child.get();
        }
        const std::string_view macRole = quickMacRoleOf(child.get(), read);
        Ahead entry{child.get(), 0, 0, false};
        if (inCombo && childMemo.role == ATSPI_ROLE_LABEL) {
          entry.shown = kPrefetchExtents;
        }
        switch (walkReadFor(macRole)) {
          case WalkRead::Field:
            describeField(entry, macRole);
            break;
          case WalkRead::Frame:
            entry.context = !inCombo;
            if (!childMemo.extentsRead) entry.shown = kPrefetchExtents;
            // A button's label, which the walks would otherwise ask of each
            // group of siblings as they come to it; not a menu bar's menus,
            // which show no label of the block (walkedChildrenOf).
            if (!childMemo.name.has_value() &&
                !isMenuBarMenu(childMemo.role, memo.role)) {
              entry.shown |= kPrefetchName | kPrefetchDescription;
            }
            break;
          case WalkRead::Text:
            entry.context = !inCombo;
            if (carriesText(childMemo)) entry.shown |= kPrefetchText;
            // A label's name, which the field it labels shows.
            if (childMemo.role == ATSPI_ROLE_LABEL && !childMemo.name &&
                !gecko) {
              entry.describe = kPrefetchName;
              entry.label = true;
              ++describeCalls;
            }
            break;
          case WalkRead::Nothing:
            break;
        }
        if (((entry.shown | entry.describe) & kPrefetchText) != 0) {
          // The links and blocks its text embeds, whose texts it shows
          // (flattenEmbedded); as many again as the cap, which they do not
          // count towards.
          for (const NodeRef& inner : childMemo.rawChildren) {
            if (embeddedCalls < kMaxCalls &&
                isEmbeddedText(read.memo(inner.get()))) {
              ahead.push_back({inner.get(), kPrefetchEmbeddedText, 0, false,
                               entry.context});
              ++embeddedCalls;
            }
          }
        }
        if (entry.shown != 0) ++shownCalls;
        if (entry.shown != 0 || entry.describe != 0) ahead.push_back(entry);
        if (shownCalls > kMaxCalls) return false;
      }
    }
    return true;
  };
  if (!visit({{area, false}})) return;
  // A focus that is not on screen (Monaco's textarea, kept FOCUSED but not
  // SHOWING) is described all the same.
  if (nodeFocused && !nodeMet) {
    const std::string_view macRole = quickMacRoleOf(node, read);
    if (walkReadFor(macRole) == WalkRead::Field) {
      Ahead entry{node, 0, 0, false};
      describeField(entry, macRole);
      ahead.push_back(entry);
    }
  }
  // The frames, labels and texts that only the context walks read, of the
  // elements out of their reach: a window inside the window (Qt's main
  // window in its frame) leaves the menu bar and tool bars around it out.
  Node* top =
      focused != nullptr ? contextTopOf(focused, read, listedBy) : nullptr;
  if (top != nullptr) {
    std::erase_if(ahead, [&](Ahead& entry) {
      if (!entry.context || !outOfReach(entry.node, top, read, listedBy)) {
        return false;
      }
      if (entry.shown != 0) --shownCalls;
      entry.shown = 0;
      return entry.describe == 0;
    });
  }
  // The climb from the focus to its container's label (labelOf).
  const ElementMemo* focusedMemo =
      focused != nullptr ? &read.memo(focused) : nullptr;
  if (focusedMemo != nullptr && focusedMemo->parent != nullptr) {
    for (Node* level : labelClimb(focusedMemo->parent.get(), read)) {
      ahead.push_back(
          {level, 0, kPrefetchName | kPrefetchDescription | kPrefetchRelations,
           false});
      describeCalls += 1;
    }
  }
  // A failure leaves the memos as they were: the read that needs one asks
  // again, and fails on its own.
  const bool describeAll = shownCalls + describeCalls <= kMaxCalls;
  std::vector<Wanted> first = std::move(also);
  for (const Ahead& entry : ahead) {
    first.push_back(
        {entry.node, entry.shown | (describeAll ? entry.describe : 0)});
  }
  if (!describeAll && focused != nullptr) {
    first.push_back({focused, kPrefetchExtents});
  }
  // The block's first line names the focus.
  if (focused != nullptr && !gecko) {
    first.push_back({focused, kPrefetchName | kPrefetchDescription});
  }
  // A combo box's value is its chosen item, found in its menu
  // (chosenItemOf): the list of the menu, or of the combo box, comes in the
  // batch that describes the combo box.
  const auto menusOf = [&read](const std::vector<const Ahead*>& described) {
    std::vector<Node*> lists;
    for (const Ahead* entry : described) {
      const ElementMemo& memo = read.memo(entry->node);
      if (!entry->field || memo.role != ATSPI_ROLE_COMBO_BOX) continue;
      if (!memo.rawChildrenRead) {
        lists.push_back(entry->node);
        continue;
      }
      for (const NodeRef& child : memo.rawChildren) {
        const ElementMemo& menu = read.memo(child.get());
        if ((menu.role == ATSPI_ROLE_MENU || menu.role == ATSPI_ROLE_LIST_BOX ||
             menu.role == ATSPI_ROLE_LIST) &&
            !menu.rawChildrenRead) {
          lists.push_back(child.get());
        }
      }
    }
    return lists;
  };
  const auto readWith = [&read](std::vector<Wanted> wanted,
                                const std::vector<Node*>& lists,
                                bool walk = false) {
    Riders riders(std::move(wanted), read);
    prefetchRawChildren(lists, read, &riders, walk);
    riders.rest();
  };
  std::vector<const Ahead*> described;
  for (const Ahead& entry : ahead) {
    if (describeAll || entry.node == focused) described.push_back(&entry);
  }
  std::vector<Node*> lists = menusOf(described);
  constexpr size_t kMaxPages = 32;
  if (unlistedPages.size() > kMaxPages) unlistedPages.resize(kMaxPages);
  for (const auto& page : unlistedPages) lists.push_back(page.first);
  constexpr size_t kMaxBars = 16;
  if (unlistedBars.size() > kMaxBars) unlistedBars.resize(kMaxBars);
  lists.insert(lists.end(), unlistedBars.begin(), unlistedBars.end());
  // What the bars hold is where the walks go next: the lists left unread
  // there are read together when the walks come to the first.
  readWith(std::move(first), lists, !unlistedBars.empty());
  // What the pages listed with it hold, in one batch more.
  std::vector<std::pair<Node*, bool>> pages;
  for (const auto& page : unlistedPages) {
    if (read.memo(page.first).rawChildrenRead) pages.push_back(page);
  }
  unlistedPages.clear();
  const size_t before = ahead.size();
  if (!pages.empty() && visit(std::move(pages))) {
    std::vector<Wanted> more;
    described.clear();
    for (size_t i = before; i < ahead.size(); ++i) {
      more.push_back({ahead[i].node,
                      ahead[i].shown | (describeAll ? ahead[i].describe : 0)});
      if (describeAll) described.push_back(&ahead[i]);
    }
    if (!more.empty()) readWith(std::move(more), menusOf(described));
  } else {
    ahead.erase(ahead.begin() + static_cast<std::ptrdiff_t>(before),
                ahead.end());
  }
  if (describeAll || focused == nullptr) return;
  // A large window: the block describes the fields near the focus only,
  // which are described in a second batch, as their frames tell. The walk
  // beside the focus reads the value of a combo box in any column, as
  // high as those: its menu comes with them.
  const std::optional<Rect>& focusFrame = read.memo(focused).extents;
  if (!focusFrame.has_value()) return;
  std::vector<Wanted> second;
  described.clear();
  for (const Ahead& entry : ahead) {
    // The labels of the fields described are read with them, as before.
    if (entry.label) continue;
    const std::optional<Rect>& frame = read.memo(entry.node).extents;
    if (entry.field &&
        (!frame.has_value() || !nearInHeight(*frame, *focusFrame))) {
      continue;
    }
    if (!entry.field || describedNear(*frame, *focusFrame)) {
      second.push_back({entry.node, entry.describe});
    }
    described.push_back(&entry);
  }
  if (second.size() <= kMaxCalls) {
    readWith(std::move(second), menusOf(described));
  }
}

void readAheadWithSiblings(Node* node, unsigned what, ReadContext& read) {
  readWindowAhead(node, read);
  const ElementMemo& memo = read.memo(node);
  const bool done =
      what == kPrefetchExtents ? memo.extentsRead : memo.rawText.has_value();
  if (read.ok() && !done) fetchWithSiblings(node, what, read);
}

const std::optional<Rect>& extentsOf(Node* node, ReadContext& read) {
  ElementMemo& memo = read.memo(node);
  if (!memo.extentsRead) readAheadWithSiblings(node, kPrefetchExtents, read);
  return memo.extents;
}

// The name of the first LABELLED_BY target that has one.
const std::optional<std::string>& labelOf(Node* node, ReadContext& read) {
  ElementMemo& memo = read.memo(node);
  if (memo.labelRead) return memo.label;
  if (!memo.relationsRead) {
    fetchInto(labelClimb(node, read),
              kPrefetchName | kPrefetchDescription | kPrefetchRelations, read,
              node, &read);
    if (!read.ok() || !memo.relationsRead) return memo.label;
  }
  std::optional<std::string> label;
  for (const bus::Relation& relation : memo.relations) {
    if (relation.type != ATSPI_RELATION_LABELLED_BY) continue;
    for (const bus::ObjectRef& ref : relation.targets) {
      Node* target = read.intern(ref);
      if (target == nullptr) continue;
      ReadContext ignored = read.fresh();
      std::string name = nameOf(target, ignored);
      if (!name.empty()) {
        label = std::move(name);
        break;
      }
    }
    if (label.has_value()) break;
  }
  if (!read.ok()) return memo.label;
  memo.labelRead = true;
  memo.label = std::move(label);
  return memo.label;
}

std::optional<std::string> objectAttribute(
    Node* node, std::initializer_list<const char*> names, ReadContext& read) {
  const std::optional<bus::Attributes>& prefetched = read.memo(node).attributes;
  const std::optional<bus::Attributes> attributes =
      prefetched.has_value()
          ? prefetched
          : read.ask(node, [](bus::Batch& batch, const bus::ObjectRef& ref) {
              return batch.attributes(ref);
            });
  if (!attributes.has_value()) return std::nullopt;
  for (const char* name : names) {
    for (const auto& [key, value] : *attributes) {
      if (key == name) return value;
    }
  }
  return std::nullopt;
}

Node* applicationRootOf(Node* node, const ReadContext& read) {
  Node* root = read.intern(bus::ObjectRef{node->ref.bus, bus::ROOT_PATH});
  return root != nullptr ? root : node;
}

// Asked once per scan, name and version together.
ToolkitId toolkitOf(Node* app, ReadContext& read, bool withVersion) {
  ElementMemo& memo = read.memo(app);
  if (!memo.toolkit.has_value()) {
    std::unique_ptr<bus::Batch> batch = read.batchFor(app->ref.bus);
    if (batch == nullptr) return ToolkitId{};
    const auto name = batch->toolkitName(app->ref.bus);
    const auto version = batch->toolkitVersion(app->ref.bus);
    batch->run();
    ToolkitId toolkit;
    toolkit.name = read.take(app->ref.bus, (*batch)[name]).value_or("");
    toolkit.version = read.take(app->ref.bus, (*batch)[version]).value_or("");
    if (!read.ok()) return toolkit;
    memo.toolkit = std::move(toolkit);
  }
  ToolkitId toolkit = *memo.toolkit;
  if (!withVersion) toolkit.version.clear();
  return toolkit;
}

bool readsSnapshot(Node* app, const ReadContext& read) {
  ReadContext ignored = read.fresh();
  const std::string toolkit = toolkitOf(app, ignored).name;
  // LibreOffice's GTK plug-in answers as GTK 3 too, but its snapshot holds
  // every item of every menu (some 1,900 elements in Writer, of which some
  // 180 are on screen): it costs LibreOffice twice what the scan's own
  // reads do, closed menus left unlisted (children.cpp).
  return (toolkit == "gtk" || toolkit == "GTK" || toolkit == "Gecko") &&
         !isLibreOffice(app, read);
}

void loadSnapshot(Node* app, const ReadContext& read) {
  ElementMemo& appMemo = read.memo(app);
  if (appMemo.snapshotRead) return;
  appMemo.snapshotRead = true;
  std::optional<std::vector<bus::CacheItem>> items =
      std::exchange(appMemo.earlySnapshot, std::nullopt);
  if (!items.has_value()) {
    ReadContext local = read.fresh();
    std::unique_ptr<bus::Batch> batch = local.batchFor(app->ref.bus);
    if (batch == nullptr) return;
    // The application's own role and states, which its reads start with,
    // ride along.
    Riders root({app}, kPrefetchRole | kPrefetchStates, read);
    root.board(*batch, app->ref.bus);
    const auto ticket = batch->cacheItems(app->ref.bus);
    batch->run();
    root.alight(*batch, app->ref.bus);
    items = local.take(app->ref.bus, (*batch)[ticket]);
  }
  if (!items.has_value()) return;
  appMemo.snapshotTaken = true;
  struct Listed {
    int claimed = -1;
    std::vector<std::pair<int32_t, Node*>> children;
  };
  std::unordered_map<Node*, Listed> listed;
  for (const bus::CacheItem& item : *items) {
    Node* node = read.intern(item.ref);
    if (node == nullptr) continue;
    ElementMemo& memo = read.memo(node);
    if (!memo.role.has_value()) memo.role = static_cast<AtspiRole>(item.role);
    if (!memo.states.known) memo.states = StateSet{item.states, true};
    if (!memo.name.has_value()) {
      keepName(node, item.name, read);
    }
    if (!memo.description.has_value()) memo.description = item.description;
    if (!memo.hasText.has_value()) memo.hasText = item.text;
    Node* parent = read.intern(item.parent);
    if (!memo.parentRead) {
      memo.parentRead = true;
      memo.parent = share(parent);
    }
    listed[node].claimed = item.childCount;
    if (memo.childCount < 0) memo.childCount = item.childCount;
    if (parent != nullptr && item.index >= 0) {
      listed[parent].children.emplace_back(item.index, node);
    }
  }
  // At most so many children are taken from a list, or asked for.
  constexpr size_t kMaxListed = 2000;
  // A list is taken only whole: a toolkit leaves out of its snapshot what it
  // builds on demand (the children of an element that manages them) and what
  // is hidden (GTK's scroll bars).
  for (auto& [parent, entry] : listed) {
    ElementMemo& memo = read.memo(parent);
    if (memo.rawChildrenRead || entry.claimed < 0 ||
        entry.children.size() != static_cast<size_t>(entry.claimed) ||
        entry.children.size() > kMaxListed) {
      continue;
    }
    std::sort(entry.children.begin(), entry.children.end());
    bool whole = true;
    for (size_t i = 0; i < entry.children.size(); ++i) {
      whole = whole && entry.children[i].first == static_cast<int32_t>(i);
    }
    if (!whole) continue;
    memo.rawChildrenRead = true;
    memo.childCount = entry.claimed;
    memo.rawChildren.clear();
    for (const auto& [index, child] : entry.children) {
      memo.rawChildren.push_back(share(child));
    }
  }
  // GTK 3 leaves its hidden widgets out (scroll bars): the lists of the
  // elements on screen that lack some are asked at once, where the search
  // for the focus would ask them level by level, a round trip each (the
  // widget factory's window, its box, and three panes below). Not of other
  // toolkits: Firefox leaves out a document it has not built.
  if (knownToolkitOf(app, read) != "gtk") return;
  constexpr size_t kMaxLists = 64;
  std::vector<Node*> unlisted;
  for (const auto& [node, entry] : listed) {
    const ElementMemo& memo = read.memo(node);
    if (!memo.rawChildrenRead && entry.claimed > 0 &&
        entry.claimed <= static_cast<int>(kMaxListed) &&
        isOnScreen(memo.states) &&
        !hasState(memo.states, ATSPI_STATE_MANAGES_DESCENDANTS) &&
        unlisted.size() < kMaxLists) {
      unlisted.push_back(node);
    }
  }
  prefetchRawChildren(unlisted, read);
}

bool isGtk4(Node* node, const ReadContext& read) {
  Node* root = applicationRootOf(node, read);
  ElementMemo& memo = read.memo(root);
  if (memo.gtk4.has_value()) return *memo.gtk4;
  ReadContext local = read.fresh();
  const ToolkitId toolkit = toolkitOf(root, local, true);
  if (!local.ok()) return false;
  memo.gtk4 = toolkit.name == "GTK" && toolkit.version.starts_with("4.");
  return *memo.gtk4;
}

bool answersAllProperties(Node* node, const ReadContext& read) {
  // at-spi2-atk's bridge (GTK 3, LibreOffice, Chromium, Firefox) answers
  // Properties.GetAll; Qt's leaves the bus when asked. Only a toolkit
  // already known is trusted.
  const std::string_view toolkit = knownToolkitOf(node, read);
  return toolkit == "gtk" || toolkit == "Chromium" || toolkit == "Gecko";
}

bool isLibreOffice(Node* node, const ReadContext& read) {
  Node* root = applicationRootOf(node, read);
  ElementMemo& memo = read.memo(root);
  if (memo.libreOffice.has_value()) return *memo.libreOffice;
  ReadContext local = read.fresh();
  const std::string name = nameOf(root, local);
  if (!local.ok()) return false;
  memo.libreOffice = name == "soffice";
  return *memo.libreOffice;
}

int32_t wholeTextEnd(Node* node, const ReadContext& read) {
  return isGtk4(node, read) ? std::numeric_limits<int32_t>::max() : -1;
}

std::optional<int32_t> processIdOf(Node* app, ScanCache& cache) {
  ElementMemo& memo = cache.memoOf(app);
  if (memo.processId.has_value()) return memo.processId;
  ReadContext read(cache);
  std::unique_ptr<bus::Batch> batch =
      read.batchFor(app->ref.bus, Patience::BusDaemon);
  if (batch == nullptr) return std::nullopt;
  const auto pid = batch->processId(app->ref.bus);
  batch->run();
  // The bus daemon answers: no failure of it is the application's.
  const std::optional<uint32_t> value = (*batch)[pid].value;
  if (!value.has_value() || *value == 0) return std::nullopt;
  memo.processId = static_cast<int32_t>(*value);
  return memo.processId;
}

}  // namespace kestreye::atspi
