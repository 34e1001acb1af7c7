#include <algorithm>
#include <limits>
#include <memory>
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

// A text property of the element, remembered in `slot`.
template <class Add>
std::string memoText(Node* node, std::optional<std::string>& slot, Add add,
                     ReadContext& read) {
  if (slot.has_value()) return *slot;
  ReadContext local = read.fresh();
  std::optional<std::string> value = local.ask(node, add);
  if (!local.ok()) {
    read.fail(local.failure());
    return std::string();
  }
  slot = value.value_or(std::string());
  return *slot;
}

}  // namespace

ScanCache::~ScanCache() {
  // The memos first: they hold references to other nodes.
  forgetElements();
}

void ScanCache::forgetElements() { memos_.clear(); }

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
  std::unique_ptr<bus::Batch> batch;
  batch = std::make_unique<bus::Batch>(cache_.client(), start + limit);
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
  // One batch per application: each application's calls get its own
  // patience, and a hung one is not asked.
  std::vector<std::string> apps;
  for (Node* node : nodes) {
    if (std::find(apps.begin(), apps.end(), node->ref.bus) == apps.end()) {
      apps.push_back(node->ref.bus);
    }
  }
  for (const std::string& app : apps) {
    ReadContext local = read.fresh();
    struct Asked {
      Node* node;
      std::optional<bus::Ticket<uint32_t>> role;
      std::optional<bus::Ticket<std::vector<uint32_t>>> states;
      std::optional<bus::Ticket<std::string>> name;
      std::optional<bus::Ticket<std::string>> description;
      std::optional<bus::Ticket<Rect>> extents;
      std::optional<bus::Ticket<std::string>> text;
    };
    std::vector<Asked> asked;
    std::unordered_set<Node*> seen;
    std::unique_ptr<bus::Batch> batch;
    for (Node* node : nodes) {
      if (node->ref.bus != app || !seen.insert(node).second) continue;
      const ElementMemo& memo = read.memo(node);
      Asked entry{node, {}, {}, {}, {}, {}, {}};
      const bool role = (what & kPrefetchRole) != 0 && !memo.role.has_value();
      const bool states = (what & kPrefetchStates) != 0 && !memo.states.known;
      const bool name = (what & kPrefetchName) != 0 && !memo.name.has_value();
      const bool description =
          (what & kPrefetchDescription) != 0 && !memo.description.has_value();
      const bool extents = (what & kPrefetchExtents) != 0 && !memo.extentsRead;
      const bool text = (what & kPrefetchText) != 0 && carriesText(memo);
      if (!role && !states && !name && !description && !extents && !text) {
        continue;
      }
      if (batch == nullptr) {
        batch = local.batchFor(app);
        if (batch == nullptr) break;
      }
      if (role) entry.role = batch->role(node->ref);
      if (states) entry.states = batch->states(node->ref);
      if (name) entry.name = batch->name(node->ref);
      if (description) entry.description = batch->description(node->ref);
      if (extents) {
        entry.extents = batch->extents(node->ref, bus::CoordType::Screen);
      }
      if (text) entry.text = batch->text(node->ref, 0, -1);
      asked.push_back(std::move(entry));
    }
    if (batch == nullptr) continue;
    batch->run();
    for (Asked& entry : asked) {
      ElementMemo& memo = read.memo(entry.node);
      ReadContext one = read.fresh();
      if (entry.role) {
        if (auto role = one.take(app, (*batch)[*entry.role])) {
          memo.role = static_cast<AtspiRole>(*role);
        }
      }
      if (entry.states) {
        if (auto words = one.take(app, (*batch)[*entry.states])) {
          memo.states = StateSet{std::move(*words), true};
        }
      }
      // A name goes through nameOf's rule for GTK 4's class names.
      if (entry.name) {
        if (auto name = one.take(app, (*batch)[*entry.name])) {
          ReadContext ignored = read.fresh();
          if (!name->empty() && isGtk4(entry.node, ignored) &&
              isGtk4ClassName(*name, roleOf(entry.node, ignored))) {
            name->clear();
          }
          memo.name = std::move(*name);
        }
      }
      if (entry.description) {
        if (auto text = one.take(app, (*batch)[*entry.description])) {
          memo.description = std::move(*text);
        }
      }
      if (entry.extents) {
        ReadContext frame = read.fresh();
        std::optional<Rect> rect = frame.take(app, (*batch)[*entry.extents]);
        if (frame.ok()) keepExtents(memo, rect);
      }
      if (entry.text) {
        ReadContext text = read.fresh();
        std::optional<std::string> value =
            text.take(app, (*batch)[*entry.text]);
        if (text.ok()) {
          memo.hasText = value.has_value();
          memo.rawText = std::move(value);
        }
      }
    }
  }
}

// Every answer is remembered for the rest of the scan: the core's ancestor
// walks read the same elements again level after level.
AtspiRole roleOf(Node* node, ReadContext& read) {
  ElementMemo& memo = read.memo(node);
  if (memo.role.has_value()) return *memo.role;
  // Role and states are asked together: the reads need both.
  prefetch({node}, kPrefetchRole | kPrefetchStates, read);
  if (memo.role.has_value()) return *memo.role;
  ReadContext local = read.fresh();
  const std::optional<uint32_t> role =
      local.ask(node, [](bus::Batch& batch, const bus::ObjectRef& ref) {
        return batch.role(ref);
      });
  if (!local.ok() || !role.has_value()) {
    read.fail(local.ok() ? kAxCannotComplete : local.failure());
    return ATSPI_ROLE_INVALID;
  }
  memo.role = static_cast<AtspiRole>(*role);
  return *memo.role;
}

StateSet statesOf(Node* node, ReadContext& read) {
  ElementMemo& memo = read.memo(node);
  if (!memo.states.known) {
    prefetch({node}, kPrefetchRole | kPrefetchStates, read);
  }
  if (!memo.states.known) {
    ReadContext local = read.fresh();
    std::optional<std::vector<uint32_t>> words =
        local.ask(node, [](bus::Batch& batch, const bus::ObjectRef& ref) {
          return batch.states(ref);
        });
    if (!local.ok() || !words.has_value()) {
      read.fail(local.ok() ? kAxCannotComplete : local.failure());
      return StateSet{};
    }
    memo.states = StateSet{std::move(*words), true};
  }
  return memo.states;
}

std::string nameOf(Node* node, ReadContext& read) {
  ElementMemo& memo = read.memo(node);
  // Name and description are asked together: the walks read both.
  if (!memo.name.has_value()) {
    prefetch({node}, kPrefetchName | kPrefetchDescription, read);
    if (memo.name.has_value()) return *memo.name;
  }
  const bool known = memo.name.has_value();
  std::string name = memoText(
      node, memo.name,
      [](bus::Batch& batch, const bus::ObjectRef& ref) {
        return batch.name(ref);
      },
      read);
  // GTK 4 names a widget without a label after its class ("GtkStackPage",
  // "AdwTabView", "EditorSourceView"): that is no name a user sees.
  ReadContext ignored = read.fresh();
  if (!known && !name.empty() && isGtk4(node, ignored) &&
      isGtk4ClassName(name, roleOf(node, ignored))) {
    memo.name = std::string();
    name.clear();
  }
  return name;
}

std::string descriptionOf(Node* node, ReadContext& read) {
  if (!read.memo(node).description.has_value()) {
    prefetch({node}, kPrefetchName | kPrefetchDescription, read);
  }
  return memoText(
      node, read.memo(node).description,
      [](bus::Batch& batch, const bus::ObjectRef& ref) {
        return batch.description(ref);
      },
      read);
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

void prefetchWithSiblings(Node* node, unsigned what, const ReadContext& read) {
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
  prefetch(nodes, what, read);
}

const std::optional<Rect>& extentsOf(Node* node, ReadContext& read) {
  ElementMemo& memo = read.memo(node);
  if (!memo.extentsRead) prefetchWithSiblings(node, kPrefetchExtents, read);
  if (memo.extentsRead) return memo.extents;
  std::optional<Rect> rect =
      read.ask(node, [](bus::Batch& batch, const bus::ObjectRef& ref) {
        return batch.extents(ref, bus::CoordType::Screen);
      });
  if (!read.ok()) return memo.extents;
  keepExtents(memo, rect);
  return memo.extents;
}

// The name of the first LABELLED_BY target that has one.
const std::optional<std::string>& labelOf(Node* node, ReadContext& read) {
  ElementMemo& memo = read.memo(node);
  if (memo.labelRead) return memo.label;
  const std::optional<std::vector<bus::Relation>> relations =
      read.ask(node, [](bus::Batch& batch, const bus::ObjectRef& ref) {
        return batch.relations(ref);
      });
  std::optional<std::string> label;
  for (const bus::Relation& relation :
       relations.value_or(std::vector<bus::Relation>())) {
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
  const std::optional<bus::Attributes> attributes =
      read.ask(node, [](bus::Batch& batch, const bus::ObjectRef& ref) {
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

void loadSnapshot(Node* app, const ReadContext& read) {
  ElementMemo& appMemo = read.memo(app);
  if (appMemo.snapshotRead) return;
  appMemo.snapshotRead = true;
  ReadContext local = read.fresh();
  std::unique_ptr<bus::Batch> batch = local.batchFor(app->ref.bus);
  if (batch == nullptr) return;
  const auto ticket = batch->cacheItems(app->ref.bus);
  batch->run();
  std::optional<std::vector<bus::CacheItem>> items =
      local.take(app->ref.bus, (*batch)[ticket]);
  if (!items.has_value()) return;
  const bool gtk4 = isGtk4(app, read);
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
      memo.name = gtk4 && isGtk4ClassName(item.name, *memo.role) ? std::string()
                                                                 : item.name;
    }
    if (!memo.description.has_value()) memo.description = item.description;
    if (!memo.hasText.has_value()) memo.hasText = item.text;
    Node* parent = read.intern(item.parent);
    if (!memo.parentRead) {
      memo.parentRead = true;
      memo.parent = share(parent);
    }
    listed[node].claimed = item.childCount;
    if (parent != nullptr && item.index >= 0) {
      listed[parent].children.emplace_back(item.index, node);
    }
  }
  // A list is taken only whole: a toolkit leaves out of its snapshot what it
  // builds on demand (the children of an element that manages them) and what
  // is hidden (GTK's scroll bars).
  for (auto& [parent, entry] : listed) {
    ElementMemo& memo = read.memo(parent);
    if (memo.rawChildrenRead || entry.claimed < 0 ||
        entry.children.size() != static_cast<size_t>(entry.claimed) ||
        entry.children.size() > 2000) {
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
