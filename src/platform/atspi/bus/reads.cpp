// The typed calls of a batch: which interface and member each asks, and how
// its answer is read. An answer is read only when its signature is exactly
// the one asked for, and lists are read no further than their bounds.
#include <string_view>
#include <utility>

#include "platform/atspi/bus/bus_private.h"
#include "platform/atspi/bus/client.h"

namespace kestreye::atspi::bus {
namespace {

constexpr const char* kAccessible = "org.a11y.atspi.Accessible";
constexpr const char* kApplication = "org.a11y.atspi.Application";
constexpr const char* kText = "org.a11y.atspi.Text";
constexpr const char* kComponent = "org.a11y.atspi.Component";
constexpr const char* kValue = "org.a11y.atspi.Value";
constexpr const char* kSelection = "org.a11y.atspi.Selection";
constexpr const char* kTable = "org.a11y.atspi.Table";
constexpr const char* kCollection = "org.a11y.atspi.Collection";
constexpr const char* kProperties = "org.freedesktop.DBus.Properties";

using Reader = bool (*)(sd_bus_message*, Batch::AnyReply&);

template <class T>
bool keep(Batch::AnyReply& reply, T value) {
  std::get<Reply<T>>(reply).value = std::move(value);
  return true;
}

bool readString(sd_bus_message* message, std::string& out) {
  const char* text = nullptr;
  if (sdbus().message_read_basic(message, 's', &text) <= 0) return false;
  out = text;
  return true;
}

// One (so) structure: a bus name and an object path.
bool readRef(sd_bus_message* message, ObjectRef& out) {
  const char* bus = nullptr;
  const char* path = nullptr;
  if (sdbus().message_enter_container(message, 'r', "so") <= 0 ||
      sdbus().message_read_basic(message, 's', &bus) <= 0 ||
      sdbus().message_read_basic(message, 'o', &path) <= 0 ||
      sdbus().message_exit_container(message) < 0) {
    return false;
  }
  out = ObjectRef{bus, path};
  return true;
}

// An answer of one basic value of D-Bus type `Type`.
template <class T, char Type>
bool basic(sd_bus_message* message, Batch::AnyReply& reply) {
  static constexpr char kSignature[] = {Type, '\0'};
  T value{};
  if (sdbus().message_has_signature(message, kSignature) <= 0 ||
      sdbus().message_read_basic(message, Type, &value) <= 0) {
    return false;
  }
  return keep(reply, value);
}

bool text(sd_bus_message* message, Batch::AnyReply& reply) {
  std::string value;
  if (sdbus().message_has_signature(message, "s") <= 0 ||
      !readString(message, value)) {
    return false;
  }
  return keep(reply, std::move(value));
}

// A property's answer: a variant that must hold a `Type`.
template <class T, char Type>
bool property(sd_bus_message* message, Batch::AnyReply& reply) {
  static constexpr char kSignature[] = {Type, '\0'};
  T value{};
  if (sdbus().message_has_signature(message, "v") <= 0 ||
      sdbus().message_enter_container(message, 'v', kSignature) <= 0 ||
      sdbus().message_read_basic(message, Type, &value) <= 0) {
    return false;
  }
  return keep(reply, value);
}

bool textProperty(sd_bus_message* message, Batch::AnyReply& reply) {
  std::string value;
  if (sdbus().message_has_signature(message, "v") <= 0 ||
      sdbus().message_enter_container(message, 'v', "s") <= 0 ||
      !readString(message, value)) {
    return false;
  }
  return keep(reply, std::move(value));
}

bool refProperty(sd_bus_message* message, Batch::AnyReply& reply) {
  ObjectRef value;
  if (sdbus().message_has_signature(message, "v") <= 0 ||
      sdbus().message_enter_container(message, 'v', "(so)") <= 0 ||
      !readRef(message, value)) {
    return false;
  }
  return keep(reply, std::move(value));
}

bool ref(sd_bus_message* message, Batch::AnyReply& reply) {
  ObjectRef value;
  if (sdbus().message_has_signature(message, "(so)") <= 0 ||
      !readRef(message, value)) {
    return false;
  }
  return keep(reply, std::move(value));
}

bool states(sd_bus_message* message, Batch::AnyReply& reply) {
  std::vector<uint32_t> words;
  if (sdbus().message_has_signature(message, "au") <= 0 ||
      sdbus().message_enter_container(message, 'a', "u") <= 0) {
    return false;
  }
  uint32_t word = 0;
  int more = 0;
  while (words.size() < MAX_LISTED_ENTRIES &&
         (more = sdbus().message_read_basic(message, 'u', &word)) > 0) {
    words.push_back(word);
  }
  return more >= 0 && keep(reply, std::move(words));
}

// Reads (so) entries of the array just entered, up to `bound`; `truncated`
// tells whether more followed.
bool readRefs(sd_bus_message* message, size_t bound,
              std::vector<ObjectRef>& refs, bool& truncated) {
  truncated = false;
  while (true) {
    const int atEnd = sdbus().message_at_end(message, 0);
    if (atEnd < 0) return false;
    if (atEnd > 0) return true;
    if (refs.size() >= bound) {
      truncated = true;
      return true;
    }
    ObjectRef ref;
    if (!readRef(message, ref)) return false;
    refs.push_back(std::move(ref));
  }
}

bool children(sd_bus_message* message, Batch::AnyReply& reply) {
  Children value;
  if (sdbus().message_has_signature(message, "a(so)") <= 0 ||
      sdbus().message_enter_container(message, 'a', "(so)") <= 0 ||
      !readRefs(message, MAX_LISTED_CHILDREN, value.refs, value.truncated)) {
    return false;
  }
  return keep(reply, std::move(value));
}

bool attributes(sd_bus_message* message, Batch::AnyReply& reply) {
  Attributes value;
  if (sdbus().message_has_signature(message, "a{ss}") <= 0 ||
      sdbus().message_enter_container(message, 'a', "{ss}") <= 0) {
    return false;
  }
  while (value.size() < MAX_LISTED_ENTRIES) {
    const int entry = sdbus().message_enter_container(message, 'e', "ss");
    if (entry < 0) return false;
    if (entry == 0) break;
    std::pair<std::string, std::string> pair;
    if (!readString(message, pair.first) || !readString(message, pair.second) ||
        sdbus().message_exit_container(message) < 0) {
      return false;
    }
    value.push_back(std::move(pair));
  }
  return keep(reply, std::move(value));
}

bool relations(sd_bus_message* message, Batch::AnyReply& reply) {
  std::vector<Relation> value;
  if (sdbus().message_has_signature(message, "a(ua(so))") <= 0 ||
      sdbus().message_enter_container(message, 'a', "(ua(so))") <= 0) {
    return false;
  }
  while (value.size() < MAX_LISTED_ENTRIES) {
    const int entry = sdbus().message_enter_container(message, 'r', "ua(so)");
    if (entry < 0) return false;
    if (entry == 0) break;
    Relation relation;
    bool truncated = false;
    if (sdbus().message_read_basic(message, 'u', &relation.type) <= 0 ||
        sdbus().message_enter_container(message, 'a', "(so)") <= 0 ||
        !readRefs(message, MAX_LISTED_ENTRIES, relation.targets, truncated)) {
      return false;
    }
    value.push_back(std::move(relation));
    // sd-bus leaves an array only at its end: a cut list ends the reading.
    if (truncated) break;
    if (sdbus().message_exit_container(message) < 0 ||
        sdbus().message_exit_container(message) < 0) {
      return false;
    }
  }
  return keep(reply, std::move(value));
}

// An a{sv} of Accessible's properties, of which Name and Description must
// be strings; the others are passed over.
bool labels(sd_bus_message* message, Batch::AnyReply& reply) {
  if (sdbus().message_has_signature(message, "a{sv}") <= 0 ||
      sdbus().message_enter_container(message, 'a', "{sv}") <= 0) {
    return false;
  }
  std::optional<std::string> name;
  std::optional<std::string> description;
  for (size_t entries = 0; entries < MAX_LISTED_ENTRIES; ++entries) {
    const int entry = sdbus().message_enter_container(message, 'e', "sv");
    if (entry < 0) return false;
    if (entry == 0) break;
    const char* key = nullptr;
    if (sdbus().message_read_basic(message, 's', &key) <= 0) return false;
    const std::string_view property(key);
    std::optional<std::string>* slot = property == "Name" ? &name
                                       : property == "Description"
                                           ? &description
                                           : nullptr;
    if (slot != nullptr) {
      std::string value;
      if (sdbus().message_enter_container(message, 'v', "s") <= 0 ||
          !readString(message, value) ||
          sdbus().message_exit_container(message) < 0) {
        return false;
      }
      *slot = std::move(value);
    } else if (sdbus().message_skip(message, "v") < 0) {
      return false;
    }
    if (sdbus().message_exit_container(message) < 0) return false;
  }
  if (!name.has_value() || !description.has_value()) return false;
  return keep(reply, Labels{std::move(*name), std::move(*description)});
}

// One ((so)(so)(so)iiassusau) entry of a cache snapshot.
bool readCacheItem(sd_bus_message* message, CacheItem& item) {
  ObjectRef app;
  if (!readRef(message, item.ref) || !readRef(message, app) ||
      !readRef(message, item.parent) ||
      sdbus().message_read(message, "ii", &item.index, &item.childCount) <= 0 ||
      sdbus().message_enter_container(message, 'a', "s") <= 0) {
    return false;
  }
  const char* interface = nullptr;
  int more = 0;
  while ((more = sdbus().message_read_basic(message, 's', &interface)) > 0) {
    if (std::string_view(interface) == "org.a11y.atspi.Text") item.text = true;
  }
  if (more < 0 || sdbus().message_exit_container(message) < 0 ||
      !readString(message, item.name) ||
      sdbus().message_read_basic(message, 'u', &item.role) <= 0 ||
      !readString(message, item.description) ||
      sdbus().message_enter_container(message, 'a', "u") <= 0) {
    return false;
  }
  uint32_t word = 0;
  while (item.states.size() < MAX_LISTED_ENTRIES &&
         (more = sdbus().message_read_basic(message, 'u', &word)) > 0) {
    item.states.push_back(word);
  }
  return more >= 0 && sdbus().message_exit_container(message) >= 0;
}

bool cacheItems(sd_bus_message* message, Batch::AnyReply& reply) {
  std::vector<CacheItem> items;
  constexpr const char* kItem = "(so)(so)(so)iiassusau";
  if (sdbus().message_has_signature(message, "a((so)(so)(so)iiassusau)") <= 0 ||
      sdbus().message_enter_container(message, 'a',
                                      "((so)(so)(so)iiassusau)") <= 0) {
    return false;
  }
  while (items.size() < MAX_LISTED_CHILDREN) {
    const int entry = sdbus().message_enter_container(message, 'r', kItem);
    if (entry < 0) return false;
    if (entry == 0) break;
    CacheItem item;
    if (!readCacheItem(message, item) ||
        sdbus().message_exit_container(message) < 0) {
      return false;
    }
    items.push_back(std::move(item));
  }
  return keep(reply, std::move(items));
}

bool selection(sd_bus_message* message, Batch::AnyReply& reply) {
  TextRange value;
  if (sdbus().message_has_signature(message, "ii") <= 0 ||
      sdbus().message_read(message, "ii", &value.start, &value.end) <= 0) {
    return false;
  }
  return keep(reply, value);
}

bool extents(sd_bus_message* message, Batch::AnyReply& reply) {
  Extents value;
  if (sdbus().message_has_signature(message, "(iiii)") <= 0 ||
      sdbus().message_read(message, "(iiii)", &value.x, &value.y, &value.width,
                           &value.height) <= 0) {
    return false;
  }
  return keep(reply, value);
}

std::unique_ptr<Batch::Call> method(
    const ObjectRef& target, const char* interface, const char* member,
    Reader read, std::function<int(sd_bus_message*)> append = nullptr) {
  auto call = std::make_unique<Batch::Call>();
  call->target = target;
  call->interface = interface;
  call->member = member;
  call->read = read;
  call->append = std::move(append);
  return call;
}

// Properties.Get of one property; the names are string literals.
std::unique_ptr<Batch::Call> get(const ObjectRef& target, const char* interface,
                                 const char* name, Reader read) {
  auto call =
      method(target, kProperties, "Get", read,
             [interface, name](sd_bus_message* message) {
               return sdbus().message_append(message, "ss", interface, name);
             });
  return call;
}

ObjectRef rootOf(const std::string& app) { return ObjectRef{app, ROOT_PATH}; }

}  // namespace

template <class T>
Ticket<T> Batch::add(std::unique_ptr<Call> call) {
  call->limit = callLimit_;
  call->viaBus = call->viaBus || viaBus_;
  calls_.push_back(std::move(call));
  replies_.emplace_back(Reply<T>{});
  return Ticket<T>{replies_.size() - 1};
}

Ticket<uint32_t> Batch::role(const ObjectRef& target) {
  return add<uint32_t>(
      method(target, kAccessible, "GetRole", basic<uint32_t, 'u'>));
}

Ticket<std::string> Batch::name(const ObjectRef& target) {
  return add<std::string>(get(target, kAccessible, "Name", textProperty));
}

Ticket<std::string> Batch::description(const ObjectRef& target) {
  return add<std::string>(
      get(target, kAccessible, "Description", textProperty));
}

Ticket<Labels> Batch::labels(const ObjectRef& target) {
  return add<Labels>(method(
      target, kProperties, "GetAll", bus::labels, [](sd_bus_message* message) {
        return sdbus().message_append(message, "s", kAccessible);
      }));
}

Ticket<std::vector<uint32_t>> Batch::states(const ObjectRef& target) {
  return add<std::vector<uint32_t>>(
      method(target, kAccessible, "GetState", bus::states));
}

Ticket<Children> Batch::children(const ObjectRef& target) {
  return add<Children>(
      method(target, kAccessible, "GetChildren", bus::children));
}

Ticket<ObjectRef> Batch::childAt(const ObjectRef& target, int32_t index) {
  return add<ObjectRef>(method(target, kAccessible, "GetChildAtIndex", bus::ref,
                               [index](sd_bus_message* message) {
                                 return sdbus().message_append(message, "i",
                                                               index);
                               }));
}

Ticket<int32_t> Batch::childCount(const ObjectRef& target) {
  return add<int32_t>(
      get(target, kAccessible, "ChildCount", property<int32_t, 'i'>));
}

Ticket<Attributes> Batch::attributes(const ObjectRef& target) {
  return add<Attributes>(
      method(target, kAccessible, "GetAttributes", bus::attributes));
}

Ticket<std::vector<Relation>> Batch::relations(const ObjectRef& target) {
  return add<std::vector<Relation>>(
      method(target, kAccessible, "GetRelationSet", bus::relations));
}

Ticket<ObjectRef> Batch::parent(const ObjectRef& target) {
  return add<ObjectRef>(get(target, kAccessible, "Parent", refProperty));
}

Ticket<std::string> Batch::applicationBusAddress(const std::string& app) {
  auto call =
      method(rootOf(app), kApplication, "GetApplicationBusAddress", bus::text);
  call->viaBus = true;
  return add<std::string>(std::move(call));
}

Ticket<std::string> Batch::toolkitName(const std::string& app) {
  return add<std::string>(
      get(rootOf(app), kApplication, "ToolkitName", textProperty));
}

Ticket<std::string> Batch::toolkitVersion(const std::string& app) {
  return add<std::string>(
      get(rootOf(app), kApplication, "Version", textProperty));
}

Ticket<std::string> Batch::text(const ObjectRef& target, int32_t start,
                                int32_t end) {
  return add<std::string>(method(target, kText, "GetText", bus::text,
                                 [start, end](sd_bus_message* message) {
                                   return sdbus().message_append(message, "ii",
                                                                 start, end);
                                 }));
}

Ticket<int32_t> Batch::caretOffset(const ObjectRef& target) {
  return add<int32_t>(
      get(target, kText, "CaretOffset", property<int32_t, 'i'>));
}

Ticket<int32_t> Batch::selectionCount(const ObjectRef& target) {
  return add<int32_t>(
      method(target, kText, "GetNSelections", basic<int32_t, 'i'>));
}

Ticket<TextRange> Batch::selection(const ObjectRef& target, int32_t index) {
  return add<TextRange>(method(target, kText, "GetSelection", bus::selection,
                               [index](sd_bus_message* message) {
                                 return sdbus().message_append(message, "i",
                                                               index);
                               }));
}

Ticket<int32_t> Batch::characterCount(const ObjectRef& target) {
  return add<int32_t>(
      get(target, kText, "CharacterCount", property<int32_t, 'i'>));
}

Ticket<Extents> Batch::extents(const ObjectRef& target, CoordType coords) {
  return add<Extents>(method(target, kComponent, "GetExtents", bus::extents,
                             [coords](sd_bus_message* message) {
                               return sdbus().message_append(
                                   message, "u", static_cast<uint32_t>(coords));
                             }));
}

Ticket<double> Batch::currentValue(const ObjectRef& target) {
  return add<double>(
      get(target, kValue, "CurrentValue", property<double, 'd'>));
}

Ticket<int32_t> Batch::selectedChildCount(const ObjectRef& target) {
  return add<int32_t>(
      get(target, kSelection, "NSelectedChildren", property<int32_t, 'i'>));
}

Ticket<ObjectRef> Batch::selectedChild(const ObjectRef& target, int32_t index) {
  return add<ObjectRef>(method(target, kSelection, "GetSelectedChild", bus::ref,
                               [index](sd_bus_message* message) {
                                 return sdbus().message_append(message, "i",
                                                               index);
                               }));
}

Ticket<ObjectRef> Batch::cellAt(const ObjectRef& target, int32_t row,
                                int32_t column) {
  return add<ObjectRef>(method(target, kTable, "GetAccessibleAt", bus::ref,
                               [row, column](sd_bus_message* message) {
                                 return sdbus().message_append(message, "ii",
                                                               row, column);
                               }));
}

Ticket<Children> Batch::matchingStates(const ObjectRef& target,
                                       std::vector<uint32_t> states,
                                       int32_t count, bool any) {
  // The rule (aiia{ss}iaiiasib): the states, all of them or any; no
  // attribute, role or interface of an empty list (which every element
  // passes); not inverted. Then canonical order, the count, and the whole
  // subtree.
  constexpr int32_t kMatchAll = 1;
  constexpr int32_t kMatchAny = 2;
  constexpr int32_t kMatchNone = 3;
  constexpr uint32_t kCanonical = 1;
  return add<Children>(method(
      target, kCollection, "GetMatches", bus::children,
      [states = std::move(states), count, any](sd_bus_message* message) {
        int result =
            sdbus().message_open_container(message, 'r', "aiia{ss}iaiiasib");
        if (result < 0) return result;
        result = sdbus().message_open_container(message, 'a', "i");
        for (size_t i = 0; result >= 0 && i < states.size(); ++i) {
          result = sdbus().message_append_basic(message, 'i', &states[i]);
        }
        if (result >= 0) result = sdbus().message_close_container(message);
        if (result >= 0) {
          result = sdbus().message_append(
              message, "ia{ss}iaiiasib", any ? kMatchAny : kMatchAll, 0,
              kMatchNone, 0, kMatchNone, 0, kMatchNone, 0);
        }
        if (result >= 0) result = sdbus().message_close_container(message);
        if (result >= 0) {
          result = sdbus().message_append(message, "uib", kCanonical, count, 1);
        }
        return result;
      }));
}

Ticket<std::vector<CacheItem>> Batch::cacheItems(const std::string& app) {
  return add<std::vector<CacheItem>>(
      method(ObjectRef{app, "/org/a11y/atspi/cache"}, "org.a11y.atspi.Cache",
             "GetItems", bus::cacheItems));
}

Ticket<uint32_t> Batch::processId(const std::string& app) {
  auto call = method(ObjectRef{"org.freedesktop.DBus", "/org/freedesktop/DBus"},
                     "org.freedesktop.DBus", "GetConnectionUnixProcessID",
                     basic<uint32_t, 'u'>, [app](sd_bus_message* message) {
                       return sdbus().message_append(message, "s", app.c_str());
                     });
  call->viaBus = true;
  call->about = app;
  return add<uint32_t>(std::move(call));
}

}  // namespace kestreye::atspi::bus
