#include <algorithm>
#include <utility>
#include <vector>

#include "platform/atspi/atspi_private.h"
#include "platform/atspi/cell_address.h"

namespace kestreye::atspi {
namespace {

// Bounds of the depth-first search for the focus over round trips, where
// libatspi's snapshot falls short or there is none (Qt, GTK 4).
constexpr int kMaxSearchNodes = 5000;
// Bound of the search over libatspi's snapshot, which makes no round trip.
constexpr int kMaxSnapshotNodes = 50000;
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
bool inOpenMenu(AtspiAccessible* item, const ReadContext& read) {
  ReadContext ignored = read.fresh();
  GRef<AtspiAccessible> menu = parentOf(item, ignored);
  for (int level = 0; level < 2 && menu != nullptr; ++level) {
    GRef<AtspiStateSet> states = statesOf(menu.get(), ignored);
    if (roleOf(menu.get(), ignored) == ATSPI_ROLE_COMBO_BOX) {
      return !hasState(states, ATSPI_STATE_EXPANDABLE) ||
             hasState(states, ATSPI_STATE_EXPANDED);
    }
    if (level == 0 && !hasState(states, ATSPI_STATE_SHOWING)) return false;
    menu = parentOf(menu.get(), ignored);
  }
  return true;
}

bool matches(AtspiAccessible* node, Target target, ReadContext& read) {
  GRef<AtspiStateSet> states = statesOf(node, read);
  if (target == Target::Focused) return hasState(states, ATSPI_STATE_FOCUSED);
  return hasState(states, ATSPI_STATE_SELECTED) &&
         hasState(states, ATSPI_STATE_SHOWING) &&
         isMenuItemRole(roleOf(node, read)) && inOpenMenu(node, read);
}

// Which of several matches is the focus: the deepest control, and a plain
// container only when no control matched. GTK reports a link and the label
// around it, or a tree and its cell; Qt reports a text edit and the viewport
// inside it.
int matchScore(AtspiAccessible* node, int depth, const ReadContext& read) {
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

// One depth-first search: how many more elements it may look at, and
// whether it keeps to libatspi's snapshot.
struct DepthFirst {
  explicit DepthFirst(int budget, bool snapshotOnly = false)
      : budget(budget), snapshotOnly(snapshotOnly) {}

  int budget;
  /// Only the children libatspi's snapshot holds are searched, so the search
  /// makes no round trip.
  bool snapshotOnly = false;
  /// Whether everything below the best match was searched: a part of it
  /// missing from the snapshot may hold a deeper match.
  bool bestComplete = false;
  /// The elements met that manage their descendants, in document order.
  std::vector<GRef<AtspiAccessible>> managing;
};

// How many blocks of an editable web area are asked whether they hold the
// focus.
constexpr int kMaxBlocksAsked = 64;

// The FOCUSED block of an editable web area, or null. Its blocks are its
// text, so childrenOf does not list them; yet Chromium puts the focus of a
// document in design mode (an iframe editor) on its body, one of them.
GRef<AtspiAccessible> focusedBlockOf(AtspiAccessible* host,
                                     const ReadContext& read) {
  ReadContext local = read.fresh();
  const int count = std::min(childCountOf(host, local), kMaxBlocksAsked);
  return childInState(host, count, ATSPI_STATE_FOCUSED, local);
}

// Depth-first search, over libatspi's snapshot of an application or, for
// toolkits without a snapshot, over round trips. The children
// of an element that manages its descendants are not searched: they can be
// countless and are never in the snapshot. Returns whether everything below
// `node` was searched.
bool searchDepthFirst(AtspiAccessible* node, Target target, int depth,
                      DepthFirst& search, ReadContext& read,
                      GRef<AtspiAccessible>* best, int* bestScore) {
  if (!read.ok() || search.budget <= 0) return false;
  --search.budget;
  bool isBest = false;
  if (matches(node, target, read)) {
    const int score = matchScore(node, depth, read);
    if (score > *bestScore) {
      *best = newRef(node);
      *bestScore = score;
      isBest = true;
    }
  }
  // Outside the snapshot the blocks of an editable web area are not listed;
  // its focused block is asked for (and read as the area it belongs to).
  if (!isBest && target == Target::Focused && !search.snapshotOnly &&
      isEditableHost(node, read)) {
    if (GRef<AtspiAccessible> block = focusedBlockOf(node, read)) {
      const int score = matchScore(block.get(), depth + 1, read);
      if (score > *bestScore) {
        *best = std::move(block);
        *bestScore = score;
      }
    }
  }
  // A best match that manages its descendants is searched on its own
  // (focusedDescendant).
  if (hasState(statesOf(node, read), ATSPI_STATE_MANAGES_DESCENDANTS)) {
    if (isBest) search.bestComplete = true;
    search.managing.push_back(newRef(node));
    return false;
  }
  std::vector<AtspiAccessible*> children;
  bool complete = depth < kMaxSearchDepth;
  if (complete && search.snapshotOnly) {
    complete = snapshotChildren(node, &children);
  } else if (complete) {
    const auto* listed = childrenOf(node, read);
    complete = listed != nullptr;
    for (size_t i = 0; listed != nullptr && i < listed->size(); ++i) {
      children.push_back((*listed)[i].get());
    }
  }
  for (AtspiAccessible* child : children) {
    if (!searchDepthFirst(child, target, depth + 1, search, read, best,
                          bestScore)) {
      complete = false;
    }
    if (!read.ok()) return false;
  }
  if (isBest && best->get() == node) search.bestComplete = complete;
  return complete;
}

// How many selected children of an element that manages its descendants
// are asked whether they hold the focus.
constexpr int kMaxSelectedAsked = 16;

// The FOCUSED one among the selected children of an element that manages
// its descendants, or null. A tree's cursor row is usually selected: its
// Selection interface hands it out without the application building every
// row, as a Collection search over the tree would.
GRef<AtspiAccessible> focusedSelection(AtspiAccessible* managing,
                                       ReadContext& read) {
  GRef<AtspiSelection> selection(
      atspi_accessible_get_selection_iface(managing));
  if (selection == nullptr) return nullptr;
  ReadContext local = read.fresh();
  const int count = local.call(managing, [&](GError** error) {
    return atspi_selection_get_n_selected_children(selection.get(), error);
  });
  for (int i = 0; i < std::min(count, kMaxSelectedAsked) && local.ok(); ++i) {
    GRef<AtspiAccessible> child(local.call(managing, [&](GError** error) {
      return atspi_selection_get_selected_child(selection.get(), i, error);
    }));
    if (child != nullptr &&
        hasState(statesOf(child.get(), local), ATSPI_STATE_FOCUSED)) {
      return child;
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

// The text fields on screen inside tool bars, in the window's order. The
// walks of the block list the same elements later, from the scan's memo.
void toolBarFields(AtspiAccessible* node, bool inToolBar, int depth,
                   int& budget, const ReadContext& read,
                   std::vector<GRef<AtspiAccessible>>& fields) {
  ReadContext ignored = read.fresh();
  if (--budget < 0 || depth > kMaxSearchDepth ||
      fields.size() >= static_cast<size_t>(kMaxAddressFields)) {
    return;
  }
  const AtspiRole role = roleOf(node, ignored);
  if (inToolBar && role == ATSPI_ROLE_TEXT &&
      !hasState(statesOf(node, ignored), ATSPI_STATE_MULTI_LINE)) {
    fields.push_back(newRef(node));
    return;
  }
  const auto* children = childrenOf(node, ignored);
  for (size_t i = 0; children != nullptr && i < children->size(); ++i) {
    toolBarFields((*children)[i].get(),
                  inToolBar || role == ATSPI_ROLE_TOOL_BAR, depth + 1, budget,
                  read, fields);
  }
}

// The cell that has the cursor in a focused sheet. LibreOffice Calc marks
// no cell FOCUSED until one is asked for, selects none while the cursor
// stands on one cell, and claims two billion cells: a search would make it
// build them all. The cursor's address stands in its Name Box, a text field
// of the window's tool bars; the one cell at that address is asked for, and
// taken when it says it has the focus.
GRef<AtspiAccessible> cursorCell(AtspiAccessible* sheet,
                                 AtspiAccessible* window, ReadContext& read) {
  GRef<AtspiTable> table(atspi_accessible_get_table_iface(sheet));
  if (table == nullptr || window == nullptr) return nullptr;
  std::vector<GRef<AtspiAccessible>> fields;
  int budget = kMaxSearchNodes;
  toolBarFields(window, false, 0, budget, read, fields);
  for (const GRef<AtspiAccessible>& field : fields) {
    ReadContext local = read.fresh();
    const std::optional<std::string>& text = textOf(field.get(), local);
    const std::optional<CellAddress> address =
        text.has_value() ? parseCellAddress(*text) : std::nullopt;
    if (!address.has_value()) continue;
    GRef<AtspiAccessible> cell(local.call(sheet, [&](GError** error) {
      return atspi_table_get_accessible_at(table.get(), address->row,
                                           address->column, error);
    }));
    if (cell != nullptr &&
        hasState(statesOf(cell.get(), local), ATSPI_STATE_FOCUSED)) {
      return cell;
    }
    if (read.cache().hangs(sheet)) {
      read.fail(kAxCannotComplete);
      return nullptr;
    }
  }
  return nullptr;
}

// The focused descendant of an element that manages its descendants, or
// null. Such an element builds an object for every child it is asked for,
// and may claim millions: the focused one is asked for through its
// selection, its table's cursor, or, in a short list (Writer's paragraphs
// on screen), one child at a time (childrenOf lists a few hundred of them at
// most, and none of a table's); never searched for.
GRef<AtspiAccessible> focusInside(AtspiAccessible* managing,
                                  AtspiAccessible* window, ReadContext& read) {
  if (auto selected = focusedSelection(managing, read)) return selected;
  if (!read.ok()) return nullptr;
  if (auto cell = cursorCell(managing, window, read)) return cell;
  if (!read.ok()) return nullptr;
  ReadContext local = read.fresh();
  if (const auto* children = childrenOf(managing, local)) {
    for (const GRef<AtspiAccessible>& child : *children) {
      if (hasState(statesOf(child.get(), local), ATSPI_STATE_FOCUSED)) {
        return newRef(child.get());
      }
    }
  }
  return nullptr;
}

// The focused descendant of a focused element that manages its
// descendants, or the element itself.
GRef<AtspiAccessible> focusedDescendant(GRef<AtspiAccessible> focused,
                                        AtspiAccessible* window,
                                        ReadContext& read) {
  if (!hasState(statesOf(focused.get(), read),
                ATSPI_STATE_MANAGES_DESCENDANTS)) {
    return focused;
  }
  if (auto inside = focusInside(focused.get(), window, read)) return inside;
  return focused;
}

}  // namespace

// The focus below `root`: the SELECTED item of an open menu (an open menu
// leaves FOCUSED on the control it came from), else the FOCUSED element; of
// several, the one with the best score (matchScore): the deepest control.
//
// libatspi's snapshot of a toolkit that sends one (GTK, the browsers) holds
// the states of every element outside the ones that manage their
// descendants, so it is searched first, without a round trip. Where it falls
// short, or where there is none (Qt, GTK 4), a depth-first walk over round
// trips follows, bounded, which never enters an element that manages its
// descendants. No Collection search is ever made over the window: the
// application would walk every table in it and build every cell (two
// seconds for a 100,000-row tree; Calc's sheet grows by gigabytes and stops
// answering).
GRef<AtspiAccessible> focusBelow(AtspiAccessible* root, ReadContext& read) {
  constexpr Target kTargets[2] = {Target::OpenMenuItem, Target::Focused};
  const bool snapshot = childrenCached(root);
  for (const bool snapshotOnly : {true, false}) {
    if (snapshotOnly && !snapshot) continue;
    GRef<AtspiAccessible> best[2];
    int bestScore[2] = {-1, -1};
    std::vector<GRef<AtspiAccessible>> managing;
    for (int t = 0; t < 2 && read.ok(); ++t) {
      DepthFirst search(snapshotOnly ? kMaxSnapshotNodes : kMaxSearchNodes,
                        snapshotOnly);
      (void)searchDepthFirst(root, kTargets[t], 0, search, read, &best[t],
                             &bestScore[t]);
      managing = std::move(search.managing);
      if (best[t] == nullptr) continue;
      if (snapshotOnly && !search.bestComplete) break;
      return t == 0 ? std::move(best[t])
                    : focusedDescendant(std::move(best[t]), root, read);
    }
    // No match: the focus may be a tree's cursor row, or a paragraph of
    // Writer's document.
    if (best[0] == nullptr && best[1] == nullptr) {
      for (const GRef<AtspiAccessible>& element : managing) {
        if (!read.ok()) break;
        if (!hasState(statesOf(element.get(), read), ATSPI_STATE_SHOWING)) {
          continue;
        }
        if (auto focused = focusInside(element.get(), root, read)) {
          return focused;
        }
      }
    }
    if (!read.ok()) return nullptr;
  }
  return nullptr;
}

GRef<AtspiAccessible> activeWindowOf(AtspiAccessible* app, ReadContext& read) {
  const auto* windows = childrenOf(app, read);
  if (windows == nullptr) return nullptr;
  // Every window is asked, however many: the scan's deadline bounds the
  // search, and the active one may be listed last.
  for (size_t i = 0; i < windows->size(); ++i) {
    AtspiAccessible* window = (*windows)[i].get();
    if (hasState(statesOf(window, read), ATSPI_STATE_ACTIVE)) {
      return newRef(window);
    }
  }
  return nullptr;
}

GRef<AtspiAccessible> focusedElementOf(AtspiAccessible* app,
                                       ReadContext& read) {
  GRef<AtspiAccessible> window = activeWindowOf(app, read);
  if (window != nullptr) {
    if (auto focused = focusBelow(window.get(), read)) {
      focused = awaitChromiumPage(app, window.get(), std::move(focused), read);
      awaitGeckoData(app, window.get(), focused.get(), read);
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
    AtspiAccessible* other = (*windows)[i].get();
    if (other == window.get()) continue;
    if (auto focused = focusBelow(other, read)) {
      return focused;
    }
    if (!read.ok()) return nullptr;
  }
  return nullptr;
}

}  // namespace kestreye::atspi
