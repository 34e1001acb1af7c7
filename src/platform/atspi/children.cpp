#include <algorithm>
#include <limits>
#include <memory>
#include <unordered_set>
#include <utility>
#include <vector>

#include "platform/atspi/atspi_private.h"

namespace kestreye::atspi {
namespace {

// A table that manages its descendants can report millions of rows; no walk
// of the core needs more than a few hundred children of one element. An
// element that claims more is not listed at all.
constexpr int kMaxChildren = 2000;
// The children of an element that manages its descendants are built one by
// one as they are asked for (a tree's cells, a sheet's): a short list of them
// (Writer's paragraphs on screen) is listed, a longer one not at all.
constexpr int kMaxManagedChildren = 256;

// Whether the element's parent said it is not SHOWING (listChildren), and
// its states were not asked since.
bool offScreenByParent(const ElementMemo& memo) {
  return memo.offScreen && !memo.states.known;
}

bool carries(Node* node, AtspiStateType state, const ReadContext& read) {
  if (state == ATSPI_STATE_SHOWING && offScreenByParent(read.memo(node))) {
    return false;
  }
  ReadContext ignored = read.fresh();
  return hasState(statesOf(node, ignored), state);
}

// GTK 4 keeps every page of a stack VISIBLE and gives the hidden ones no
// size; a page has no frame of its own (and GTK 4 names it after its class),
// so its first child tells.
bool isHiddenStackPage(Node* node, const ReadContext& read) {
  ReadContext ignored = read.fresh();
  if (roleOf(node, ignored) != ATSPI_ROLE_PANEL) return false;
  // The raw name: nameOf drops GTK 4's class names.
  (void)nameOf(node, ignored);
  if (read.memo(node).rawName != "GtkStackPage") return false;
  const auto* children = rawChildrenOf(node, ignored);
  if (children == nullptr || children->empty()) return false;
  const std::optional<Rect>& frame =
      extentsOf(children->front().get(), ignored);
  return frame.has_value() && frame->width == 0 && frame->height == 0;
}

bool isEditableTextChild(Node* child, const ReadContext& read) {
  ReadContext ignored = read.fresh();
  const AtspiRole role = roleOf(child, ignored);
  if (role != ATSPI_ROLE_TEXT && role != ATSPI_ROLE_ENTRY) return false;
  return hasState(statesOf(child, ignored), ATSPI_STATE_EDITABLE);
}

// Whether the element shows its whole text itself (labels, paragraphs,
// headings, links, buttons): Chromium gives it a STATIC child for each run
// of that text, which would count every text twice.
bool holdsLeafText(Node* node, const ReadContext& read) {
  ReadContext ignored = read.fresh();
  switch (roleOf(node, ignored)) {
    case ATSPI_ROLE_LABEL:
    case ATSPI_ROLE_PARAGRAPH:
    case ATSPI_ROLE_HEADING:
    case ATSPI_ROLE_LINK:
    case ATSPI_ROLE_STATIC:
    case ATSPI_ROLE_CAPTION:
    case ATSPI_ROLE_PUSH_BUTTON:
      return true;
    default:
      return false;
  }
}

// The most paragraphs a text frame is read with.
constexpr int kMaxFrameParagraphs = 500;

bool isEditableParagraph(Node* node, ReadContext& read) {
  return roleOf(node, read) == ATSPI_ROLE_PARAGRAPH &&
         hasState(statesOf(node, read), ATSPI_STATE_EDITABLE);
}

// A text frame's paragraphs read as one text (textOf): one of them, the
// focused one if any, stands for the frame, so that it is one field.
bool isTextFrame(Node* node, const std::vector<NodeRef>& children,
                 const ReadContext& read) {
  ReadContext ignored = read.fresh();
  return children.size() >= 2 && roleOf(node, ignored) == ATSPI_ROLE_PANEL &&
         std::all_of(children.begin(), children.end(),
                     [&](const NodeRef& child) {
                       return isEditableParagraph(child.get(), ignored);
                     });
}

}  // namespace

const std::vector<NodeRef>* frameParagraphs(Node* paragraph,
                                            ReadContext& read) {
  if (!isEditableParagraph(paragraph, read)) return nullptr;
  NodeRef frame = parentOf(paragraph, read);
  if (frame == nullptr || roleOf(frame.get(), read) != ATSPI_ROLE_PANEL) {
    return nullptr;
  }
  ElementMemo& memo = read.memo(frame.get());
  if (!memo.paragraphsRead) {
    Node* panel = frame.get();
    const int count = childCountOf(panel, read);
    std::vector<NodeRef> paragraphs;
    const auto* children = count >= 2 && count <= kMaxFrameParagraphs
                               ? rawChildrenOf(panel, read)
                               : nullptr;
    for (size_t i = 0; children != nullptr && i < children->size(); ++i) {
      if (!isEditableParagraph((*children)[i].get(), read)) {
        paragraphs.clear();
        break;
      }
      paragraphs.push_back((*children)[i]);
    }
    if (!read.ok()) return nullptr;
    memo.paragraphsRead = true;
    memo.paragraphs = std::move(paragraphs);
  }
  return memo.paragraphs.empty() ? nullptr : &memo.paragraphs;
}

int childCountOf(Node* node, ReadContext& read) {
  ElementMemo& memo = read.memo(node);
  if (memo.childCount < 0) {
    const std::optional<int32_t> count =
        read.ask(node, [](bus::Batch& batch, const bus::ObjectRef& ref) {
          return batch.childCount(ref);
        });
    if (!count.has_value()) return 0;
    memo.childCount = *count;
  }
  return memo.childCount;
}

bool isWindow(Node* node, const ReadContext& read) {
  const ElementMemo& memo = read.memo(node);
  return memo.parentRead && memo.parent != nullptr &&
         read.memo(memo.parent.get()).role == ATSPI_ROLE_APPLICATION;
}

namespace {

// Keeps a listed child list in the memo: the nodes, at most a walk's worth,
// and how many the element claims.
void keepRawChildren(Node* node, const std::vector<bus::ObjectRef>& refs,
                     int count, const ReadContext& read) {
  ElementMemo& memo = read.memo(node);
  memo.rawChildrenRead = true;
  memo.childCount = count;
  memo.rawChildren.clear();
  if (refs.size() > static_cast<size_t>(kMaxChildren)) return;
  memo.rawChildren.reserve(refs.size());
  for (const bus::ObjectRef& ref : refs) {
    if (Node* child = read.intern(ref))
      memo.rawChildren.push_back(share(child));
  }
}

// Whether the element is one LibreOffice never gives children (in Writer,
// Calc and Impress: some 1,000 on screen and in menus, none with a child).
// Their lists are not asked for.
bool isLibreOfficeLeaf(Node* node, const ReadContext& read) {
  const std::optional<AtspiRole>& role = read.memo(node).role;
  if (!role.has_value()) return false;
  switch (*role) {
    case ATSPI_ROLE_PUSH_BUTTON:
    case ATSPI_ROLE_CHECK_BOX:
    case ATSPI_ROLE_LABEL:
    case ATSPI_ROLE_TEXT:
    case ATSPI_ROLE_SPIN_BUTTON:
    case ATSPI_ROLE_SLIDER:
    case ATSPI_ROLE_SEPARATOR:
    case ATSPI_ROLE_SCROLL_BAR:
    case ATSPI_ROLE_ICON:
    case ATSPI_ROLE_MENU_ITEM:
    case ATSPI_ROLE_CHECK_MENU_ITEM:
    case ATSPI_ROLE_RADIO_MENU_ITEM:
      return isLibreOffice(node, read);
    default:
      return false;
  }
}

// Whether the element is a LibreOffice tool bar. Its application lays out
// every command a tool bar may show and hides those that do not fit: in
// Writer's and Calc's, a third of the buttons are hidden, each of them two
// questions (its role and states) to find it out.
bool hidesChildren(Node* node, const ReadContext& read) {
  return read.memo(node).role == ATSPI_ROLE_TOOL_BAR &&
         isLibreOffice(node, read);
}

// Marks the listed children of `node` that its answer `shown` (the children
// SHOWING) leaves out as off screen, unless their states are known.
void keepShownChildren(Node* node, const bus::Reply<bus::Children>& shown,
                       const ReadContext& read) {
  if (!shown.ok() || shown.value->truncated) return;
  std::unordered_set<std::string> paths;
  for (const bus::ObjectRef& ref : shown.value->refs) paths.insert(ref.path);
  for (const NodeRef& child : read.memo(node).rawChildren) {
    ElementMemo& memo = read.memo(child.get());
    if (!memo.states.known && paths.count(child->ref.path) == 0) {
      memo.offScreen = true;
    }
  }
}

// How the children of one element are listed.
enum class Listing {
  Whole,    ///< GetChildren
  ByIndex,  ///< ChildCount, then GetChildAtIndex for each: GTK 4's
            ///< GetChildren leaves out the pages of a stack and lists
            ///< their children in their place, hidden pages' too
  Counted,  ///< ChildCount first: an element that manages its descendants
            ///< builds each child it is asked for
};

// Lists the children of `nodes`, all of one application, in at most two
// batches: the counts that are needed, then the lists, which `riders`
// ride. A failure is reported to `report` when it is given (for one node),
// else the node is left unlisted.
void listChildren(const std::vector<Node*>& nodes, const std::string& app,
                  const ReadContext& read, ReadContext* report = nullptr,
                  Riders* riders = nullptr) {
  std::vector<std::pair<Node*, Listing>> wanted;
  const bool gtk4 =
      app.starts_with(':') && !nodes.empty() && isGtk4(nodes.front(), read);
  for (Node* node : nodes) {
    if (isLibreOfficeLeaf(node, read)) {
      keepRawChildren(node, {}, 0, read);
      continue;
    }
    const bool managed =
        hasState(read.memo(node).states, ATSPI_STATE_MANAGES_DESCENDANTS);
    wanted.emplace_back(node, managed ? Listing::Counted
                              : gtk4  ? Listing::ByIndex
                                      : Listing::Whole);
  }
  std::unordered_map<Node*, int> counts;
  ReadContext countRead = read.fresh();
  std::unique_ptr<bus::Batch> batch;
  std::vector<std::pair<Node*, bus::Ticket<int32_t>>> countTickets;
  for (const auto& [node, listing] : wanted) {
    if (listing == Listing::Whole) continue;
    // GTK 4's snapshot tells how many children each element claims.
    if (listing == Listing::ByIndex && read.memo(node).childCount >= 0) {
      counts[node] = read.memo(node).childCount;
      continue;
    }
    if (batch == nullptr && (batch = countRead.batchFor(app)) == nullptr) {
      if (report != nullptr) report->fail(countRead.failure());
      return;
    }
    countTickets.emplace_back(node, batch->childCount(node->ref));
  }
  if (batch != nullptr) batch->run();
  for (auto& [node, ticket] : countTickets) {
    ReadContext fresh = read.fresh();
    ReadContext& one = report != nullptr ? *report : fresh;
    if (auto count = one.take(app, (*batch)[ticket])) counts[node] = *count;
  }

  ReadContext listRead = read.fresh();
  std::unique_ptr<bus::Batch> lists;
  struct Asked {
    Node* node;
    std::optional<bus::Ticket<bus::Children>> whole;
    /// Those of them that are SHOWING, asked with the list (hidesChildren).
    std::optional<bus::Ticket<bus::Children>> shown;
    std::vector<bus::Ticket<bus::ObjectRef>> byIndex;
  };
  std::vector<Asked> asked;
  for (const auto& [node, listing] : wanted) {
    const auto counted = counts.find(node);
    if (listing != Listing::Whole && counted == counts.end()) continue;
    const int count = listing == Listing::Whole ? 0 : counted->second;
    if (listing == Listing::Counted && count > kMaxManagedChildren) {
      keepRawChildren(node, {}, count, read);
      continue;
    }
    if (listing == Listing::ByIndex && (count > kMaxChildren || count <= 0)) {
      keepRawChildren(node, {}, count, read);
      continue;
    }
    if (lists == nullptr && (lists = listRead.batchFor(app)) == nullptr) {
      if (report != nullptr) report->fail(listRead.failure());
      return;
    }
    Asked entry{node, {}, {}, {}};
    if (listing == Listing::ByIndex) {
      for (int i = 0; i < count; ++i) {
        entry.byIndex.push_back(lists->childAt(node->ref, i));
      }
    } else if (count != 0 || listing == Listing::Whole) {
      entry.whole = lists->children(node->ref);
      // A Collection search of the children alone: it enters none of them.
      if (listing == Listing::Whole && hidesChildren(node, read)) {
        entry.shown = lists->matchingStates(
            node->ref, stateWords({ATSPI_STATE_SHOWING}), 0, false,
            /*wholeSubtree=*/false);
      }
    }
    asked.push_back(std::move(entry));
  }
  const bool carries =
      riders != nullptr && riders->needs(app) &&
      (lists != nullptr || (lists = listRead.batchFor(app)) != nullptr) &&
      riders->board(*lists, app);
  if (lists != nullptr) lists->run();
  if (carries) riders->alight(*lists, app);
  for (Asked& entry : asked) {
    ReadContext fresh = read.fresh();
    ReadContext& one = report != nullptr ? *report : fresh;
    std::vector<bus::ObjectRef> refs;
    int count = static_cast<int>(entry.byIndex.size());
    if (entry.whole.has_value()) {
      std::optional<bus::Children> listed =
          one.take(app, (*lists)[*entry.whole]);
      if (listed.has_value()) {
        if (one.ok()) {
          keepListedChildren(entry.node, std::move(*listed), read);
          if (entry.shown.has_value()) {
            keepShownChildren(entry.node, (*lists)[*entry.shown], read);
          }
        }
        continue;
      }
    }
    for (const auto& ticket : entry.byIndex) {
      if (auto ref = one.take(app, (*lists)[ticket]))
        refs.push_back(std::move(*ref));
    }
    if (one.ok()) keepRawChildren(entry.node, refs, count, read);
  }
}

// LibreOffice builds every item of every menu of its menu bars up front
// (some 1,700 in Writer's two bars), where other toolkits build a menu's
// items when it opens. Its open menu is SELECTED, as is the open submenu
// within it: a menu that is not is closed, its items are not on screen, and
// they are not asked for.
bool isClosedMenu(Node* node, const ReadContext& read) {
  const ElementMemo& memo = read.memo(node);
  return memo.role == ATSPI_ROLE_MENU && memo.states.known &&
         !hasState(memo.states, ATSPI_STATE_SELECTED) &&
         isLibreOffice(node, read);
}

// A table's cells are built for whoever asks, row by row and column by
// column: its cursor is reached through its selection or its Table
// interface (focus_search.cpp), and its cells are not listed at all, nor
// counted.
bool isUnlistedTable(const ElementMemo& memo) {
  return hasState(memo.states, ATSPI_STATE_MANAGES_DESCENDANTS) &&
         (memo.role == ATSPI_ROLE_TABLE || memo.role == ATSPI_ROLE_TREE_TABLE ||
          memo.role == ATSPI_ROLE_TREE);
}

}  // namespace

void keepListedChildren(Node* node, bus::Children listed,
                        const ReadContext& read) {
  // A list cut short claims more children than any walk reads, and keeps
  // none.
  if (listed.truncated) {
    keepRawChildren(node, {}, std::numeric_limits<int>::max(), read);
  } else {
    keepRawChildren(node, listed.refs, static_cast<int>(listed.refs.size()),
                    read);
  }
}

const std::vector<NodeRef>* rawChildrenOf(Node* node, ReadContext& read) {
  ElementMemo& memo = read.memo(node);
  if (!memo.rawChildrenRead) {
    // The desktop's children are the applications, each asked on its own;
    // the registry's states tell nothing.
    const bool application = node->ref.bus.starts_with(':');
    ReadContext local = read.fresh();
    if (application) (void)statesOf(node, local);
    if (local.ok()) listChildren({node}, node->ref.bus, local, &local);
    if (!memo.rawChildrenRead) {
      read.fail(local.ok() ? kAxCannotComplete : local.failure());
      return nullptr;
    }
    if (application) {
      std::vector<Node*> children;
      for (const NodeRef& child : memo.rawChildren) {
        children.push_back(child.get());
      }
      prefetch(children, kPrefetchRole | kPrefetchStates, read);
    }
  }
  return &memo.rawChildren;
}

void prefetchRawChildren(const std::vector<Node*>& nodes,
                         const ReadContext& read, Riders* riders, bool walk) {
  // At most so many of the frontier are listed with a level, the latest
  // first; the frontier keeps the latest so many.
  constexpr size_t kMaxFrontierLists = 64;
  constexpr size_t kMaxFrontier = 512;
  // Whether the element's children may be listed, or taken as listed.
  const auto open = [&read](Node* node) {
    const ElementMemo& memo = read.memo(node);
    return memo.states.known && !isClosedMenu(node, read) &&
           !isUnlistedTable(memo);
  };
  const auto listable = [&read, &open](Node* node) {
    return !read.memo(node).rawChildrenRead && open(node);
  };
  const auto onScreen = [&read](Node* node) {
    return isOnScreen(read.memo(node).states);
  };
  std::vector<Node*> wanted;
  for (Node* node : nodes) {
    if (listable(node)) wanted.push_back(node);
  }
  std::vector<Node*>& frontier = read.cache().frontier();
  if (walk) {
    // A walk goes down one element at a time: the elements beside it on its
    // way (the panels of a tool bar, the sections of a page) are each a
    // round trip or two a level when their turn comes, and none with it.
    // A level may hold thousands (a window of buttons): looked up by set.
    std::unordered_set<Node*> taken(wanted.begin(), wanted.end());
    const size_t own = wanted.size();
    for (auto at = frontier.rbegin();
         at != frontier.rend() && wanted.size() - own < kMaxFrontierLists;
         ++at) {
      if (listable(*at) && onScreen(*at) && taken.insert(*at).second) {
        wanted.push_back(*at);
      }
    }
    std::erase_if(frontier, [&](Node* node) {
      return read.memo(node).rawChildrenRead || taken.count(node) != 0;
    });
  }
  std::vector<Wanted> children;
  // A listed element's children are asked their roles and states; a
  // window's, their parents too (childrenOf): with their roles, not in a
  // round trip of their own. Not in LibreOffice, whose windows list a dozen
  // hidden panes, and which spends 50-60 us on any call: there the shown
  // ones are asked after.
  const auto addChildren = [&read, &children](Node* node) {
    const unsigned what =
        kPrefetchRole | kPrefetchStates |
        (isWindow(node, read) && !isLibreOffice(node, read) ? kPrefetchParent
                                                            : 0u);
    for (const NodeRef& child : read.memo(node).rawChildren) {
      children.push_back({child.get(), what});
    }
  };
  // Those listed already (a window listed with its application's name)
  // with the others.
  for (Node* node : nodes) {
    if (read.memo(node).rawChildrenRead && open(node)) addChildren(node);
  }
  std::vector<Node*> listed;
  // One round per application, as prefetch() makes them.
  while (!wanted.empty()) {
    const std::string app = wanted.front()->ref.bus;
    std::vector<Node*> ofApp;
    for (Node* node : wanted) {
      if (node->ref.bus == app) ofApp.push_back(node);
    }
    std::erase_if(wanted, [&](Node* node) { return node->ref.bus == app; });
    listChildren(ofApp, app, read, nullptr, riders);
    for (Node* node : ofApp) addChildren(node);
    listed.insert(listed.end(), ofApp.begin(), ofApp.end());
  }
  std::erase_if(children, [&read](const Wanted& child) {
    return offScreenByParent(read.memo(child.node));
  });
  Riders(std::move(children), read).rest();
  if (!walk) return;
  // The children a walk goes on to (as childrenOf keeps them): not those of
  // an editable element (an editable area's blocks are its text), nor the
  // text runs of an element that shows its text itself.
  std::vector<Node*> walked;
  for (Node* node : listed) {
    if (hasState(read.memo(node).states, ATSPI_STATE_EDITABLE)) continue;
    const bool leafText = holdsLeafText(node, read);
    for (const NodeRef& child : read.memo(node).rawChildren) {
      if (leafText && read.memo(child.get()).role == ATSPI_ROLE_STATIC) {
        continue;
      }
      walked.push_back(child.get());
    }
  }
  const auto level = std::make_shared<const std::vector<Node*>>(walked);
  for (Node* child : walked) {
    read.memo(child).level = level;
    if (listable(child) && onScreen(child)) frontier.push_back(child);
  }
  if (frontier.size() > kMaxFrontier) {
    frontier.erase(frontier.begin(),
                   frontier.end() - static_cast<ptrdiff_t>(kMaxFrontier));
  }
}

NodeRef childInState(Node* node, size_t count, AtspiStateType state,
                     ReadContext& read) {
  const auto* children = rawChildrenOf(node, read);
  for (size_t i = 0; children != nullptr && i < children->size() && i < count;
       ++i) {
    if (hasState(statesOf((*children)[i].get(), read), state)) {
      return (*children)[i];
    }
  }
  return nullptr;
}

bool isEditableHost(Node* node, const ReadContext& read) {
  ReadContext ignored = read.fresh();
  if (!hasState(statesOf(node, ignored), ATSPI_STATE_EDITABLE)) return false;
  if (!hasTextInterface(node, ignored)) return false;
  NodeRef parent = parentOf(node, ignored);
  return parent == nullptr ||
         !hasState(statesOf(parent.get(), ignored), ATSPI_STATE_EDITABLE);
}

// The children, without the ones libatspi could not hand out. GTK keeps
// hidden notebook pages, closed menus and unmapped pop-overs in the tree,
// where macOS drops them; a child that is not SHOWING inside a parent that
// is, is not listed. Toolkits that never set SHOWING lose nothing: their
// parents are not SHOWING either. GTK 4 sets SHOWING on its top-level
// windows only and VISIBLE on the widgets shown: below a window whose
// children are VISIBLE but none SHOWING, VISIBLE is what tells, all the way
// down.
// The blocks of an editable web area are its text, not elements of their
// own, and so are Chromium's text leaves.
const std::vector<NodeRef>* childrenOf(Node* node, ReadContext& read) {
  ElementMemo& memo = read.memo(node);
  if (memo.childrenRead) return &memo.children;
  ReadContext local = read.fresh();
  AtspiStateType onScreen = memo.childrenOnScreen;
  StateSet nodeStates = statesOf(node, local);
  const bool showing = hasState(nodeStates, onScreen);
  const AtspiRole role = roleOf(node, local);
  const bool table = local.ok() && isUnlistedTable(memo);
  std::vector<NodeRef> children;
  const std::vector<NodeRef>* raw =
      table || !local.ok() || isClosedMenu(node, read)
          ? nullptr
          : rawChildrenOf(node, local);
  if (raw != nullptr) {
    children = *raw;
    if (showing && local.ok()) {
      auto with = [&read](AtspiStateType state) {
        return [&read, state](const NodeRef& child) {
          return carries(child.get(), state, read);
        };
      };
      if (onScreen == ATSPI_STATE_SHOWING &&
          std::none_of(children.begin(), children.end(),
                       with(ATSPI_STATE_SHOWING)) &&
          std::any_of(children.begin(), children.end(),
                      with(ATSPI_STATE_VISIBLE))) {
        onScreen = ATSPI_STATE_VISIBLE;
      }
      std::erase_if(children, [&](const NodeRef& child) {
        if (onScreen == ATSPI_STATE_SHOWING &&
            offScreenByParent(read.memo(child.get()))) {
          return true;
        }
        ReadContext ignored = read.fresh();
        StateSet states = statesOf(child.get(), ignored);
        if (!ignored.ok()) return false;
        return !hasState(states, onScreen) ||
               (onScreen == ATSPI_STATE_VISIBLE &&
                isHiddenStackPage(child.get(), read));
      });
    }
  }
  if (local.ok() && isEditableHost(node, local)) {
    children.clear();
  } else if (local.ok() && holdsLeafText(node, local)) {
    std::erase_if(children, [&read](const NodeRef& child) {
      ReadContext ignored = read.fresh();
      return roleOf(child.get(), ignored) == ATSPI_ROLE_STATIC;
    });
  } else if (local.ok() && isTextFrame(node, children, local)) {
    const auto focused = std::find_if(
        children.begin(), children.end(), [&read](const NodeRef& child) {
          return carries(child.get(), ATSPI_STATE_FOCUSED, read);
        });
    NodeRef shown = share(focused != children.end() ? focused->get()
                                                    : children.front().get());
    children.clear();
    children.push_back(std::move(shown));
  }
  if (!local.ok()) {
    read.fail(local.failure());
    return nullptr;
  }
  // A child's parent is the element that lists it; knowing it saves a round
  // trip for every element. Not so below a window:
  // GTK's pop-up window lists the menu whose parent is its combo box.
  ReadContext ignored = read.fresh();
  // An application's parent is the desktop: not asked for.
  NodeRef parent =
      role == ATSPI_ROLE_APPLICATION ? nullptr : parentOf(node, ignored);
  const bool window = parent != nullptr &&
                      roleOf(parent.get(), ignored) == ATSPI_ROLE_APPLICATION;
  std::vector<Node*> unparented;
  for (const NodeRef& child : children) {
    ElementMemo& childMemo = read.memo(child.get());
    childMemo.childrenOnScreen = onScreen;
    if (!childMemo.parentRead && !window) {
      childMemo.parentRead = true;
      childMemo.parent = share(node);
    } else if (!childMemo.parentRead) {
      unparented.push_back(child.get());
    }
  }
  // A window's children are asked their parents all at once: the role of
  // each depends on its parent's.
  prefetch(unparented, kPrefetchParent, read);
  memo.childrenRead = true;
  memo.children = std::move(children);
  return &memo.children;
}

unsigned walkedReads(Node* child, const std::optional<AtspiRole>& parentRole,
                     const ReadContext& read) {
  // A menu bar's menus are no controls, nor texts, of the block. A text
  // (a label, a paragraph) shows its name only when it has no text, and
  // never its description, which costs LibreOffice three times a name.
  const std::optional<AtspiRole>& role = read.memo(child).role;
  const bool laysOut = role.has_value() &&
                       (isLayoutRole(*role) || isMenuBarMenu(role, parentRole));
  if (laysOut) return kPrefetchEditableCount;
  if (walkReadFor(quickMacRoleOf(child, read)) == WalkRead::Text) {
    return kPrefetchName | kPrefetchEditableCount;
  }
  return kPrefetchName | kPrefetchDescription | kPrefetchEditableCount;
}

const std::vector<NodeRef>* walkedChildrenOf(Node* node, ReadContext& read) {
  const auto* children = childrenOf(node, read);
  if (children == nullptr) return nullptr;
  // The walks that list children read their names and descriptions next
  // (but for those that only lay out others), whether the editable ones
  // have a text (their role depends on it), and then their children: each
  // is asked of the whole list at once, the names with the children's
  // lists, so that a walk costs a few round trips a level, not a few an
  // element.
  std::vector<Node*> nodes;
  std::vector<Wanted> reads;
  const std::optional<AtspiRole>& role = read.memo(node).role;
  for (const NodeRef& child : *children) {
    nodes.push_back(child.get());
    reads.push_back({child.get(), walkedReads(child.get(), role, read)});
  }
  // The names of their cousins, whose lists came with theirs, come too.
  if (!nodes.empty()) {
    std::vector<Wanted> cousins =
        levelReads(nodes.front(), kPrefetchName, read);
    reads.insert(reads.end(), cousins.begin(), cousins.end());
  }
  // They ride with the lists only. Where every list is known already (the
  // search for the focus read them), a walk often reads no name at all
  // (KWrite's text area and the panes around it): the first name it reads
  // brings its siblings' (nameOf).
  Riders names(std::move(reads), read);
  prefetchRawChildren(nodes, read, &names, /*walk=*/true);
  return children;
}

// Web engines keep the options of a closed select as a menu that is not
// SHOWING (Chromium) or inside a select that is not EXPANDED (Firefox), with
// the chosen option SELECTED: so the listing is the raw one, not
// childrenOf's.
NodeRef chosenItemOf(Node* combo, ReadContext& read) {
  // A select has one menu; a combo box's few other children are buttons.
  constexpr size_t kMaxMenus = 4;
  const auto* menus = rawChildrenOf(combo, read);
  for (size_t i = 0; menus != nullptr && i < menus->size() && i < kMaxMenus;
       ++i) {
    Node* menu = (*menus)[i].get();
    const AtspiRole role = roleOf(menu, read);
    if (role != ATSPI_ROLE_MENU && role != ATSPI_ROLE_LIST_BOX &&
        role != ATSPI_ROLE_LIST) {
      continue;
    }
    // In an open menu SELECTED marks the item under the keyboard, not the
    // chosen one (GTK's pop-up; Firefox's select is EXPANDED when open).
    StateSet comboStates = statesOf(combo, read);
    const bool closed = hasState(comboStates, ATSPI_STATE_EXPANDABLE) &&
                        !hasState(comboStates, ATSPI_STATE_EXPANDED);
    if (!closed && hasState(statesOf(menu, read), ATSPI_STATE_SHOWING)) {
      return nullptr;
    }
    NodeRef chosen =
        childInState(menu, kMaxChildren, ATSPI_STATE_SELECTED, read);
    if (chosen != nullptr || !read.ok()) return chosen;
  }
  return nullptr;
}

// GTK 4's drop-down has its button as its first child; GTK 3's combo box
// has its menu there.
bool drawsItsOwnButton(Node* combo, const ReadContext& read) {
  ReadContext ignored = read.fresh();
  const auto* children = childrenOf(combo, ignored);
  return children != nullptr && !children->empty() &&
         roleOf(children->front().get(), ignored) == ATSPI_ROLE_PUSH_BUTTON;
}

NodeRef comboEntryOf(Node* combo, ReadContext& read) {
  const auto* children = childrenOf(combo, read);
  if (children == nullptr) return nullptr;
  for (const NodeRef& child : *children) {
    if (isEditableTextChild(child.get(), read)) return share(child.get());
  }
  return nullptr;
}

}  // namespace kestreye::atspi
