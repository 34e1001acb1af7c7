#include <algorithm>
#include <limits>
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

// The SHOWING children in one Collection call (GTK), where listing them one
// by one would cost a round trip for the count, one for each child and one
// for each child's states. False when the element has no Collection
// interface or the call failed for another reason than a hang.
bool showingChildrenByCollection(AtspiAccessible* node, ReadContext& read,
                                 std::vector<GRef<AtspiAccessible>>* children) {
  GRef<AtspiCollection> collection(atspi_accessible_get_collection_iface(node));
  if (collection == nullptr) return false;
  AtspiMatchRule* showing = read.cache().showingRule();
  ReadContext local = read.fresh();
  // Not traversed: the direct children only, in their order.
  GObjectArray<AtspiAccessible> found(local.call(node, [&](GError** error) {
    return atspi_collection_get_matches(collection.get(), showing,
                                        ATSPI_Collection_SORT_ORDER_CANONICAL,
                                        kMaxChildren, FALSE, error);
  }));
  if (found.null() || !local.ok()) {
    if (read.cache().hangs(node)) {
      read.fail(kAxCannotComplete);
      return true;
    }
    return false;
  }
  for (size_t i = 0; i < found.size(); ++i) {
    children->push_back(found.take(i));
  }
  return true;
}

bool carries(AtspiAccessible* node, AtspiStateType state,
             const ReadContext& read) {
  ReadContext ignored = read.fresh();
  return hasState(statesOf(node, ignored), state);
}

// GTK 4 keeps every page of a stack VISIBLE and gives the hidden ones no
// size; a page has no frame of its own (and GTK 4 names it after its class),
// so its first child tells.
bool isHiddenStackPage(AtspiAccessible* node, const ReadContext& read) {
  ReadContext ignored = read.fresh();
  if (roleOf(node, ignored) != ATSPI_ROLE_PANEL) return false;
  GText name(ignored.call(node, [&](GError** error) {
    return atspi_accessible_get_name(node, error);
  }));
  if (name == nullptr || g_strcmp0(name.get(), "GtkStackPage") != 0) {
    return false;
  }
  GRef<AtspiAccessible> first = childAtIndex(node, 0, ignored);
  if (first == nullptr) return false;
  const std::optional<AtspiRect>& frame = extentsOf(first.get(), ignored);
  return frame.has_value() && frame->width == 0 && frame->height == 0;
}

bool isEditableTextChild(AtspiAccessible* child, const ReadContext& read) {
  ReadContext ignored = read.fresh();
  const AtspiRole role = roleOf(child, ignored);
  if (role != ATSPI_ROLE_TEXT && role != ATSPI_ROLE_ENTRY) return false;
  return hasState(statesOf(child, ignored), ATSPI_STATE_EDITABLE);
}

// Whether the element shows its whole text itself (labels, paragraphs,
// headings, links, buttons): Chromium gives it a STATIC child for each run
// of that text, which would count every text twice.
bool holdsLeafText(AtspiAccessible* node, const ReadContext& read) {
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

bool isEditableParagraph(AtspiAccessible* node, ReadContext& read) {
  return roleOf(node, read) == ATSPI_ROLE_PARAGRAPH &&
         hasState(statesOf(node, read), ATSPI_STATE_EDITABLE);
}

// A text frame's paragraphs read as one text (textOf): one of them, the
// focused one if any, stands for the frame, so that it is one field.
bool isTextFrame(AtspiAccessible* node,
                 const std::vector<GRef<AtspiAccessible>>& children,
                 const ReadContext& read) {
  ReadContext ignored = read.fresh();
  return children.size() >= 2 && roleOf(node, ignored) == ATSPI_ROLE_PANEL &&
         std::all_of(children.begin(), children.end(),
                     [&](const GRef<AtspiAccessible>& child) {
                       return isEditableParagraph(child.get(), ignored);
                     });
}

}  // namespace

AtspiMatchRule* ScanCache::showingRule() {
  if (showingRule_ == nullptr) {
    GRef<AtspiStateSet> states(atspi_state_set_new(nullptr));
    atspi_state_set_add(states.get(), ATSPI_STATE_SHOWING);
    showingRule_.reset(atspi_match_rule_new(
        states.get(), ATSPI_Collection_MATCH_ALL, nullptr,
        ATSPI_Collection_MATCH_NONE, nullptr, ATSPI_Collection_MATCH_NONE,
        nullptr, ATSPI_Collection_MATCH_NONE, FALSE));
  }
  return showingRule_.get();
}

const std::vector<GRef<AtspiAccessible>>* frameParagraphs(
    AtspiAccessible* paragraph, ReadContext& read) {
  if (!isEditableParagraph(paragraph, read)) return nullptr;
  GRef<AtspiAccessible> frame = parentOf(paragraph, read);
  if (frame == nullptr || roleOf(frame.get(), read) != ATSPI_ROLE_PANEL) {
    return nullptr;
  }
  ElementMemo& memo = read.memo(frame.get());
  if (!memo.paragraphsRead) {
    AtspiAccessible* panel = frame.get();
    const int count = childCountOf(panel, read);
    std::vector<GRef<AtspiAccessible>> paragraphs;
    if (count >= 2 && count <= kMaxFrameParagraphs) {
      forEachChildAt(panel, count, read, [&](GRef<AtspiAccessible> child) {
        if (child == nullptr || !isEditableParagraph(child.get(), read)) {
          paragraphs.clear();
          return false;
        }
        paragraphs.push_back(std::move(child));
        return true;
      });
    }
    if (!read.ok()) return nullptr;
    memo.paragraphsRead = true;
    memo.paragraphs = std::move(paragraphs);
  }
  return memo.paragraphs.empty() ? nullptr : &memo.paragraphs;
}

int childCountOf(AtspiAccessible* node, ReadContext& read) {
  return read.call(node, [&](GError** error) {
    return atspi_accessible_get_child_count(node, error);
  });
}

GRef<AtspiAccessible> childAtIndex(AtspiAccessible* node, int index,
                                   ReadContext& read) {
  return GRef<AtspiAccessible>(read.call(node, [&](GError** error) {
    return atspi_accessible_get_child_at_index(node, index, error);
  }));
}

GRef<AtspiAccessible> childInState(AtspiAccessible* node, int count,
                                   AtspiStateType state, ReadContext& read) {
  GRef<AtspiAccessible> found;
  forEachChildAt(node, count, read, [&](GRef<AtspiAccessible> child) {
    if (child != nullptr && hasState(statesOf(child.get(), read), state)) {
      found = std::move(child);
    }
    return found == nullptr;
  });
  return found;
}

bool snapshotChildren(AtspiAccessible* node,
                      std::vector<AtspiAccessible*>* children) {
  if ((node->cached_properties & ATSPI_CACHE_CHILDREN) == 0 ||
      node->children == nullptr ||
      (node->states != nullptr &&
       atspi_state_set_contains(node->states, ATSPI_STATE_TRANSIENT))) {
    return false;
  }
  bool all = true;
  for (guint i = 0; i < node->children->len; ++i) {
    auto* child =
        static_cast<AtspiAccessible*>(g_ptr_array_index(node->children, i));
    if (child == nullptr) {
      all = false;
    } else if (children != nullptr) {
      children->push_back(child);
    }
  }
  return all;
}

bool childrenCached(AtspiAccessible* node) {
  return snapshotChildren(node, nullptr);
}

bool isEditableHost(AtspiAccessible* node, const ReadContext& read) {
  ReadContext ignored = read.fresh();
  if (!hasState(statesOf(node, ignored), ATSPI_STATE_EDITABLE)) return false;
  GRef<AtspiText> text(atspi_accessible_get_text_iface(node));
  if (text == nullptr) return false;
  GRef<AtspiAccessible> parent = parentOf(node, ignored);
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
const std::vector<GRef<AtspiAccessible>>* childrenOf(AtspiAccessible* node,
                                                     ReadContext& read) {
  ElementMemo& memo = read.memo(node);
  if (memo.childrenRead) return &memo.children;
  ReadContext local = read.fresh();
  AtspiStateType onScreen = memo.childrenOnScreen;
  GRef<AtspiStateSet> nodeStates = statesOf(node, local);
  const bool showing = hasState(nodeStates, onScreen);
  const bool cached = childrenCached(node);
  const bool managed =
      hasState(nodeStates, ATSPI_STATE_MANAGES_DESCENDANTS) && !cached;
  // A table's cells are built for whoever asks, row by row and column by
  // column: its cursor is reached through its selection or its Table
  // interface (focus_search.cpp), and its cells are not listed at all, nor
  // counted.
  const bool table =
      managed && GRef<AtspiTable>(atspi_accessible_get_table_iface(node));
  // What libatspi's snapshot holds the application has already built; any
  // other child of an element that manages its descendants, or of one that
  // claims more children than a walk visits, the application builds when
  // asked for it: a Collection call over them builds them all.
  // libatspi's snapshot tells how many children an element it holds has,
  // even when it does not hold them all.
  int count = -1;
  if (!cached && (node->cached_properties & ATSPI_CACHE_CHILDREN) != 0 &&
      node->children != nullptr) {
    count = static_cast<int>(
        std::min<guint>(node->children->len, std::numeric_limits<int>::max()));
  } else if (!cached && !table && local.ok()) {
    count = childCountOf(node, local);
  }
  const int bound = managed ? kMaxManagedChildren : kMaxChildren;
  const bool listable = !table && (cached || count <= bound);
  std::vector<GRef<AtspiAccessible>> children;
  const bool listed = local.ok() && listable && showing && !cached &&
                      !managed &&
                      showingChildrenByCollection(node, local, &children);
  if (!listed && listable && local.ok()) {
    if (cached) count = childCountOf(node, local);
    count = count < 0 ? 0 : std::min(count, kMaxChildren);
    children.reserve(static_cast<size_t>(count));
    forEachChildAt(node, count, local, [&](GRef<AtspiAccessible> child) {
      if (child != nullptr) children.push_back(std::move(child));
      return true;
    });
    if (showing && local.ok()) {
      auto with = [&read](AtspiStateType state) {
        return [&read, state](const GRef<AtspiAccessible>& child) {
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
      std::erase_if(children, [&](const GRef<AtspiAccessible>& child) {
        ReadContext ignored = read.fresh();
        GRef<AtspiStateSet> states = statesOf(child.get(), ignored);
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
    std::erase_if(children, [&read](const GRef<AtspiAccessible>& child) {
      ReadContext ignored = read.fresh();
      return roleOf(child.get(), ignored) == ATSPI_ROLE_STATIC;
    });
  } else if (local.ok() && isTextFrame(node, children, local)) {
    const auto focused =
        std::find_if(children.begin(), children.end(),
                     [&read](const GRef<AtspiAccessible>& child) {
                       return carries(child.get(), ATSPI_STATE_FOCUSED, read);
                     });
    GRef<AtspiAccessible> shown = newRef(
        focused != children.end() ? focused->get() : children.front().get());
    children.clear();
    children.push_back(std::move(shown));
  }
  if (!local.ok()) {
    read.fail(local.failure());
    return nullptr;
  }
  // A child's parent is the element that lists it; knowing it saves a round
  // trip for every element libatspi does not cache. Not so below a window:
  // GTK's pop-up window lists the menu whose parent is its combo box.
  ReadContext ignored = read.fresh();
  GRef<AtspiAccessible> parent = parentOf(node, ignored);
  const bool window = parent != nullptr &&
                      roleOf(parent.get(), ignored) == ATSPI_ROLE_APPLICATION;
  for (const GRef<AtspiAccessible>& child : children) {
    ElementMemo& childMemo = read.memo(child.get());
    childMemo.childrenOnScreen = onScreen;
    if (!childMemo.parentRead && !window) {
      childMemo.parentRead = true;
      childMemo.parent = newRef(node);
    }
  }
  memo.childrenRead = true;
  memo.children = std::move(children);
  return &memo.children;
}

// Web engines keep the options of a closed select as a menu that is not
// SHOWING (Chromium) or inside a select that is not EXPANDED (Firefox), with
// the chosen option SELECTED: so the listing is the raw one, not
// childrenOf's.
GRef<AtspiAccessible> chosenItemOf(AtspiAccessible* combo, ReadContext& read) {
  auto countOf = [&](AtspiAccessible* parent) {
    return std::clamp(childCountOf(parent, read), 0, kMaxChildren);
  };
  // A select has one menu; a combo box's few other children are buttons.
  const int menus = std::min(countOf(combo), 4);
  GRef<AtspiAccessible> chosen;
  forEachChildAt(combo, menus, read, [&](GRef<AtspiAccessible> menu) {
    if (menu == nullptr) return true;
    const AtspiRole role = roleOf(menu.get(), read);
    if (role != ATSPI_ROLE_MENU && role != ATSPI_ROLE_LIST_BOX &&
        role != ATSPI_ROLE_LIST) {
      return true;
    }
    // In an open menu SELECTED marks the item under the keyboard, not the
    // chosen one (GTK's pop-up; Firefox's select is EXPANDED when open).
    GRef<AtspiStateSet> comboStates = statesOf(combo, read);
    const bool closed = hasState(comboStates, ATSPI_STATE_EXPANDABLE) &&
                        !hasState(comboStates, ATSPI_STATE_EXPANDED);
    if (!closed && hasState(statesOf(menu.get(), read), ATSPI_STATE_SHOWING)) {
      return false;
    }
    chosen = childInState(menu.get(), countOf(menu.get()), ATSPI_STATE_SELECTED,
                          read);
    return chosen == nullptr;
  });
  return chosen;
}

// GTK 4's drop-down has its button as its first child; GTK 3's combo box
// has its menu there.
bool drawsItsOwnButton(AtspiAccessible* combo, const ReadContext& read) {
  ReadContext ignored = read.fresh();
  const auto* children = childrenOf(combo, ignored);
  return children != nullptr && !children->empty() &&
         roleOf(children->front().get(), ignored) == ATSPI_ROLE_PUSH_BUTTON;
}

GRef<AtspiAccessible> comboEntryOf(AtspiAccessible* combo, ReadContext& read) {
  const auto* children = childrenOf(combo, read);
  if (children == nullptr) return nullptr;
  for (const GRef<AtspiAccessible>& child : *children) {
    if (isEditableTextChild(child.get(), read)) return newRef(child.get());
  }
  return nullptr;
}

}  // namespace kestreye::atspi
