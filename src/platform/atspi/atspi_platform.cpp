#include "platform/atspi/atspi_platform.h"

#include <atspi/atspi.h>
#include <syslog.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "platform/atspi/roles.h"
#include "platform/atspi/text_units.h"
#include "platform/atspi/x11_focus.h"
#include "text/text.h"

namespace kestreye::atspi {

namespace {

using Clock = std::chrono::steady_clock;

// libatspi gives up on a call after the timeout, but the wait can run to
// twice the value; a call that took most of it is taken as a timeout even
// when it brought something back, because libatspi then hands out empty
// names, a caret of -1 or a state set of {DEFUNCT} without any error.
constexpr auto kHungAfter = std::chrono::milliseconds(kCallTimeoutMs * 9 / 10);
// A table that manages its descendants can report millions of rows; no walk
// of the core needs more than a few hundred children of one element.
constexpr int kMaxChildren = 2000;
constexpr int kMaxWindows = 64;
// Bounds of the depth-first search for the focus when an application has no
// Collection interface (Qt).
constexpr int kMaxSearchNodes = 5000;
constexpr int kMaxSearchDepth = 64;
constexpr int kMaxParentClimb = 256;

struct GObjectUnref {
  void operator()(void* object) const {
    if (object != nullptr) g_object_unref(object);
  }
};
struct GFree {
  void operator()(void* memory) const { g_free(memory); }
};
template <class T>
using GRef = std::unique_ptr<T, GObjectUnref>;
using GText = std::unique_ptr<char, GFree>;

// What this process already learned about one element. A scan is one
// snapshot of the desktop, so the slow reads (text, extents, relations) are
// made once per element and shared by the attributes that need them.
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
  bool selectionRead = false;
  int64_t caret = -1;
  std::optional<std::pair<int64_t, int64_t>> selection;  // code points
  bool extentsRead = false;
  bool hasComponent = false;
  std::optional<AtspiRect> extents;
  bool labelRead = false;
  std::optional<std::string> label;
  std::optional<int32_t> processId;  // applications only
};

struct State {
  enum class Init { Untried, Ready, Failed };
  Init init = Init::Untried;
  AtspiAccessible* desktop = nullptr;
  // Applications that let one call time out; their later reads fail at once.
  std::unordered_set<const AtspiApplication*> hung;
  // Each key holds one reference, so no address is reused for another element.
  std::unordered_map<AtspiAccessible*, ElementMemo> memos;
  std::unordered_map<int32_t, AtspiAccessible*> applicationByPid;  // referenced
};

// Never destroyed: libatspi's own objects outlive main.
State& platform() {
  static State* instance = new State;
  return *instance;
}

// The first failure of one read wins; later calls of the same read see it.
void noteFailure(int32_t* failure, int32_t code) {
  if (*failure == kAxSuccess) *failure = code;
}

bool isHung(const AtspiApplication* app) {
  return platform().hung.count(app) != 0;
}

// Runs one libatspi call for `target`, unless its application is known to be
// hung. A timeout marks the application hung; a lost application or any
// other error is noted as the read's failure.
template <class F>
auto guardedCall(AtspiAccessible* target, int32_t* failure, F call)
    -> decltype(call(static_cast<GError**>(nullptr))) {
  using Result = decltype(call(static_cast<GError**>(nullptr)));
  const AtspiApplication* app =
      target == nullptr ? nullptr : target->parent.app;
  if (app == nullptr) {
    noteFailure(failure, kAxInvalidElement);
    return Result{};
  }
  if (isHung(app)) {
    noteFailure(failure, kAxCannotComplete);
    return Result{};
  }
  GError* error = nullptr;
  const auto start = Clock::now();
  Result result = call(&error);
  if (Clock::now() - start >= kHungAfter) {
    platform().hung.insert(app);
    noteFailure(failure, kAxCannotComplete);
  }
  if (error != nullptr) {
    // libatspi's error domain and codes are private: "atspi_error", and
    // 0 for an application that has gone away.
    const bool gone =
        error->domain == g_quark_from_static_string("atspi_error") &&
        error->code == 0;
    noteFailure(failure, gone ? kAxInvalidElement : kAxCannotComplete);
    g_error_free(error);
  }
  return result;
}

ElementMemo& memoOf(AtspiAccessible* node) {
  auto [entry, inserted] = platform().memos.try_emplace(node);
  if (inserted) g_object_ref(node);
  return entry->second;
}

GRef<AtspiAccessible> newRef(AtspiAccessible* node) {
  if (node != nullptr) g_object_ref(node);
  return GRef<AtspiAccessible>(node);
}

// libatspi keeps its own cache only for elements without the TRANSIENT state,
// and GTK marks whole subtrees (tree views, list boxes) transient; the core's
// ancestor walks read the same elements again level after level. So every
// answer is remembered here, for the life of this one-scan process.
AtspiRole roleOf(AtspiAccessible* node, int32_t* failure) {
  ElementMemo& memo = memoOf(node);
  if (memo.role.has_value()) return *memo.role;
  int32_t local = kAxSuccess;
  const AtspiRole role = guardedCall(node, &local, [&](GError** error) {
    return atspi_accessible_get_role(node, error);
  });
  if (local != kAxSuccess) {
    noteFailure(failure, local);
    return ATSPI_ROLE_INVALID;
  }
  memo.role = role;
  return role;
}

GRef<AtspiStateSet> statesOf(AtspiAccessible* node, int32_t* failure) {
  ElementMemo& memo = memoOf(node);
  if (memo.states == nullptr) {
    int32_t local = kAxSuccess;
    GRef<AtspiStateSet> states(guardedCall(node, &local, [&](GError**) {
      return atspi_accessible_get_state_set(node);
    }));
    if (local != kAxSuccess) {
      noteFailure(failure, local);
      return nullptr;
    }
    memo.states = std::move(states);
  }
  if (memo.states == nullptr) return nullptr;
  g_object_ref(memo.states.get());
  return GRef<AtspiStateSet>(memo.states.get());
}

bool hasState(const GRef<AtspiStateSet>& states, AtspiStateType state) {
  return states != nullptr && atspi_state_set_contains(states.get(), state);
}

// A text property of the element, remembered in `slot`; `read` is the
// libatspi getter (name or description).
std::string memoText(AtspiAccessible* node, std::optional<std::string>& slot,
                     gchar* (*read)(AtspiAccessible*, GError**),
                     int32_t* failure) {
  if (slot.has_value()) return *slot;
  int32_t local = kAxSuccess;
  GText value(guardedCall(node, &local,
                          [&](GError** error) { return read(node, error); }));
  if (local != kAxSuccess) {
    noteFailure(failure, local);
    return std::string();
  }
  slot = value == nullptr ? std::string() : std::string(value.get());
  return *slot;
}

std::string nameOf(AtspiAccessible* node, int32_t* failure) {
  return memoText(node, memoOf(node).name, atspi_accessible_get_name, failure);
}

std::string descriptionOf(AtspiAccessible* node, int32_t* failure) {
  return memoText(node, memoOf(node).description,
                  atspi_accessible_get_description, failure);
}

GRef<AtspiAccessible> parentOf(AtspiAccessible* node, int32_t* failure) {
  ElementMemo& memo = memoOf(node);
  if (!memo.parentRead) {
    int32_t local = kAxSuccess;
    GRef<AtspiAccessible> parent(guardedCall(node, &local, [&](GError** error) {
      return atspi_accessible_get_parent(node, error);
    }));
    if (local != kAxSuccess) {
      noteFailure(failure, local);
      return nullptr;
    }
    memo.parentRead = true;
    memo.parent = std::move(parent);
  }
  return newRef(memo.parent.get());
}

// Whether libatspi holds every child of the element in its cache, so that
// listing them costs no round trip. The fields read are public in
// atspi-accessible.h; TRANSIENT elements are never answered from the cache.
bool childrenCached(AtspiAccessible* node) {
  if ((node->cached_properties & ATSPI_CACHE_CHILDREN) == 0 ||
      node->children == nullptr) {
    return false;
  }
  if (node->states != nullptr &&
      atspi_state_set_contains(node->states, ATSPI_STATE_TRANSIENT)) {
    return false;
  }
  for (guint i = 0; i < node->children->len; ++i) {
    if (g_ptr_array_index(node->children, i) == nullptr) return false;
  }
  return true;
}

// The SHOWING children in one Collection call (GTK), where listing them one
// by one would cost a round trip for the count, one for each child and one
// for each child's states. False when the element has no Collection
// interface or the call failed for another reason than a hang.
bool showingChildrenByCollection(AtspiAccessible* node, int32_t* failure,
                                 std::vector<GRef<AtspiAccessible>>* children) {
  GRef<AtspiCollection> collection(atspi_accessible_get_collection_iface(node));
  if (collection == nullptr) return false;
  static AtspiMatchRule* const showing = [] {
    AtspiStateSet* states = atspi_state_set_new(nullptr);
    atspi_state_set_add(states, ATSPI_STATE_SHOWING);
    AtspiMatchRule* rule = atspi_match_rule_new(
        states, ATSPI_Collection_MATCH_ALL, nullptr,
        ATSPI_Collection_MATCH_NONE, nullptr, ATSPI_Collection_MATCH_NONE,
        nullptr, ATSPI_Collection_MATCH_NONE, FALSE);
    g_object_unref(states);
    return rule;
  }();
  int32_t local = kAxSuccess;
  // Not traversed: the direct children only, in their order.
  GArray* found = guardedCall(node, &local, [&](GError** error) {
    return atspi_collection_get_matches(collection.get(), showing,
                                        ATSPI_Collection_SORT_ORDER_CANONICAL,
                                        kMaxChildren, FALSE, error);
  });
  if (found == nullptr || local != kAxSuccess) {
    if (found != nullptr) {
      for (guint i = 0; i < found->len; ++i) {
        g_object_unref(g_array_index(found, AtspiAccessible*, i));
      }
      g_array_free(found, TRUE);
    }
    if (node->parent.app != nullptr && isHung(node->parent.app)) {
      noteFailure(failure, kAxCannotComplete);
      return true;
    }
    return false;
  }
  for (guint i = 0; i < found->len; ++i) {
    children->emplace_back(g_array_index(found, AtspiAccessible*, i));
  }
  g_array_free(found, TRUE);
  return true;
}

// The children, without the ones libatspi could not hand out. GTK keeps
// hidden notebook pages, closed menus and unmapped pop-overs in the tree,
// where macOS drops them; a child that is not SHOWING inside a parent that
// is, is not listed. Toolkits that never set SHOWING lose nothing: their
// parents are not SHOWING either.
const std::vector<GRef<AtspiAccessible>>* childrenOf(AtspiAccessible* node,
                                                     int32_t* failure) {
  ElementMemo& memo = memoOf(node);
  if (memo.childrenRead) return &memo.children;
  int32_t local = kAxSuccess;
  const bool showing = hasState(statesOf(node, &local), ATSPI_STATE_SHOWING);
  std::vector<GRef<AtspiAccessible>> children;
  const bool listed = local == kAxSuccess && showing && !childrenCached(node) &&
                      showingChildrenByCollection(node, &local, &children);
  if (!listed && local == kAxSuccess) {
    int count = guardedCall(node, &local, [&](GError** error) {
      return atspi_accessible_get_child_count(node, error);
    });
    count = count < 0 ? 0 : std::min(count, kMaxChildren);
    children.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count && local == kAxSuccess; ++i) {
      GRef<AtspiAccessible> child(
          guardedCall(node, &local, [&](GError** error) {
            return atspi_accessible_get_child_at_index(node, i, error);
          }));
      if (child != nullptr) children.push_back(std::move(child));
    }
    if (showing && local == kAxSuccess) {
      std::erase_if(children, [](const GRef<AtspiAccessible>& child) {
        int32_t ignored = kAxSuccess;
        GRef<AtspiStateSet> states = statesOf(child.get(), &ignored);
        return ignored == kAxSuccess && !hasState(states, ATSPI_STATE_SHOWING);
      });
    }
  }
  if (local != kAxSuccess) {
    noteFailure(failure, local);
    return nullptr;
  }
  // A child's parent is the element that lists it; knowing it saves a round
  // trip for every element libatspi does not cache.
  for (const GRef<AtspiAccessible>& child : children) {
    ElementMemo& childMemo = memoOf(child.get());
    if (!childMemo.parentRead) {
      childMemo.parentRead = true;
      childMemo.parent = newRef(node);
    }
  }
  memo.childrenRead = true;
  memo.children = std::move(children);
  return &memo.children;
}

bool isEditableTextChild(AtspiAccessible* child) {
  int32_t ignored = kAxSuccess;
  const AtspiRole role = roleOf(child, &ignored);
  if (role != ATSPI_ROLE_TEXT && role != ATSPI_ROLE_ENTRY) return false;
  return hasState(statesOf(child, &ignored), ATSPI_STATE_EDITABLE);
}

// The editable entry of a combo box, if it has one.
GRef<AtspiAccessible> comboEntryOf(AtspiAccessible* combo, int32_t* failure) {
  const auto* children = childrenOf(combo, failure);
  if (children == nullptr) return nullptr;
  for (const GRef<AtspiAccessible>& child : *children) {
    if (isEditableTextChild(child.get())) return newRef(child.get());
  }
  return nullptr;
}

std::string_view macRoleOf(AtspiAccessible* node, int32_t* failure) {
  const AtspiRole role = roleOf(node, failure);
  GRef<AtspiStateSet> states = statesOf(node, failure);
  if (*failure != kAxSuccess) return {};
  if (hasState(states, ATSPI_STATE_DEFUNCT)) {
    noteFailure(failure, kAxInvalidElement);
    return {};
  }
  RoleFacts facts;
  facts.multiLine = hasState(states, ATSPI_STATE_MULTI_LINE);
  facts.expandable = hasState(states, ATSPI_STATE_EXPANDABLE);
  facts.hasPopup = hasState(states, ATSPI_STATE_HAS_POPUP);
  // The facts below only refine the name; failing to read them fails nothing.
  int32_t ignored = kAxSuccess;
  if (GRef<AtspiAccessible> parent = parentOf(node, &ignored)) {
    facts.parentRole = roleOf(parent.get(), &ignored);
  }
  if (role == ATSPI_ROLE_COMBO_BOX) {
    facts.hasEditableTextChild = comboEntryOf(node, &ignored) != nullptr;
  }
  return macRoleName(role, facts);
}

// The whole text of an element with a Text interface; none without one.
const std::optional<std::string>& textOf(AtspiAccessible* node,
                                         int32_t* failure) {
  ElementMemo& memo = memoOf(node);
  if (memo.textRead) return memo.text;
  GRef<AtspiText> iface(atspi_accessible_get_text_iface(node));
  if (iface == nullptr) {
    memo.textRead = true;
    return memo.text;
  }
  GText text(guardedCall(node, failure, [&](GError** error) {
    return atspi_text_get_text(iface.get(), 0, -1, error);
  }));
  if (*failure != kAxSuccess) return memo.text;  // not remembered: failed
  memo.textRead = true;
  memo.text = text == nullptr ? std::string() : std::string(text.get());
  return memo.text;
}

// Caret and first selection, in code points; false without a Text interface.
bool readSelection(AtspiAccessible* node, int32_t* failure,
                   ElementMemo** result) {
  ElementMemo& memo = memoOf(node);
  *result = &memo;
  if (memo.selectionRead) return true;
  GRef<AtspiText> iface(atspi_accessible_get_text_iface(node));
  if (iface == nullptr) return false;
  const int caret = guardedCall(node, failure, [&](GError** error) {
    return atspi_text_get_caret_offset(iface.get(), error);
  });
  const int selections = guardedCall(node, failure, [&](GError** error) {
    return atspi_text_get_n_selections(iface.get(), error);
  });
  if (selections > 0) {
    std::unique_ptr<AtspiRange, GFree> range(
        guardedCall(node, failure, [&](GError** error) {
          return atspi_text_get_selection(iface.get(), 0, error);
        }));
    if (range != nullptr && range->start_offset != range->end_offset) {
      memo.selection = std::make_pair(int64_t{range->start_offset},
                                      int64_t{range->end_offset});
    }
  }
  if (*failure != kAxSuccess) return false;
  memo.caret = caret;
  memo.selectionRead = true;
  return true;
}

const std::optional<AtspiRect>& extentsOf(AtspiAccessible* node,
                                          int32_t* failure) {
  ElementMemo& memo = memoOf(node);
  if (memo.extentsRead) return memo.extents;
  GRef<AtspiComponent> iface(atspi_accessible_get_component_iface(node));
  if (iface == nullptr) {
    memo.extentsRead = true;
    return memo.extents;
  }
  memo.hasComponent = true;
  std::unique_ptr<AtspiRect, GFree> rect(
      guardedCall(node, failure, [&](GError** error) {
        return atspi_component_get_extents(iface.get(), ATSPI_COORD_TYPE_SCREEN,
                                           error);
      }));
  if (*failure != kAxSuccess) return memo.extents;
  memo.extentsRead = true;
  // GTK places what is not on screen at INT_MIN: no frame rather than a
  // frame far off to the upper left.
  if (rect != nullptr && rect->x != G_MININT && rect->y != G_MININT &&
      rect->width >= 0 && rect->height >= 0) {
    memo.extents = *rect;
  }
  return memo.extents;
}

// The name of the first LABELLED_BY target that has one.
const std::optional<std::string>& labelOf(AtspiAccessible* node,
                                          int32_t* failure) {
  ElementMemo& memo = memoOf(node);
  if (memo.labelRead) return memo.label;
  GArray* relations = guardedCall(node, failure, [&](GError** error) {
    return atspi_accessible_get_relation_set(node, error);
  });
  std::optional<std::string> label;
  for (guint i = 0; relations != nullptr && i < relations->len; ++i) {
    AtspiRelation* relation = g_array_index(relations, AtspiRelation*, i);
    if (label.has_value() || atspi_relation_get_relation_type(relation) !=
                                 ATSPI_RELATION_LABELLED_BY) {
      continue;
    }
    const int targets = atspi_relation_get_n_targets(relation);
    for (int t = 0; t < targets && !label.has_value(); ++t) {
      GRef<AtspiAccessible> target(atspi_relation_get_target(relation, t));
      if (target == nullptr) continue;
      int32_t ignored = kAxSuccess;
      std::string name = nameOf(target.get(), &ignored);
      if (!name.empty()) label = std::move(name);
    }
  }
  if (relations != nullptr) {
    for (guint i = 0; i < relations->len; ++i) {
      g_object_unref(g_array_index(relations, AtspiRelation*, i));
    }
    g_array_free(relations, TRUE);
  }
  if (*failure != kAxSuccess) return memo.label;
  memo.labelRead = true;
  memo.label = std::move(label);
  return memo.label;
}

std::optional<std::string> objectAttribute(AtspiAccessible* node,
                                           const char* name, int32_t* failure) {
  GHashTable* attributes = guardedCall(node, failure, [&](GError** error) {
    return atspi_accessible_get_attributes(node, error);
  });
  if (attributes == nullptr) return std::nullopt;
  std::optional<std::string> result;
  if (const auto* value =
          static_cast<const char*>(g_hash_table_lookup(attributes, name))) {
    result = value;
  }
  g_hash_table_unref(attributes);
  return result;
}

AttributeRead fail(int32_t code) { return AttributeRead{code, std::nullopt}; }
AttributeRead noValue() { return AttributeRead{kAxSuccess, std::nullopt}; }
AttributeRead withValue(RawValue value) {
  return AttributeRead{kAxSuccess, std::move(value)};
}
AttributeRead text(std::string value) {
  return withValue(RawValue{std::move(value)});
}
AttributeRead nonEmptyText(std::string value) {
  // AT-SPI has no absent name: an unnamed element says "".
  return value.empty() ? noValue() : text(std::move(value));
}
AttributeRead number(Number::Kind kind, int64_t integer, double real = 0) {
  Number value;
  value.kind = kind;
  value.integer = integer;
  value.real = real;
  return withValue(RawValue{value});
}
AttributeRead boolean(bool value) {
  return number(Number::Kind::Boolean, value ? 1 : 0);
}
AttributeRead element(GRef<AtspiAccessible> node) {
  if (node == nullptr) return noValue();
  return withValue(RawValue{Element::adopt(node.release())});
}

GRef<AtspiAccessible> activeWindowOf(AtspiAccessible* app, int32_t* failure) {
  const auto* windows = childrenOf(app, failure);
  if (windows == nullptr) return nullptr;
  for (size_t i = 0; i < windows->size() && i < kMaxWindows; ++i) {
    AtspiAccessible* window = (*windows)[i].get();
    if (hasState(statesOf(window, failure), ATSPI_STATE_ACTIVE)) {
      return newRef(window);
    }
  }
  return nullptr;
}

// What the focus search looks for.
enum class Target {
  Focused,       ///< the FOCUSED element
  OpenMenuItem,  ///< the SELECTED item of a menu on screen
};

bool isMenuItemRole(AtspiRole role) {
  return role == ATSPI_ROLE_MENU_ITEM || role == ATSPI_ROLE_CHECK_MENU_ITEM ||
         role == ATSPI_ROLE_RADIO_MENU_ITEM || role == ATSPI_ROLE_MENU;
}

bool matches(AtspiAccessible* node, Target target, int32_t* failure) {
  GRef<AtspiStateSet> states = statesOf(node, failure);
  if (target == Target::Focused) return hasState(states, ATSPI_STATE_FOCUSED);
  return hasState(states, ATSPI_STATE_SELECTED) &&
         hasState(states, ATSPI_STATE_SHOWING) &&
         isMenuItemRole(roleOf(node, failure));
}

int depthBelow(AtspiAccessible* node, AtspiAccessible* root) {
  int depth = 0;
  GRef<AtspiAccessible> current = newRef(node);
  int32_t ignored = kAxSuccess;
  while (current != nullptr && current.get() != root &&
         depth < kMaxParentClimb) {
    current = parentOf(current.get(), &ignored);
    ++depth;
  }
  return depth;
}

// Which of several matches is the focus: the deepest control, and a plain
// container only when no control matched. GTK reports a link and the label
// around it, or a tree and its cell; Qt reports a text edit and the viewport
// inside it.
int matchScore(AtspiAccessible* node, int depth) {
  int32_t ignored = kAxSuccess;
  switch (roleOf(node, &ignored)) {
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

GRef<AtspiMatchRule> matchRuleFor(Target target) {
  AtspiStateSet* states = atspi_state_set_new(nullptr);
  GArray* roles = nullptr;
  if (target == Target::Focused) {
    atspi_state_set_add(states, ATSPI_STATE_FOCUSED);
  } else {
    atspi_state_set_add(states, ATSPI_STATE_SELECTED);
    atspi_state_set_add(states, ATSPI_STATE_SHOWING);
    roles = g_array_new(FALSE, FALSE, sizeof(AtspiRole));
    for (AtspiRole role : {ATSPI_ROLE_MENU_ITEM, ATSPI_ROLE_CHECK_MENU_ITEM,
                           ATSPI_ROLE_RADIO_MENU_ITEM, ATSPI_ROLE_MENU}) {
      g_array_append_val(roles, role);
    }
  }
  AtspiMatchRule* rule =
      atspi_match_rule_new(states, ATSPI_Collection_MATCH_ALL, nullptr,
                           ATSPI_Collection_MATCH_NONE, roles,
                           roles == nullptr ? ATSPI_Collection_MATCH_NONE
                                            : ATSPI_Collection_MATCH_ANY,
                           nullptr, ATSPI_Collection_MATCH_NONE, FALSE);
  g_object_unref(states);
  if (roles != nullptr) g_array_free(roles, TRUE);
  return GRef<AtspiMatchRule>(rule);
}

// Depth-first search for toolkits without a Collection interface. The
// children of an element that manages its descendants are not searched:
// they can be countless and are never cached.
void searchDepthFirst(AtspiAccessible* node, Target target, int depth,
                      int* budget, int32_t* failure,
                      GRef<AtspiAccessible>* best, int* bestScore) {
  if (*budget <= 0 || *failure != kAxSuccess) return;
  --*budget;
  if (matches(node, target, failure)) {
    const int score = matchScore(node, depth);
    if (score > *bestScore) {
      *best = newRef(node);
      *bestScore = score;
    }
  }
  if (depth >= kMaxSearchDepth ||
      hasState(statesOf(node, failure), ATSPI_STATE_MANAGES_DESCENDANTS)) {
    return;
  }
  const auto* children = childrenOf(node, failure);
  if (children == nullptr) return;
  for (const GRef<AtspiAccessible>& child : *children) {
    searchDepthFirst(child.get(), target, depth + 1, budget, failure, best,
                     bestScore);
    if (*failure != kAxSuccess) return;
  }
}

// The element below `root` that matches with the best score (matchScore):
// the deepest control.
GRef<AtspiAccessible> deepestMatch(AtspiAccessible* root, Target target,
                                   int32_t* failure) {
  GRef<AtspiAccessible> best;
  int bestScore = -1;
  if (GRef<AtspiCollection> collection{
          atspi_accessible_get_collection_iface(root)}) {
    GRef<AtspiMatchRule> rule = matchRuleFor(target);
    GArray* found = guardedCall(root, failure, [&](GError** error) {
      return atspi_collection_get_matches(collection.get(), rule.get(),
                                          ATSPI_Collection_SORT_ORDER_CANONICAL,
                                          0, TRUE, error);
    });
    if (found != nullptr) {
      for (guint i = 0; i < found->len; ++i) {
        GRef<AtspiAccessible> node(g_array_index(found, AtspiAccessible*, i));
        const int score = matchScore(node.get(), depthBelow(node.get(), root));
        if (score > bestScore) {
          bestScore = score;
          best = std::move(node);
        }
      }
      g_array_free(found, TRUE);
      return best;
    }
    if (*failure != kAxSuccess) return nullptr;
  }
  int budget = kMaxSearchNodes;
  searchDepthFirst(root, target, 0, &budget, failure, &best, &bestScore);
  return best;
}

GRef<AtspiAccessible> focusedElementOf(AtspiAccessible* app, int32_t* failure) {
  GRef<AtspiAccessible> window = activeWindowOf(app, failure);
  if (window != nullptr) {
    // An open menu leaves FOCUSED on the control it came from and marks the
    // item under the pointer or keyboard SELECTED.
    if (auto item = deepestMatch(window.get(), Target::OpenMenuItem, failure)) {
      return item;
    }
    if (auto focused = deepestMatch(window.get(), Target::Focused, failure)) {
      return focused;
    }
  }
  const auto* windows = childrenOf(app, failure);
  if (windows == nullptr) return nullptr;
  for (size_t i = 0; i < windows->size() && i < kMaxWindows; ++i) {
    AtspiAccessible* other = (*windows)[i].get();
    if (other == window.get()) continue;
    if (auto focused = deepestMatch(other, Target::Focused, failure)) {
      return focused;
    }
    if (*failure != kAxSuccess) return nullptr;
  }
  return nullptr;
}

// Whether the element's application is built with Qt; one call per
// application, which libatspi then keeps.
bool isQt(AtspiAccessible* node, int32_t* failure) {
  // Qt answers the toolkit question on its application and windows only.
  AtspiAccessible* root =
      node->parent.app != nullptr && node->parent.app->root != nullptr
          ? node->parent.app->root
          : node;
  GText toolkit(guardedCall(root, failure, [&](GError** error) {
    return atspi_accessible_get_toolkit_name(root, error);
  }));
  return toolkit != nullptr && g_strcmp0(toolkit.get(), "Qt") == 0;
}

AttributeRead readValue(AtspiAccessible* node, std::string_view macRole,
                        int32_t* failure) {
  switch (valueSourceFor(macRole)) {
    case ValueSource::None:
      return fail(kAxAttributeUnsupported);
    case ValueSource::Text: {
      const std::optional<std::string>& value = textOf(node, failure);
      if (value.has_value()) return text(*value);
      if (macRole == "AXStaticText" || macRole == "AXHeading") {
        return nonEmptyText(nameOf(node, failure));
      }
      return noValue();
    }
    case ValueSource::Toggle: {
      GRef<AtspiStateSet> states = statesOf(node, failure);
      int64_t state = 0;
      if (hasState(states, ATSPI_STATE_INDETERMINATE)) {
        state = 2;
      } else if (hasState(states, ATSPI_STATE_CHECKED) ||
                 hasState(states, ATSPI_STATE_PRESSED)) {
        state = 1;
      }
      return number(Number::Kind::Integer, state);
    }
    case ValueSource::Number: {
      GRef<AtspiValue> iface(atspi_accessible_get_value_iface(node));
      if (iface == nullptr) return fail(kAxAttributeUnsupported);
      const double current = guardedCall(node, failure, [&](GError** error) {
        return atspi_value_get_current_value(iface.get(), error);
      });
      return number(Number::Kind::Real, 0, current);
    }
    case ValueSource::PopUp:
      // GTK names a combo box after its chosen item.
      return nonEmptyText(nameOf(node, failure));
    case ValueSource::ComboEntry: {
      GRef<AtspiAccessible> entry = comboEntryOf(node, failure);
      if (entry == nullptr) return noValue();
      const std::optional<std::string>& value = textOf(entry.get(), failure);
      return value.has_value() ? text(*value) : noValue();
    }
  }
  return fail(kAxAttributeUnsupported);
}

AttributeRead readAttribute(AtspiAccessible* node, std::string_view attribute,
                            int32_t* failure) {
  const AtspiRole role = roleOf(node, failure);
  if (*failure != kAxSuccess) return fail(*failure);
  const bool secure = isSecureSubrole(macSubroleName(role));

  if (attribute == "AXRole") {
    const std::string_view name = macRoleOf(node, failure);
    return text(std::string(name));
  }
  if (attribute == "AXSubrole") {
    const std::string_view subrole = macSubroleName(role);
    if (subrole.empty()) return fail(kAxAttributeUnsupported);
    return text(std::string(subrole));
  }
  if (attribute == "AXTitle") {
    // GTK and Qt name a pop-up button after its chosen item and Qt names an
    // editable combo box after its text: that is the value. The macOS twins
    // have no title, so that their label shows instead.
    const std::string_view macRole = macRoleOf(node, failure);
    std::string name = nameOf(node, failure);
    if (macRole == "AXPopUpButton") return noValue();
    if (macRole == "AXComboBox") {
      const AttributeRead value = readValue(node, macRole, failure);
      if (value.value.has_value() &&
          std::get_if<std::string>(&value.value->v) != nullptr &&
          std::get<std::string>(value.value->v) == name) {
        return noValue();
      }
    }
    return nonEmptyText(std::move(name));
  }
  if (attribute == "AXDescription") {
    return nonEmptyText(descriptionOf(node, failure));
  }
  if (attribute == "AXLabel") {
    const std::optional<std::string>& label = labelOf(node, failure);
    return label.has_value() ? text(*label) : noValue();
  }
  if (attribute == "AXValue") {
    // A toolkit may hand out a password ("●●●" from GTK): never pass it on.
    if (secure) return fail(kAxAttributeUnsupported);
    return readValue(node, macRoleOf(node, failure), failure);
  }
  if (attribute == "AXPlaceholderValue") {
    // Only text fields have placeholders; asking the others costs a call.
    const std::string_view macRole = macRoleOf(node, failure);
    if (macRole != "AXTextField" && macRole != "AXTextArea") {
      return fail(kAxAttributeUnsupported);
    }
    std::optional<std::string> placeholder =
        objectAttribute(node, "placeholder-text", failure);
    if (placeholder.has_value()) return text(std::move(*placeholder));
    // Qt has no placeholder attribute: a line edit without a description of
    // its own describes itself with its placeholder.
    if (isQt(node, failure)) {
      return nonEmptyText(descriptionOf(node, failure));
    }
    return fail(kAxAttributeUnsupported);
  }
  if (attribute == "AXFocused" || attribute == "AXEnabled" ||
      attribute == "AXSelected") {
    GRef<AtspiStateSet> states = statesOf(node, failure);
    if (hasState(states, ATSPI_STATE_DEFUNCT)) {
      return fail(kAxInvalidElement);
    }
    // SENSITIVE, not ENABLED: GTK keeps ENABLED on insensitive widgets.
    const AtspiStateType state = attribute == "AXFocused" ? ATSPI_STATE_FOCUSED
                                 : attribute == "AXEnabled"
                                     ? ATSPI_STATE_SENSITIVE
                                     : ATSPI_STATE_SELECTED;
    return boolean(hasState(states, state));
  }
  if (attribute == "AXPosition" || attribute == "AXSize") {
    // Nothing that is not SHOWING is on screen; GTK would answer INT_MIN.
    GRef<AtspiStateSet> states = statesOf(node, failure);
    if (states != nullptr && !hasState(states, ATSPI_STATE_SHOWING) &&
        !hasState(states, ATSPI_STATE_VISIBLE)) {
      return noValue();
    }
    const std::optional<AtspiRect>& rect = extentsOf(node, failure);
    if (!rect.has_value()) {
      // Links have no Component interface at all.
      return memoOf(node).hasComponent ? noValue()
                                       : fail(kAxAttributeUnsupported);
    }
    if (attribute == "AXPosition") {
      return withValue(RawValue{Point{double(rect->x), double(rect->y)}});
    }
    return withValue(RawValue{Size{double(rect->width), double(rect->height)}});
  }
  if (attribute == "AXSelectedText" || attribute == "AXSelectedTextRange" ||
      attribute == "AXInsertionPointLineNumber") {
    if (secure && attribute == "AXSelectedText") {
      return fail(kAxAttributeUnsupported);
    }
    // GTK buttons and check boxes carry a Text interface for their label;
    // their macOS twins have no selection.
    if (valueSourceFor(macRoleOf(node, failure)) != ValueSource::Text) {
      return fail(*failure != kAxSuccess ? *failure : kAxAttributeUnsupported);
    }
    ElementMemo* memo = nullptr;
    if (!readSelection(node, failure, &memo)) {
      return *failure != kAxSuccess ? fail(*failure)
                                    : fail(kAxAttributeUnsupported);
    }
    const std::optional<std::string>& value = textOf(node, failure);
    const std::string whole = sanitizeUtf8(value.value_or(std::string()));
    if (attribute == "AXSelectedText") {
      if (!memo->selection.has_value()) return text(std::string());
      const auto [from, to] = *memo->selection;
      const size_t begin = byteOffsetOfCodePoint(whole, std::min(from, to));
      const size_t end = byteOffsetOfCodePoint(whole, std::max(from, to));
      return text(whole.substr(begin, end - begin));
    }
    if (attribute == "AXSelectedTextRange") {
      if (memo->selection.has_value()) {
        return withValue(RawValue{graphemeRange(whole, memo->selection->first,
                                                memo->selection->second)});
      }
      if (memo->caret < 0) return noValue();
      return withValue(
          RawValue{graphemeRange(whole, memo->caret, memo->caret)});
    }
    if (memo->caret < 0) return noValue();
    return number(Number::Kind::Integer, lineFeedsBefore(whole, memo->caret));
  }
  if (attribute == "AXParent") {
    GRef<AtspiAccessible> parent = parentOf(node, failure);
    // An application's parent is the desktop, which macOS does not have.
    if (parent != nullptr && parent.get() == platform().desktop) {
      return noValue();
    }
    return element(std::move(parent));
  }
  if (attribute == "AXChildren") {
    const auto* children = childrenOf(node, failure);
    if (children == nullptr) return fail(*failure);
    RawArray array;
    array.reserve(children->size());
    for (const GRef<AtspiAccessible>& child : *children) {
      array.push_back(RawValue{Element::adopt(newRef(child.get()).release())});
    }
    return withValue(RawValue{std::move(array)});
  }
  if (attribute == "AXFocusedWindow" || attribute == "AXFocusedUIElement") {
    if (role != ATSPI_ROLE_APPLICATION) return fail(kAxAttributeUnsupported);
    if (attribute == "AXFocusedWindow") {
      return element(activeWindowOf(node, failure));
    }
    return element(focusedElementOf(node, failure));
  }
  return fail(kAxAttributeUnsupported);
}

// GLib's default handler prints debug and info messages on standard output,
// which carries nothing but the reply line.
void logHandler(const gchar* domain, GLogLevelFlags level, const gchar* message,
                gpointer) {
  if ((level &
       (G_LOG_LEVEL_ERROR | G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING)) == 0) {
    return;
  }
  std::fprintf(stderr, "kestreye: %s: %s\n",
               domain != nullptr ? domain : "glib",
               message != nullptr ? message : "");
}

GLogWriterOutput logWriter(GLogLevelFlags level, const GLogField* fields,
                           gsize count, gpointer) {
  const char* domain = nullptr;
  const char* message = nullptr;
  for (gsize i = 0; i < count; ++i) {
    if (g_strcmp0(fields[i].key, "GLIB_DOMAIN") == 0) {
      domain = static_cast<const char*>(fields[i].value);
    } else if (g_strcmp0(fields[i].key, "MESSAGE") == 0) {
      message = static_cast<const char*>(fields[i].value);
    }
  }
  logHandler(domain, level, message, nullptr);
  return G_LOG_WRITER_HANDLED;
}

bool hasEnvironment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && value[0] != '\0';
}

// libatspi cannot be initialised twice, and after a failed initialisation
// its next call ends the process (g_error); so every entry point asks here
// first, and nothing reaches libatspi unless this said yes.
bool ensureReady() {
  State& state = platform();
  if (state.init != State::Init::Untried) {
    return state.init == State::Init::Ready;
  }
  state.init = State::Init::Failed;
  // Without a bus address libdbus may autolaunch a new session bus, which
  // breaks the accessibility bus of the user's running session.
  if (!hasEnvironment("AT_SPI_BUS_ADDRESS") &&
      !hasEnvironment("DBUS_SESSION_BUS_ADDRESS")) {
    return false;
  }
  g_log_set_default_handler(logHandler, nullptr);
  g_log_set_writer_func(logWriter, nullptr, nullptr);
  // No startup grace: in a one-shot process every application is new, and
  // libatspi would otherwise wait up to 15 s for each one.
  atspi_set_timeout(kCallTimeoutMs, 0);
  if (atspi_init() != 0) return false;
  state.desktop = atspi_get_desktop(0);
  if (state.desktop == nullptr) return false;
  // One bulk snapshot per application answers role, name, description,
  // states, parent, children and attributes without a round trip each.
  atspi_accessible_set_cache_mask(state.desktop, ATSPI_CACHE_ALL);
  state.init = State::Init::Ready;
  return true;
}

std::optional<int32_t> processIdOf(AtspiAccessible* app) {
  ElementMemo& memo = memoOf(app);
  if (memo.processId.has_value()) return memo.processId;
  int32_t failure = kAxSuccess;
  const guint pid = guardedCall(app, &failure, [&](GError** error) {
    return atspi_accessible_get_process_id(app, error);
  });
  if (failure != kAxSuccess || pid == 0) return std::nullopt;
  memo.processId = static_cast<int32_t>(pid);
  return memo.processId;
}

void rememberApplication(int32_t pid, AtspiAccessible* app) {
  auto [entry, inserted] = platform().applicationByPid.try_emplace(pid, app);
  if (inserted) g_object_ref(app);
}

// Everything the scan learned goes: the memos with the references they hold,
// the hung applications and the applications found by process id.
void forgetScan() {
  State& state = platform();
  std::unordered_map<AtspiAccessible*, ElementMemo> memos =
      std::move(state.memos);
  state.memos.clear();
  state.hung.clear();
  for (auto& [pid, app] : state.applicationByPid) g_object_unref(app);
  state.applicationByPid.clear();
  for (auto& [node, memo] : memos) {
    memo = ElementMemo{};
    g_object_unref(node);
  }
}

void retain(ElementRef ref) { g_object_ref(static_cast<GObject*>(ref)); }

void release(ElementRef ref) { g_object_unref(static_cast<GObject*>(ref)); }

AttributeRead copyAttribute(const Element& element,
                            std::string_view attribute) {
  if (element.empty()) return fail(kAxInvalidElement);
  if (!ensureReady()) return fail(kAxCannotComplete);
  auto* node = static_cast<AtspiAccessible*>(element.ref());
  // What was learned before the application hung is not handed out either:
  // a scan of a hung application ends quickly, not half-informed.
  if (node->parent.app != nullptr && isHung(node->parent.app)) {
    return fail(kAxCannotComplete);
  }
  int32_t failure = kAxSuccess;
  AttributeRead read = readAttribute(node, attribute, &failure);
  if (failure != kAxSuccess) return fail(failure);
  return read;
}

bool isProcessTrusted() { return ensureReady(); }

std::optional<int32_t> frontmostProcessId() {
  if (!ensureReady()) return std::nullopt;
  AtspiAccessible* desktop = platform().desktop;
  int32_t failure = kAxSuccess;
  const auto* apps = childrenOf(desktop, &failure);
  if (apps == nullptr) return std::nullopt;
  // The first read of an application opens a connection to it and makes
  // libatspi parse its whole cache snapshot (5 ms for gtk3-widget-factory),
  // so the application that owns the X11 focus is asked first; its process
  // id comes from the bus daemon, not from the application.
  std::vector<AtspiAccessible*> order;
  order.reserve(apps->size());
  for (const GRef<AtspiAccessible>& app : *apps) order.push_back(app.get());
  if (const std::optional<int32_t> hint = x11FocusedProcessId()) {
    for (size_t i = 0; i < order.size(); ++i) {
      if (processIdOf(order[i]) == hint) {
        std::rotate(order.begin(), order.begin() + static_cast<ptrdiff_t>(i),
                    order.begin() + static_cast<ptrdiff_t>(i) + 1);
        break;
      }
    }
  }
  for (AtspiAccessible* app : order) {
    // A hung application costs one timeout here and none after it.
    failure = kAxSuccess;
    if (activeWindowOf(app, &failure) == nullptr) continue;
    if (std::optional<int32_t> pid = processIdOf(app)) {
      rememberApplication(*pid, app);
      return pid;
    }
  }
  return std::nullopt;
}

Element applicationElement(int32_t pid) {
  if (!ensureReady()) return Element();
  State& state = platform();
  if (auto known = state.applicationByPid.find(pid);
      known != state.applicationByPid.end()) {
    g_object_ref(known->second);
    return Element::adopt(known->second);
  }
  int32_t failure = kAxSuccess;
  const auto* apps = childrenOf(state.desktop, &failure);
  if (apps == nullptr) return Element();
  for (const GRef<AtspiAccessible>& app : *apps) {
    if (processIdOf(app.get()) != pid) continue;
    rememberApplication(pid, app.get());
    return Element::adopt(newRef(app.get()).release());
  }
  return Element();
}

void logLine(std::string_view line) {
  static const bool opened = [] {
    openlog("kestreye", LOG_PID, LOG_USER);
    return true;
  }();
  (void)opened;
  const int length = static_cast<int>(std::min<size_t>(line.size(), 1 << 20));
  syslog(LOG_NOTICE, "%.*s", length, line.data());
  std::fprintf(stderr, "%.*s\n", length, line.data());
}

class AtspiPlatform final : public Platform {
 public:
  void retain(ElementRef ref) override { atspi::retain(ref); }
  void release(ElementRef ref) override { atspi::release(ref); }
  AttributeRead copyAttribute(const Element& element,
                              std::string_view attribute) override {
    return atspi::copyAttribute(element, attribute);
  }
  bool isProcessTrusted() override { return atspi::isProcessTrusted(); }
  std::optional<int32_t> frontmostProcessId() override {
    return atspi::frontmostProcessId();
  }
  Element applicationElement(int32_t pid) override {
    return atspi::applicationElement(pid);
  }
  void logLine(std::string_view line) override { atspi::logLine(line); }
  void beginScan() override { forgetScan(); }
  void endScan() override { forgetScan(); }
};

}  // namespace

std::unique_ptr<Platform> makePlatform() {
  return std::make_unique<AtspiPlatform>();
}

}  // namespace kestreye::atspi
