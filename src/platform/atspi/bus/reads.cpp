// The typed calls of a batch: which interface and member each asks, and how
// its answer is read. An answer is read only when its signature is exactly
// the one asked for, and lists are read no further than their bounds.
#include <algorithm>
#include <limits>
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

using Reader = bool (*)(DBusMessage*, Batch::AnyReply&);

template <class T>
bool keep(Batch::AnyReply& reply, T value) {
  std::get<Reply<T>>(reply).value = std::move(value);
  return true;
}

// A place in a message's arguments, or in a container's. Each read checks
// the type it finds, so that a variant's content is read only as what it
// holds.
class Args {
 public:
  // The arguments of `message`, when it has exactly `signature`.
  static std::optional<Args> of(DBusMessage* message, const char* signature) {
    Args args;
    if (!dbus_message_has_signature(message, signature)) return std::nullopt;
    dbus_message_iter_init(message, &args.at_);
    return args;
  }
  bool atEnd() { return type() == DBUS_TYPE_INVALID; }
  int type() { return dbus_message_iter_get_arg_type(&at_); }
  // Reads one basic value of D-Bus type `type` into `out`.
  template <class T>
  bool basic(int type, T& out) {
    if (this->type() != type) return false;
    dbus_message_iter_get_basic(&at_, &out);
    dbus_message_iter_next(&at_);
    return true;
  }
  bool text(std::string& out) {
    const char* value = nullptr;
    if (!basic(DBUS_TYPE_STRING, value)) return false;
    out = value;
    return true;
  }
  // Enters the container of type `type` here into `inner`, and moves past
  // it.
  bool enter(int type, Args& inner) {
    if (this->type() != type) return false;
    dbus_message_iter_recurse(&at_, &inner.at_);
    dbus_message_iter_next(&at_);
    return true;
  }
  // A variant here whose content has exactly `signature`, entered into
  // `inner`.
  bool variant(const char* signature, Args& inner) {
    if (!enter(DBUS_TYPE_VARIANT, inner)) return false;
    char* held = dbus_message_iter_get_signature(&inner.at_);
    const bool same = held != nullptr && std::string_view(held) == signature;
    dbus_free(held);
    return same;
  }
  // Moves past whatever is here.
  void skip() { dbus_message_iter_next(&at_); }
  // One (so) structure: a bus name and an object path.
  bool ref(ObjectRef& out) {
    Args fields;
    const char* bus = nullptr;
    const char* path = nullptr;
    if (!enter(DBUS_TYPE_STRUCT, fields) ||
        !fields.basic(DBUS_TYPE_STRING, bus) ||
        !fields.basic(DBUS_TYPE_OBJECT_PATH, path)) {
      return false;
    }
    out = ObjectRef{bus, path};
    return true;
  }
  // The words of an array of u, up to MAX_LISTED_ENTRIES.
  bool words(std::vector<uint32_t>& out) {
    Args entries;
    if (!enter(DBUS_TYPE_ARRAY, entries)) return false;
    uint32_t word = 0;
    while (out.size() < MAX_LISTED_ENTRIES &&
           entries.basic(DBUS_TYPE_UINT32, word)) {
      out.push_back(word);
    }
    return true;
  }
  // The (so) entries of an array, up to `bound`; `truncated` tells whether
  // more followed.
  bool refs(size_t bound, std::vector<ObjectRef>& out, bool& truncated) {
    Args entries;
    if (!enter(DBUS_TYPE_ARRAY, entries)) return false;
    truncated = false;
    while (!entries.atEnd()) {
      if (out.size() >= bound) {
        truncated = true;
        return true;
      }
      ObjectRef ref;
      if (!entries.ref(ref)) return false;
      out.push_back(std::move(ref));
    }
    return true;
  }

 private:
  DBusMessageIter at_{};
};

// An answer of one basic value of D-Bus type `Type`.
template <class T, char Type>
bool basic(DBusMessage* message, Batch::AnyReply& reply) {
  static constexpr char kSignature[] = {Type, '\0'};
  T value{};
  std::optional<Args> args = Args::of(message, kSignature);
  if (!args || !args->basic(Type, value)) return false;
  return keep(reply, value);
}

bool text(DBusMessage* message, Batch::AnyReply& reply) {
  std::string value;
  std::optional<Args> args = Args::of(message, "s");
  if (!args || !args->text(value)) return false;
  return keep(reply, std::move(value));
}

// A property's answer: a variant that must hold a `Type`.
template <class T, char Type>
bool property(DBusMessage* message, Batch::AnyReply& reply) {
  static constexpr char kSignature[] = {Type, '\0'};
  T value{};
  std::optional<Args> args = Args::of(message, "v");
  Args inner;
  if (!args || !args->variant(kSignature, inner) || !inner.basic(Type, value)) {
    return false;
  }
  return keep(reply, value);
}

bool textProperty(DBusMessage* message, Batch::AnyReply& reply) {
  std::string value;
  std::optional<Args> args = Args::of(message, "v");
  Args inner;
  if (!args || !args->variant("s", inner) || !inner.text(value)) {
    return false;
  }
  return keep(reply, std::move(value));
}

bool refProperty(DBusMessage* message, Batch::AnyReply& reply) {
  ObjectRef value;
  std::optional<Args> args = Args::of(message, "v");
  Args inner;
  if (!args || !args->variant("(so)", inner) || !inner.ref(value)) {
    return false;
  }
  return keep(reply, std::move(value));
}

bool ref(DBusMessage* message, Batch::AnyReply& reply) {
  ObjectRef value;
  std::optional<Args> args = Args::of(message, "(so)");
  if (!args || !args->ref(value)) return false;
  return keep(reply, std::move(value));
}

bool states(DBusMessage* message, Batch::AnyReply& reply) {
  std::vector<uint32_t> words;
  std::optional<Args> args = Args::of(message, "au");
  if (!args || !args->words(words)) return false;
  return keep(reply, std::move(words));
}

bool children(DBusMessage* message, Batch::AnyReply& reply) {
  Children value;
  std::optional<Args> args = Args::of(message, "a(so)");
  if (!args || !args->refs(MAX_LISTED_CHILDREN, value.refs, value.truncated)) {
    return false;
  }
  return keep(reply, std::move(value));
}

bool attributes(DBusMessage* message, Batch::AnyReply& reply) {
  Attributes value;
  std::optional<Args> args = Args::of(message, "a{ss}");
  Args entries;
  if (!args || !args->enter(DBUS_TYPE_ARRAY, entries)) return false;
  Args entry;
  while (value.size() < MAX_LISTED_ENTRIES &&
         entries.enter(DBUS_TYPE_DICT_ENTRY, entry)) {
    std::pair<std::string, std::string> pair;
    if (!entry.text(pair.first) || !entry.text(pair.second)) return false;
    value.push_back(std::move(pair));
  }
  return keep(reply, std::move(value));
}

bool relations(DBusMessage* message, Batch::AnyReply& reply) {
  std::vector<Relation> value;
  std::optional<Args> args = Args::of(message, "a(ua(so))");
  Args entries;
  if (!args || !args->enter(DBUS_TYPE_ARRAY, entries)) return false;
  Args entry;
  while (value.size() < MAX_LISTED_ENTRIES &&
         entries.enter(DBUS_TYPE_STRUCT, entry)) {
    Relation relation;
    bool truncated = false;
    if (!entry.basic(DBUS_TYPE_UINT32, relation.type) ||
        !entry.refs(MAX_LISTED_ENTRIES, relation.targets, truncated)) {
      return false;
    }
    value.push_back(std::move(relation));
  }
  return keep(reply, std::move(value));
}

// An a{sv} of Accessible's properties, of which Name and Description must
// be strings; the others are passed over.
bool labels(DBusMessage* message, Batch::AnyReply& reply) {
  std::optional<Args> args = Args::of(message, "a{sv}");
  Args entries;
  if (!args || !args->enter(DBUS_TYPE_ARRAY, entries)) return false;
  std::optional<std::string> name;
  std::optional<std::string> description;
  Args entry;
  for (size_t read = 0;
       read < MAX_LISTED_ENTRIES && entries.enter(DBUS_TYPE_DICT_ENTRY, entry);
       ++read) {
    const char* key = nullptr;
    if (!entry.basic(DBUS_TYPE_STRING, key)) return false;
    const std::string_view property(key);
    std::optional<std::string>* slot = property == "Name" ? &name
                                       : property == "Description"
                                           ? &description
                                           : nullptr;
    if (slot == nullptr) continue;
    Args inner;
    std::string value;
    if (!entry.variant("s", inner) || !inner.text(value)) {
      return false;
    }
    *slot = std::move(value);
  }
  if (!name.has_value() || !description.has_value()) return false;
  return keep(reply, Labels{std::move(*name), std::move(*description)});
}

// One ((so)(so)(so)iiassusau) entry of a cache snapshot.
bool readCacheItem(Args& fields, CacheItem& item) {
  ObjectRef app;
  Args interfaces;
  if (!fields.ref(item.ref) || !fields.ref(app) || !fields.ref(item.parent) ||
      !fields.basic(DBUS_TYPE_INT32, item.index) ||
      !fields.basic(DBUS_TYPE_INT32, item.childCount) ||
      !fields.enter(DBUS_TYPE_ARRAY, interfaces)) {
    return false;
  }
  const char* interface = nullptr;
  while (interfaces.basic(DBUS_TYPE_STRING, interface)) {
    if (std::string_view(interface) == kText) item.text = true;
  }
  return fields.text(item.name) && fields.basic(DBUS_TYPE_UINT32, item.role) &&
         fields.text(item.description) && fields.words(item.states);
}

bool cacheItems(DBusMessage* message, Batch::AnyReply& reply) {
  std::vector<CacheItem> items;
  std::optional<Args> args = Args::of(message, "a((so)(so)(so)iiassusau)");
  Args entries;
  if (!args || !args->enter(DBUS_TYPE_ARRAY, entries)) return false;
  Args fields;
  while (items.size() < MAX_LISTED_CHILDREN &&
         entries.enter(DBUS_TYPE_STRUCT, fields)) {
    CacheItem item;
    if (!readCacheItem(fields, item)) return false;
    items.push_back(std::move(item));
  }
  return keep(reply, std::move(items));
}

bool selection(DBusMessage* message, Batch::AnyReply& reply) {
  TextRange value;
  std::optional<Args> args = Args::of(message, "ii");
  if (!args || !args->basic(DBUS_TYPE_INT32, value.start) ||
      !args->basic(DBUS_TYPE_INT32, value.end)) {
    return false;
  }
  return keep(reply, value);
}

bool extents(DBusMessage* message, Batch::AnyReply& reply) {
  Extents value;
  std::optional<Args> args = Args::of(message, "(iiii)");
  Args fields;
  if (!args || !args->enter(DBUS_TYPE_STRUCT, fields) ||
      !fields.basic(DBUS_TYPE_INT32, value.x) ||
      !fields.basic(DBUS_TYPE_INT32, value.y) ||
      !fields.basic(DBUS_TYPE_INT32, value.width) ||
      !fields.basic(DBUS_TYPE_INT32, value.height)) {
    return false;
  }
  return keep(reply, value);
}

// Appends basic arguments of the types `types` (DBUS_TYPE_*) from `values`.
template <class... T>
bool appendAll(DBusMessage* message, std::pair<int, T>... values) {
  DBusMessageIter args;
  dbus_message_iter_init_append(message, &args);
  return (dbus_message_iter_append_basic(&args, values.first, &values.second) &&
          ...);
}

std::unique_ptr<Batch::Call> method(
    const ObjectRef& target, const char* interface, const char* member,
    Reader read, std::function<bool(DBusMessage*)> append = nullptr) {
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
             [interface, name](DBusMessage* message) {
               return appendAll(message, std::pair{DBUS_TYPE_STRING, interface},
                                std::pair{DBUS_TYPE_STRING, name});
             });
  return call;
}

ObjectRef rootOf(const std::string& app) { return ObjectRef{app, ROOT_PATH}; }

}  // namespace

template <class T>
Ticket<T> Batch::add(std::unique_ptr<Call> call) {
  call->limit = callLimit_;
  if (std::find(longAnswers_.begin(), longAnswers_.end(), call->target.bus) !=
      longAnswers_.end()) {
    call->limit *= 2;
  }
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
      target, kProperties, "GetAll", bus::labels, [](DBusMessage* message) {
        return appendAll(message, std::pair{DBUS_TYPE_STRING, kAccessible});
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
  return add<ObjectRef>(
      method(target, kAccessible, "GetChildAtIndex", bus::ref,
             [index](DBusMessage* message) {
               return appendAll(message, std::pair{DBUS_TYPE_INT32, index});
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
  // A text to its end may be megabytes, which its application takes long
  // to make and send and libdbus to read and copy (20 MB: 0.37–0.45 s of a
  // limit of 0.5), and the application answers in turn: such a call, and
  // what is asked of its application after it, have twice the limit (add).
  if ((end < 0 || end == std::numeric_limits<int32_t>::max()) &&
      std::find(longAnswers_.begin(), longAnswers_.end(), target.bus) ==
          longAnswers_.end()) {
    longAnswers_.push_back(target.bus);
  }
  return add<std::string>(method(
      target, kText, "GetText", bus::text, [start, end](DBusMessage* message) {
        return appendAll(message, std::pair{DBUS_TYPE_INT32, start},
                         std::pair{DBUS_TYPE_INT32, end});
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
  return add<TextRange>(
      method(target, kText, "GetSelection", bus::selection,
             [index](DBusMessage* message) {
               return appendAll(message, std::pair{DBUS_TYPE_INT32, index});
             }));
}

Ticket<int32_t> Batch::characterCount(const ObjectRef& target) {
  return add<int32_t>(
      get(target, kText, "CharacterCount", property<int32_t, 'i'>));
}

Ticket<Extents> Batch::extents(const ObjectRef& target, CoordType coords) {
  return add<Extents>(method(
      target, kComponent, "GetExtents", bus::extents,
      [coords](DBusMessage* message) {
        return appendAll(message, std::pair{DBUS_TYPE_UINT32,
                                            static_cast<uint32_t>(coords)});
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
  return add<ObjectRef>(
      method(target, kSelection, "GetSelectedChild", bus::ref,
             [index](DBusMessage* message) {
               return appendAll(message, std::pair{DBUS_TYPE_INT32, index});
             }));
}

Ticket<ObjectRef> Batch::cellAt(const ObjectRef& target, int32_t row,
                                int32_t column) {
  return add<ObjectRef>(method(target, kTable, "GetAccessibleAt", bus::ref,
                               [row, column](DBusMessage* message) {
                                 return appendAll(
                                     message, std::pair{DBUS_TYPE_INT32, row},
                                     std::pair{DBUS_TYPE_INT32, column});
                               }));
}

Ticket<Children> Batch::matchingStates(const ObjectRef& target,
                                       std::vector<uint32_t> states,
                                       int32_t count, bool any,
                                       bool wholeSubtree) {
  // The rule (aiia{ss}iaiiasib): the states, all of them or any; no
  // attribute, role or interface of an empty list (which every element
  // passes); not inverted. Then canonical order, the count, and whether the
  // search goes below the children.
  static constexpr int32_t kMatchAll = 1;
  static constexpr int32_t kMatchAny = 2;
  static constexpr int32_t kMatchNone = 3;
  static constexpr uint32_t kCanonical = 1;
  return add<Children>(method(
      target, kCollection, "GetMatches", bus::children,
      [states = std::move(states), count, any,
       wholeSubtree](DBusMessage* message) {
        DBusMessageIter args;
        DBusMessageIter rule;
        DBusMessageIter list;
        const int32_t match = any ? kMatchAny : kMatchAll;
        const dbus_bool_t no = false;
        const dbus_bool_t traverse = wholeSubtree;
        const uint32_t order = kCanonical;
        // An empty list of `signature` in the rule, then how it matches.
        const auto none = [&](const char* signature) {
          DBusMessageIter empty;
          return dbus_message_iter_open_container(&rule, DBUS_TYPE_ARRAY,
                                                  signature, &empty) &&
                 dbus_message_iter_close_container(&rule, &empty) &&
                 dbus_message_iter_append_basic(&rule, DBUS_TYPE_INT32,
                                                &kMatchNone);
        };
        dbus_message_iter_init_append(message, &args);
        if (!dbus_message_iter_open_container(&args, DBUS_TYPE_STRUCT, nullptr,
                                              &rule) ||
            !dbus_message_iter_open_container(&rule, DBUS_TYPE_ARRAY, "i",
                                              &list)) {
          return false;
        }
        for (const uint32_t word : states) {
          const auto value = static_cast<int32_t>(word);
          if (!dbus_message_iter_append_basic(&list, DBUS_TYPE_INT32, &value)) {
            return false;
          }
        }
        return dbus_message_iter_close_container(&rule, &list) &&
               dbus_message_iter_append_basic(&rule, DBUS_TYPE_INT32, &match) &&
               none("{ss}") && none("i") && none("s") &&
               dbus_message_iter_append_basic(&rule, DBUS_TYPE_BOOLEAN, &no) &&
               dbus_message_iter_close_container(&args, &rule) &&
               dbus_message_iter_append_basic(&args, DBUS_TYPE_UINT32,
                                              &order) &&
               dbus_message_iter_append_basic(&args, DBUS_TYPE_INT32, &count) &&
               dbus_message_iter_append_basic(&args, DBUS_TYPE_BOOLEAN,
                                              &traverse);
      }));
}

Ticket<std::vector<CacheItem>> Batch::cacheItems(const std::string& app) {
  return add<std::vector<CacheItem>>(
      method(ObjectRef{app, "/org/a11y/atspi/cache"}, "org.a11y.atspi.Cache",
             "GetItems", bus::cacheItems));
}

Ticket<uint32_t> Batch::processId(const std::string& app) {
  auto call = method(
      ObjectRef{"org.freedesktop.DBus", "/org/freedesktop/DBus"},
      "org.freedesktop.DBus", "GetConnectionUnixProcessID",
      basic<uint32_t, 'u'>, [app](DBusMessage* message) {
        return appendAll(message, std::pair{DBUS_TYPE_STRING, app.c_str()});
      });
  call->viaBus = true;
  call->about = app;
  return add<uint32_t>(std::move(call));
}

}  // namespace kestreye::atspi::bus
