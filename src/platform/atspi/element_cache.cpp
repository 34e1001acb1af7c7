#include <memory>
#include <string>
#include <utility>

#include "platform/atspi/atspi_private.h"
#include "platform/atspi/roles.h"

namespace kestreye::atspi {
namespace {

// A text property of the element, remembered in `slot`; `getter` is the
// libatspi getter (name or description).
std::string memoText(AtspiAccessible* node, std::optional<std::string>& slot,
                     gchar* (*getter)(AtspiAccessible*, GError**),
                     ReadContext& read) {
  if (slot.has_value()) return *slot;
  ReadContext local = read.fresh();
  GText value(
      local.call(node, [&](GError** error) { return getter(node, error); }));
  if (!local.ok()) {
    read.fail(local.failure());
    return std::string();
  }
  slot = value == nullptr ? std::string() : std::string(value.get());
  return *slot;
}

// Whether the element's application is built with GTK 4, asked of the
// application once per scan.
bool isGtk4(AtspiAccessible* node, const ReadContext& read) {
  AtspiAccessible* root = applicationRootOf(node);
  ElementMemo& memo = read.memo(root);
  if (memo.gtk4.has_value()) return *memo.gtk4;
  ReadContext local = read.fresh();
  const ToolkitId toolkit = toolkitOf(root, local, true);
  if (!local.ok()) return false;
  memo.gtk4 = toolkit.name == "GTK" && toolkit.version.starts_with("4.");
  return *memo.gtk4;
}

}  // namespace

ScanCache::~ScanCache() {
  for (auto& [pid, app] : applicationByPid_) g_object_unref(app);
  forgetElements();
}

void ScanCache::forgetElements() {
  // The memos first: they hold references to other keys.
  for (auto& [node, memo] : memos_) memo = ElementMemo{};
  for (auto& [node, memo] : memos_) g_object_unref(node);
  memos_.clear();
}

ElementMemo& ScanCache::memoOf(AtspiAccessible* node) {
  auto [entry, inserted] = memos_.try_emplace(node);
  if (inserted) g_object_ref(node);
  return entry->second;
}

AtspiAccessible* ScanCache::applicationOf(int32_t pid) const {
  const auto known = applicationByPid_.find(pid);
  return known == applicationByPid_.end() ? nullptr : known->second;
}

void ScanCache::rememberApplication(int32_t pid, AtspiAccessible* app) {
  auto [entry, inserted] = applicationByPid_.try_emplace(pid, app);
  if (inserted) g_object_ref(app);
}

// libatspi keeps its own cache only for elements without the TRANSIENT state,
// and GTK marks whole subtrees (tree views, list boxes) transient; the core's
// ancestor walks read the same elements again level after level. So every
// answer is remembered here, for the rest of the scan.
AtspiRole roleOf(AtspiAccessible* node, ReadContext& read) {
  ElementMemo& memo = read.memo(node);
  if (memo.role.has_value()) return *memo.role;
  ReadContext local = read.fresh();
  const AtspiRole role = local.call(node, [&](GError** error) {
    return atspi_accessible_get_role(node, error);
  });
  if (!local.ok()) {
    read.fail(local.failure());
    return ATSPI_ROLE_INVALID;
  }
  memo.role = role;
  return role;
}

GRef<AtspiStateSet> statesOf(AtspiAccessible* node, ReadContext& read) {
  ElementMemo& memo = read.memo(node);
  if (memo.states == nullptr) {
    ReadContext local = read.fresh();
    GRef<AtspiStateSet> states(local.call(
        node, [&](GError**) { return atspi_accessible_get_state_set(node); }));
    if (!local.ok()) {
      read.fail(local.failure());
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

std::string nameOf(AtspiAccessible* node, ReadContext& read) {
  ElementMemo& memo = read.memo(node);
  const bool known = memo.name.has_value();
  std::string name = memoText(node, memo.name, atspi_accessible_get_name, read);
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

std::string descriptionOf(AtspiAccessible* node, ReadContext& read) {
  return memoText(node, read.memo(node).description,
                  atspi_accessible_get_description, read);
}

GRef<AtspiAccessible> parentOf(AtspiAccessible* node, ReadContext& read) {
  ElementMemo& memo = read.memo(node);
  if (!memo.parentRead) {
    ReadContext local = read.fresh();
    GRef<AtspiAccessible> parent(local.call(node, [&](GError** error) {
      return atspi_accessible_get_parent(node, error);
    }));
    if (!local.ok()) {
      read.fail(local.failure());
      return nullptr;
    }
    memo.parentRead = true;
    memo.parent = std::move(parent);
  }
  return newRef(memo.parent.get());
}

const std::optional<AtspiRect>& extentsOf(AtspiAccessible* node,
                                          ReadContext& read) {
  ElementMemo& memo = read.memo(node);
  if (memo.extentsRead) return memo.extents;
  GRef<AtspiComponent> iface(atspi_accessible_get_component_iface(node));
  if (iface == nullptr) {
    memo.extentsRead = true;
    return memo.extents;
  }
  memo.hasComponent = true;
  std::unique_ptr<AtspiRect, GFree> rect(read.call(node, [&](GError** error) {
    return atspi_component_get_extents(iface.get(), ATSPI_COORD_TYPE_SCREEN,
                                       error);
  }));
  if (!read.ok()) return memo.extents;
  memo.extentsRead = true;
  memo.extentsUnknown = rect != nullptr && rect->x == -1 && rect->y == -1 &&
                        rect->width == -1 && rect->height == -1;
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
                                          ReadContext& read) {
  ElementMemo& memo = read.memo(node);
  if (memo.labelRead) return memo.label;
  const GObjectArray<AtspiRelation> relations(
      read.call(node, [&](GError** error) {
        return atspi_accessible_get_relation_set(node, error);
      }));
  std::optional<std::string> label;
  for (size_t i = 0; i < relations.size(); ++i) {
    AtspiRelation* relation = relations.at(i);
    if (label.has_value() || atspi_relation_get_relation_type(relation) !=
                                 ATSPI_RELATION_LABELLED_BY) {
      continue;
    }
    const int targets = atspi_relation_get_n_targets(relation);
    for (int t = 0; t < targets && !label.has_value(); ++t) {
      GRef<AtspiAccessible> target(atspi_relation_get_target(relation, t));
      if (target == nullptr) continue;
      ReadContext ignored = read.fresh();
      std::string name = nameOf(target.get(), ignored);
      if (!name.empty()) label = std::move(name);
    }
  }
  if (!read.ok()) return memo.label;
  memo.labelRead = true;
  memo.label = std::move(label);
  return memo.label;
}

std::optional<std::string> objectAttribute(
    AtspiAccessible* node, std::initializer_list<const char*> names,
    ReadContext& read) {
  const GTable attributes(read.call(node, [&](GError** error) {
    return atspi_accessible_get_attributes(node, error);
  }));
  if (attributes == nullptr) return std::nullopt;
  for (const char* name : names) {
    if (const auto* value = static_cast<const char*>(
            g_hash_table_lookup(attributes.get(), name))) {
      return std::string(value);
    }
  }
  return std::nullopt;
}

AtspiAccessible* applicationRootOf(AtspiAccessible* node) {
  return node->parent.app != nullptr && node->parent.app->root != nullptr
             ? node->parent.app->root
             : node;
}

// Asked each time: libatspi keeps the answer of an application it holds.
ToolkitId toolkitOf(AtspiAccessible* app, ReadContext& read, bool withVersion) {
  GText name(read.call(app, [&](GError** error) {
    return atspi_accessible_get_toolkit_name(app, error);
  }));
  ToolkitId toolkit;
  if (name != nullptr) toolkit.name = name.get();
  if (withVersion) {
    GText version(read.call(app, [&](GError** error) {
      return atspi_accessible_get_toolkit_version(app, error);
    }));
    if (version != nullptr) toolkit.version = version.get();
  }
  return toolkit;
}

std::optional<int32_t> processIdOf(AtspiAccessible* app, ScanCache& cache) {
  ElementMemo& memo = cache.memoOf(app);
  if (memo.processId.has_value()) return memo.processId;
  ReadContext read(cache);
  const guint pid = read.call(
      app,
      [&](GError** error) {
        return atspi_accessible_get_process_id(app, error);
      },
      Patience::BusDaemon);
  if (!read.ok() || pid == 0) return std::nullopt;
  memo.processId = static_cast<int32_t>(pid);
  return memo.processId;
}

}  // namespace kestreye::atspi
