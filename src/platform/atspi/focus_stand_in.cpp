#include <utility>
#include <vector>

#include "platform/atspi/atspi_private.h"
#include "platform/atspi/roles.h"

namespace kestreye::atspi {
namespace {

// GTK 4's drop-down takes the focus on the button it draws inside: the
// drop-down is the control the user sees focused. The drop-down, or null.
NodeRef dropDownOfButton(Node* node, const ReadContext& read) {
  ReadContext ignored = read.fresh();
  if (node == nullptr || roleOf(node, ignored) != ATSPI_ROLE_PUSH_BUTTON) {
    return nullptr;
  }
  NodeRef parent = parentOf(node, ignored);
  if (parent == nullptr ||
      roleOf(parent.get(), ignored) != ATSPI_ROLE_COMBO_BOX ||
      !drawsItsOwnButton(parent.get(), read)) {
    return nullptr;
  }
  return parent;
}

// Collects the combo boxes on screen without an entry below `node`; false
// when the walk could not see everything.
bool collectClosedCombos(Node* node, int depth, int* budget, ReadContext& read,
                         std::vector<Node*>* combos) {
  constexpr int kMaxDepth = 64;
  if (--*budget < 0 || depth > kMaxDepth) return false;
  StateSet states = statesOf(node, read);
  if (!hasState(states, ATSPI_STATE_SHOWING)) return true;
  if (roleOf(node, read) == ATSPI_ROLE_COMBO_BOX) {
    ReadContext ignored = read.fresh();
    if (hasState(states, ATSPI_STATE_SENSITIVE) &&
        comboEntryOf(node, ignored) == nullptr) {
      combos->push_back(node);
    }
    return true;
  }
  if (hasState(states, ATSPI_STATE_MANAGES_DESCENDANTS)) return true;
  const auto* children = childrenOf(node, read);
  if (children == nullptr) return false;
  for (const NodeRef& child : *children) {
    if (!collectClosedCombos(child.get(), depth + 1, budget, read, combos)) {
      return false;
    }
  }
  return read.ok();
}

// GTK 3 gives the focus of a combo box without an entry to a button inside
// it that it does not expose, and the combo box does not say it has the
// focus either (a screen reader learns it from the focus event alone): no
// element of the window is FOCUSED. When a GTK 3 window has no FOCUSED
// element and exactly one such combo box on screen, that combo box is the
// control the user sees focused. The combo box, or null.
NodeRef soleClosedCombo(Node* app, const ReadContext& read) {
  constexpr int kMaxNodes = 20000;
  ReadContext local = read.fresh();
  // GTK 3's bridge names its toolkit "gtk".
  const ToolkitId toolkit = toolkitOf(app, local, true);
  if (toolkit.name != "gtk" || !toolkit.version.starts_with("3.")) {
    return nullptr;
  }
  NodeRef window = activeWindowOf(app, local);
  if (window == nullptr) return nullptr;
  std::vector<Node*> combos;
  int budget = kMaxNodes;
  if (!collectClosedCombos(window.get(), 0, &budget, local, &combos) ||
      combos.size() != 1) {
    return nullptr;
  }
  local.memo(combos.front()).focusStandIn = true;
  return share(combos.front());
}

// The editable web area a focused block belongs to. Chromium puts the focus
// of a document in design mode on its body, an EDITABLE block of the
// EDITABLE document; the document is the area the user types in, whose text
// and caret hold the body's, and whose blocks are not elements of their own.
// A word processor's paragraph (LibreOffice's, in an EDITABLE document of
// text) is its own text area and stays the focus.
NodeRef editableAreaOf(NodeRef focused, const ReadContext& read) {
  constexpr int kMaxClimb = 16;
  ReadContext ignored = read.fresh();
  NodeRef area = share(focused.get());
  for (int level = 0; level < kMaxClimb && area != nullptr; ++level) {
    const AtspiRole role = roleOf(area.get(), ignored);
    if (isEditableHost(area.get(), ignored)) {
      if (level == 0) return focused;
      if (role != ATSPI_ROLE_DOCUMENT_WEB &&
          role != ATSPI_ROLE_DOCUMENT_FRAME && role != ATSPI_ROLE_SECTION) {
        return focused;
      }
      ignored.memo(area.get()).focusStandIn = true;
      return area;
    }
    if (!isTextBlockRole(role) && role != ATSPI_ROLE_STATIC) return focused;
    NodeRef parent = parentOf(area.get(), ignored);
    if (parent == nullptr ||
        !hasState(statesOf(area.get(), ignored), ATSPI_STATE_EDITABLE) ||
        !hasState(statesOf(parent.get(), ignored), ATSPI_STATE_EDITABLE)) {
      return focused;
    }
    area = std::move(parent);
  }
  return focused;
}

}  // namespace

NodeRef shownFocusOf(Node* app, ReadContext& read) {
  NodeRef focused = focusedElementOf(app, read);
  if (focused == nullptr && read.ok()) focused = soleClosedCombo(app, read);
  focused = editableAreaOf(std::move(focused), read);
  if (NodeRef dropDown = dropDownOfButton(focused.get(), read)) {
    read.memo(dropDown.get()).focusStandIn = true;
    return dropDown;
  }
  return focused;
}

}  // namespace kestreye::atspi
