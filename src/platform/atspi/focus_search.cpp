#include <algorithm>
#include <utility>
#include <vector>

#include "platform/atspi/atspi_private.h"
#include "platform/atspi/cell_address.h"

namespace kestreye::atspi {
namespace {

// Bounds of the search for the focus.
constexpr int kMaxSearchNodes = 5000;
constexpr int kMaxSearchDepth = 64;

// What the focus search looks for.
enum class Target {
  Focused,       ///< the FOCUSED element
  OpenMenuItem,  ///< the SELECTED item of a menu on screen
};

bool isMenuItemRole(AtspiRole role) {
  return role == ATSPI_ROLE_MENU_ITEM || role == ATSPI_ROLE_CHECK_MENU_ITEM ||
         role == ATSPI_ROLE_RADIO_MENU_ITEM || role == ATSPI_ROLE_MENU;
}

// Whether a menu item's menu is open. Browsers keep the options of a closed
// select as a menu whose chosen item stays SELECTED and SHOWING: Chromium's
// menu is not SHOWING, Firefox's select is EXPANDABLE but not EXPANDED.
bool inOpenMenu(Node* item, const ReadContext& read) {
  ReadContext ignored = read.fresh();
  NodeRef menu = parentOf(item, ignored);
  for (int level = 0; level < 2 && menu != nullptr; ++level) {
    StateSet states = statesOf(menu.get(), ignored);
    if (roleOf(menu.get(), ignored) == ATSPI_ROLE_COMBO_BOX) {
      return !hasState(states, ATSPI_STATE_EXPANDABLE) ||
             hasState(states, ATSPI_STATE_EXPANDED);
    }
    if (level == 0 && !hasState(states, ATSPI_STATE_SHOWING)) return false;
    menu = parentOf(menu.get(), ignored);
  }
  return true;
}

bool matches(Node* node, Target target, ReadContext& read) {
  StateSet states = statesOf(node, read);
  if (target == Target::Focused) return hasState(states, ATSPI_STATE_FOCUSED);
  return hasState(states, ATSPI_STATE_SELECTED) &&
         hasState(states, ATSPI_STATE_SHOWING) &&
         isMenuItemRole(roleOf(node, read)) && inOpenMenu(node, read);
}

// Which of several matches is the focus: the deepest control, and a plain
// container only when no control matched. GTK reports a link and the label
// around it, or a tree and its cell; Qt reports a text edit and the viewport
// inside it.
int matchScore(Node* node, int depth, const ReadContext& read) {
  ReadContext ignored = read.fresh();
  switch (roleOf(node, ignored)) {
    case ATSPI_ROLE_FILLER:
    case ATSPI_ROLE_PANEL:
    case ATSPI_ROLE_VIEWPORT:
    case ATSPI_ROLE_SCROLL_PANE:
    case ATSPI_ROLE_SECTION:
    case ATSPI_ROLE_GROUPING:
    case ATSPI_ROLE_REDUNDANT_OBJECT:
    case ATSPI_ROLE_UNKNOWN:
      return depth;
    default:
      return (1 << 20) + depth;
  }
}

// How many blocks of an editable web area are asked whether they hold the
// focus.
constexpr size_t kMaxBlocksAsked = 64;

// The FOCUSED block of an editable web area, or null. Its blocks are its
// text, so childrenOf does not list them; yet Chromium puts the focus of a
// document in design mode (an iframe editor) on its body, one of them.
NodeRef focusedBlockOf(Node* host, const ReadContext& read) {
  ReadContext local = read.fresh();
  return childInState(host, kMaxBlocksAsked, ATSPI_STATE_FOCUSED, local);
}

// Where the focus is looked for last: tool bars and status bars hold many
// controls and seldom the focus.
bool searchedLast(AtspiRole role) {
  return role == ATSPI_ROLE_TOOL_BAR || role == ATSPI_ROLE_STATUS_BAR;
}

// The elements on screen below some roots, level by level: each level's
// children, and their roles and states, are asked in two batches. An element
// that manages its descendants is not entered: its children can be countless
// (focusInside asks it for its focus).
struct Sweep {
  struct Seen {
    Node* node;
    int depth;
  };
  std::vector<Seen> seen;         ///< in level order, document order within
  std::vector<NodeRef> managing;  ///< met, in that order
  std::vector<Seen> last;         ///< not entered: searchedLast roots
  int budget = kMaxSearchNodes;

  /// Sweeps below `roots`, the children on screen only unless `hidden`;
  /// false when a read failed. A sweep of what is `known` asks nothing: it
  /// goes through the lists and states already read (or held in a
  /// snapshot), hidden or not.
  bool run(std::vector<Seen> level, ReadContext& read, bool deferLast,
           bool hidden = false, bool known = false) {
    std::vector<Node*> nodes;
    for (const Seen& entry : level) nodes.push_back(entry.node);
    if (!known) prefetch(nodes, kPrefetchRole | kPrefetchStates, read);
    while (!level.empty() && budget > 0 && read.ok()) {
      std::vector<Seen> open;
      for (const Seen& entry : level) {
        if (known && !read.memo(entry.node).states.known) continue;
        if (--budget < 0) break;
        seen.push_back(entry);
        const StateSet states = statesOf(entry.node, read);
        if (hasState(states, ATSPI_STATE_MANAGES_DESCENDANTS)) {
          managing.push_back(share(entry.node));
        } else if (deferLast && searchedLast(roleOf(entry.node, read))) {
          last.push_back(entry);
        } else if (entry.depth < kMaxSearchDepth) {
          open.push_back(entry);
        }
      }
      nodes.clear();
      for (const Seen& entry : open) nodes.push_back(entry.node);
      if (!known) {
        // Whether an editable one has a Text interface (childrenOf lists
        // no children of an editable text) rides with the lists.
        Riders counts(nodes, kPrefetchEditableCount, read);
        prefetchRawChildren(nodes, read, &counts);
        counts.rest();
      }
      std::vector<Seen> next;
      for (const Seen& entry : open) {
        const ElementMemo& memo = read.memo(entry.node);
        if (known && !memo.rawChildrenRead) continue;
        const auto* children = known    ? &memo.rawChildren
                               : hidden ? rawChildrenOf(entry.node, read)
                                        : childrenOf(entry.node, read);
        if (children == nullptr) return false;
        for (const NodeRef& child : *children) {
          next.push_back(Seen{child.get(), entry.depth + 1});
        }
      }
      // The children a list left unasked as hidden (listChildren) are asked
      // with their level.
      if (hidden && !known) {
        nodes.clear();
        for (const Seen& entry : next) nodes.push_back(entry.node);
        prefetch(nodes, kPrefetchRole | kPrefetchStates, read);
      }
      level = std::move(next);
    }
    return read.ok();
  }
};

// The best match of `target` among the swept elements: the one with the
// highest score (matchScore), the first of equals. An editable web area
// that is no match is asked for its focused block.
NodeRef bestMatch(const Sweep& sweep, Target target, ReadContext& read) {
  NodeRef best;
  int bestScore = -1;
  for (const Sweep::Seen& entry : sweep.seen) {
    if (!read.ok()) return nullptr;
    if (matches(entry.node, target, read)) {
      const int score = matchScore(entry.node, entry.depth, read);
      if (score > bestScore) {
        best = share(entry.node);
        bestScore = score;
      }
      continue;
    }
    if (target == Target::Focused &&
        hasState(statesOf(entry.node, read), ATSPI_STATE_EDITABLE) &&
        isEditableHost(entry.node, read)) {
      if (NodeRef block = focusedBlockOf(entry.node, read)) {
        const int score = matchScore(block.get(), entry.depth + 1, read);
        if (score > bestScore) {
          best = std::move(block);
          bestScore = score;
        }
      }
    }
  }
  return best;
}

// How many selected children of an element that manages its descendants
// are asked whether they hold the focus.
constexpr int kMaxSelectedAsked = 16;

// The FOCUSED one among the selected children of an element that manages
// its descendants, or null. A tree's cursor row is usually selected: its
// Selection interface hands it out without the application building every
// row, as a Collection search over the tree would.
NodeRef focusedSelection(Node* managing, ReadContext& read) {
  ReadContext local = read.fresh();
  // An element without a Selection interface answers with an error.
  const int count = local
                        .ask(managing,
                             [](bus::Batch& batch, const bus::ObjectRef& ref) {
                               return batch.selectedChildCount(ref);
                             })
                        .value_or(0);
  std::vector<Node*> selected;
  if (count > 0 && local.ok()) {
    std::unique_ptr<bus::Batch> batch = local.batchFor(managing->ref.bus);
    std::vector<bus::Ticket<bus::ObjectRef>> asked;
    for (int i = 0;
         (batch != nullptr) && i < std::min(count, kMaxSelectedAsked); ++i) {
      asked.push_back(batch->selectedChild(managing->ref, i));
    }
    if ((batch != nullptr)) batch->run();
    for (const auto& ticket : asked) {
      ReadContext one = local.fresh();
      if (auto ref = one.take(managing->ref.bus, (*batch)[ticket])) {
        if (Node* child = local.intern(*ref)) selected.push_back(child);
      }
    }
  }
  prefetch(selected, kPrefetchStates, local);
  for (Node* child : selected) {
    if (hasState(statesOf(child, local), ATSPI_STATE_FOCUSED)) {
      return share(child);
    }
  }
  if (read.cache().hangs(managing)) {
    read.fail(kAxCannotComplete);
  }
  return nullptr;
}

// How many text fields of the window's tool bars are read for a cell
// address.
constexpr int kMaxAddressFields = 12;

// The text fields on screen inside tool bars: the window is swept with its
// tool bars left aside, as the focus search sweeps it (the scan's memo
// answers what it read then), and then the tool bars.
std::vector<NodeRef> toolBarFields(Node* window, const ReadContext& read) {
  ReadContext local = read.fresh();
  Sweep outside;
  std::vector<NodeRef> fields;
  if (!outside.run({Sweep::Seen{window, 0}}, local, true)) return fields;
  std::vector<Sweep::Seen> bars;
  for (const Sweep::Seen& entry : outside.last) {
    if (roleOf(entry.node, local) == ATSPI_ROLE_TOOL_BAR) bars.push_back(entry);
  }
  Sweep inside;
  (void)inside.run(std::move(bars), local, false);
  for (const Sweep::Seen& entry : inside.seen) {
    if (fields.size() >= static_cast<size_t>(kMaxAddressFields)) break;
    ReadContext one = read.fresh();
    if (roleOf(entry.node, one) == ATSPI_ROLE_TEXT &&
        !hasState(statesOf(entry.node, one), ATSPI_STATE_MULTI_LINE)) {
      fields.push_back(share(entry.node));
    }
  }
  return fields;
}

}  // namespace

// The cell that has the cursor in a focused sheet. LibreOffice Calc marks
// no cell FOCUSED until one is asked for, selects none while the cursor
// stands on one cell, and claims two billion cells: a search would make it
// build them all. The cursor's address stands in its Name Box, a text field
// of the window's tool bars; the one cell at that address is asked for, and
// taken when it says it has the focus.
NodeRef cursorCell(Node* sheet, Node* window, ReadContext& read) {
  if (window == nullptr || roleOf(sheet, read) != ATSPI_ROLE_TABLE) {
    return nullptr;
  }
  for (const NodeRef& field : toolBarFields(window, read)) {
    ReadContext local = read.fresh();
    const std::optional<std::string>& text = textOf(field.get(), local);
    const std::optional<CellAddress> address =
        text.has_value() ? parseCellAddress(*text) : std::nullopt;
    if (!address.has_value()) continue;
    const std::optional<bus::ObjectRef> ref =
        local.ask(sheet, [&](bus::Batch& batch, const bus::ObjectRef& target) {
          return batch.cellAt(target, address->row, address->column);
        });
    NodeRef cell = share(ref.has_value() ? local.intern(*ref) : nullptr);
    if (cell != nullptr &&
        hasState(statesOf(cell.get(), local), ATSPI_STATE_FOCUSED)) {
      // What the scan reads of its focus next, and of the sheet above it,
      // in one round trip: each was one of its own.
      Riders({{cell.get(), kPrefetchParent | kPrefetchExtents | kPrefetchCount |
                               kPrefetchName | kPrefetchDescription |
                               kPrefetchRelations},
              {sheet, kPrefetchCount | kPrefetchRelations}},
             read)
          .rest();
      return cell;
    }
    if (read.cache().hangs(sheet)) {
      read.fail(kAxCannotComplete);
      return nullptr;
    }
  }
  return nullptr;
}

namespace {

// The focused descendant of an element that manages its descendants, or
// null. Such an element builds an object for every child it is asked for,
// and may claim millions: the focused one is asked for through its
// selection, its table's cursor, or, in a short list (Writer's paragraphs
// on screen), one child at a time (childrenOf lists a few hundred of them at
// most, and none of a table's); never searched for.
NodeRef focusInside(Node* managing, Node* window, ReadContext& read) {
  if (auto selected = focusedSelection(managing, read)) return selected;
  if (!read.ok()) return nullptr;
  if (auto cell = cursorCell(managing, window, read)) return cell;
  if (!read.ok()) return nullptr;
  ReadContext local = read.fresh();
  if (const auto* children = childrenOf(managing, local)) {
    for (const NodeRef& child : *children) {
      if (hasState(statesOf(child.get(), local), ATSPI_STATE_FOCUSED)) {
        return share(child.get());
      }
    }
  }
  return nullptr;
}

// The focused descendant of a focused element that manages its
// descendants, or the element itself.
NodeRef focusedDescendant(NodeRef focused, Node* window, ReadContext& read) {
  if (!hasState(statesOf(focused.get(), read),
                ATSPI_STATE_MANAGES_DESCENDANTS)) {
    return focused;
  }
  if (auto inside = focusInside(focused.get(), window, read)) return inside;
  return focused;
}

// The best of the matches of `target`, in document order: a control before
// a container, and of equals the last, which is the deepest of a chain of
// ancestors.
NodeRef bestInOrder(const std::vector<Node*>& found, Target target,
                    ReadContext& read) {
  NodeRef best;
  int bestScore = -1;
  for (Node* node : found) {
    if (!read.ok()) return nullptr;
    if (!matches(node, target, read)) continue;
    const int score = matchScore(node, 0, read);
    if (score >= bestScore) {
      best = share(node);
      bestScore = score;
    }
  }
  return best;
}

// The focus below a Chromium window, found by Chromium itself: one
// Collection search for the elements either FOCUSED or SELECTED, of which
// the SELECTED items on screen and the FOCUSED elements are the candidates.
// Its tree is built before anyone asks, and it holds no element that
// manages countless descendants, so the search costs it a walk of what it
// has (one walk for both); it sends no snapshot. A page that holds more
// SELECTED elements than are worth asking about (a long list with
// everything selected) is searched again, for the SELECTED items on screen
// and the FOCUSED elements apart. False when the window has no Collection
// interface.
bool focusByCollection(Node* root, ReadContext& read, NodeRef* focus) {
  constexpr size_t kMaxCandidates = 32;
  // The candidates for an open menu's item, and for the FOCUSED element,
  // each in document order.
  std::vector<Node*> items;
  std::vector<Node*> focusedOnes;
  const auto intern = [&read](const std::vector<bus::ObjectRef>& refs,
                              std::vector<Node*>& into) {
    for (const bus::ObjectRef& ref : refs) {
      if (Node* node = read.intern(ref)) into.push_back(node);
    }
  };
  // Asked already with the search for the frontmost application, or now.
  std::optional<bus::Children> found =
      std::exchange(read.memo(root).earlyCandidates, std::nullopt);
  if (!found.has_value()) {
    std::unique_ptr<bus::Batch> batch = read.batchFor(root->ref.bus);
    if (batch == nullptr) return true;
    const auto either = askFocusCandidates(*batch, root);
    batch->run();
    found = read.take(root->ref.bus, (*batch)[either]);
    if (!read.ok()) return true;
    if (!found.has_value()) return false;
  }
  if (!found->truncated && found->refs.size() <= kMaxCandidates) {
    // Which is which its states tell (matches).
    intern(found->refs, items);
    focusedOnes = items;
  } else {
    std::unique_ptr<bus::Batch> apart = read.batchFor(root->ref.bus);
    if (apart == nullptr) return true;
    const auto menuItems = apart->matchingStates(
        root->ref, stateWords({ATSPI_STATE_SELECTED, ATSPI_STATE_SHOWING}), 0);
    const auto focused =
        apart->matchingStates(root->ref, stateWords({ATSPI_STATE_FOCUSED}), 0);
    apart->run();
    ReadContext probe = read.fresh();
    if (std::optional<bus::Children> listed =
            probe.take(root->ref.bus, (*apart)[menuItems])) {
      intern(listed->refs, items);
    }
    found = read.take(root->ref.bus, (*apart)[focused]);
    if (!read.ok()) return true;
    if (!found.has_value()) return false;
    intern(found->refs, focusedOnes);
  }
  std::vector<Node*> nodes = items;
  if (focusedOnes != items) {
    nodes.insert(nodes.end(), focusedOnes.begin(), focusedOnes.end());
  }
  // Their parents too: a SELECTED item's tells whether its menu is open,
  // and the focus's is where the climb to its window begins.
  prefetch(nodes, kPrefetchRole | kPrefetchStates | kPrefetchParent, read);
  if (NodeRef item = bestInOrder(items, Target::OpenMenuItem, read)) {
    *focus = std::move(item);
    return true;
  }
  if (NodeRef best = bestInOrder(focusedOnes, Target::Focused, read)) {
    *focus = focusedDescendant(std::move(best), root, read);
  }
  if (*focus == nullptr || !read.ok()) return true;
  // What the scan reads next, in one round trip: whether the focus has a
  // text (editableAreaOf), its frame, and the first level of the climb.
  std::vector<Wanted> next{{focus->get(), kPrefetchCount | kPrefetchExtents}};
  if (const NodeRef& parent = read.memo(focus->get()).parent) {
    next.push_back(
        {parent.get(), kPrefetchRole | kPrefetchStates | kPrefetchParent});
  }
  Riders(std::move(next), read).rest();
  return true;
}

}  // namespace

bus::Ticket<bus::Children> askFocusCandidates(bus::Batch& batch,
                                              const Node* window) {
  return batch.matchingStates(
      window->ref, stateWords({ATSPI_STATE_FOCUSED, ATSPI_STATE_SELECTED}), 0,
      true);
}

// The focus below `root`: the SELECTED item of an open menu (an open menu
// leaves FOCUSED on the control it came from), else the FOCUSED element; of
// several, the one with the best score (matchScore): the deepest control.
//
// The window is swept level by level, each level's questions sent at once
// (two batches a level), tool bars and status bars only when the rest holds
// no match. The sweep never enters an element that manages its
// descendants. No Collection search is ever made over the window: the
// application would walk every table in it and build every cell (two
// seconds for a 100,000-row tree; Calc's sheet grows by gigabytes and stops
// answering).
NodeRef focusBelow(Node* root, ReadContext& read) {
  constexpr Target kTargets[2] = {Target::OpenMenuItem, Target::Focused};
  const std::string toolkit =
      toolkitOf(applicationRootOf(root, read), read).name;
  if (toolkit == "Chromium") {
    NodeRef focus;
    if (focusByCollection(root, read, &focus)) return focus;
  }
  Sweep sweep;
  if (!sweep.run({Sweep::Seen{root, 0}}, read, true)) return nullptr;
  for (int t = 0; t < 2 && read.ok(); ++t) {
    NodeRef best = bestMatch(sweep, kTargets[t], read);
    if (best == nullptr) continue;
    return t == 0 ? best : focusedDescendant(std::move(best), root, read);
  }
  if (!read.ok()) return nullptr;
  // No match: the focus may be a tree's cursor row, or a paragraph of
  // Writer's document.
  for (const NodeRef& element : sweep.managing) {
    if (!read.ok()) break;
    if (!hasState(statesOf(element.get(), read), ATSPI_STATE_SHOWING)) {
      continue;
    }
    if (auto focused = focusInside(element.get(), root, read)) {
      return focused;
    }
  }
  // Nothing outside the tool bars and status bars: they are swept too.
  if (!sweep.last.empty()) {
    Sweep bars;
    if (!bars.run(std::move(sweep.last), read, false)) return nullptr;
    for (int t = 0; t < 2 && read.ok(); ++t) {
      NodeRef best = bestMatch(bars, kTargets[t], read);
      if (best == nullptr) continue;
      return t == 0 ? best : focusedDescendant(std::move(best), root, read);
    }
    if (!read.ok()) return nullptr;
  }
  // No match on screen: Firefox keeps an editor's hidden textarea (Monaco's)
  // FOCUSED but not SHOWING, and GTK hides what scrolled out of view. What
  // is known already is looked through first: a hidden document that
  // nothing has read (Firefox's preloaded new tab, which it builds when its
  // children are asked for) is not read for a focus found elsewhere.
  for (const bool known : {true, false}) {
    Sweep hidden;
    if (!hidden.run({Sweep::Seen{root, 0}}, read, false, true, known)) {
      return nullptr;
    }
    if (NodeRef best = bestMatch(hidden, Target::Focused, read)) {
      return focusedDescendant(std::move(best), root, read);
    }
  }
  return nullptr;
}

NodeRef activeWindowOf(Node* app, ReadContext& read) {
  const auto* windows = childrenOf(app, read);
  if (windows == nullptr) return nullptr;
  // Every window is asked, however many: the scan's deadline bounds the
  // search, and the active one may be listed last.
  for (size_t i = 0; i < windows->size(); ++i) {
    Node* window = (*windows)[i].get();
    if (hasState(statesOf(window, read), ATSPI_STATE_ACTIVE)) {
      return share(window);
    }
  }
  return nullptr;
}

NodeRef focusedElementOf(Node* app, ReadContext& read) {
  if (readsSnapshot(app, read)) loadSnapshot(app, read);
  NodeRef window = activeWindowOf(app, read);
  if (window != nullptr) {
    if (auto focused = focusBelow(window.get(), read)) {
      focused = awaitChromiumPage(app, window.get(), std::move(focused), read);
      awaitGeckoData(app, focused.get(), read);
      return focused;
    }
    if (!read.ok()) return nullptr;
    if (auto focused = wakeAndFindFocus(app, window.get(), read)) {
      return awaitChromiumPage(app, window.get(), std::move(focused), read);
    }
  }
  const auto* windows = childrenOf(app, read);
  if (windows == nullptr) return nullptr;
  for (size_t i = 0; i < windows->size(); ++i) {
    Node* other = (*windows)[i].get();
    if (other == window.get()) continue;
    if (auto focused = focusBelow(other, read)) {
      return focused;
    }
    if (!read.ok()) return nullptr;
  }
  return nullptr;
}

}  // namespace kestreye::atspi
