// A fake AT-SPI application for the bus client's tests: a small form on the
// accessibility bus, with objects that misbehave on purpose.
//
//   kestreye_fake_atspi_app BUS_ADDRESS SOCKET FOLDER [--a11y-bus ADDRESS]
//                           [--a11y-late MS] [--active] [--collection]
//                           [--comm NAME] [--front-window] [--late MS]
//                           [--one-window]
//                           [--registry] [--waking MS] [--windowless]
//
// SOCKET says what GetApplicationBusAddress answers: "none" (""), "serve"
// (a socket of its own in FOLDER, served like the bus), "refuse" (a socket in
// FOLDER that refuses every connection), "reject" (one that accepts each
// connection and closes it when the client's handshake comes in), "stall" (one
// that never takes a connection from its backlog), "exec" (an address that
// would run a program creating FOLDER/executed) or "unsupported" (an
// UnknownMethod error). --a11y-bus also owns org.a11y.Bus and answers its
// GetAddress with ADDRESS, or never with "silent"; --a11y-late answers it MS
// milliseconds late. --active makes every
// object ACTIVE; --collection makes the application's root answer a
// Collection search of its children, as at-spi2-atk's bridge does; --late
// answers what is asked of the application's root MS milliseconds late;
// --registry also owns org.a11y.atspi.Registry, whose root lists the fake alone
// and names itself "listed N" after the times it was listed; --waking MS
// answers as a Firefox that no client has asked yet: every frame is (-1, -1,
// -1, -1) until MS milliseconds after the first frame asked, and the object
// attributes are none until MS / 2 milliseconds after the first asked (but
// "explicit-name" of an element once its name was asked);
// --windowless leaves the application's root without children (a settings
// daemon), whose description says how many times its toolkit was asked for;
// --one-window has the root list one child (label) alone;
// --front-window has the root's Collection search for its ACTIVE windows
// find window alone;
// --comm names the process NAME (as Firefox's is "firefox"). The unique name
// goes to standard output once the fake is on the bus.
//
// The objects below /o: window, label and field, which answer every typed
// call alike but for their role and name, and list label, field and channel
// as their children; only window is a selection (of label and field), a
// table (whose cell at row R, column C is /o/cell_R_C) and a collection
// (with huge);
// channel, whose name says "bus" or "p2p" after the connection that asked
// and whose description is the unique name that last asked for the socket;
// silent (never answers), slow (answers after 150 ms), error (an error),
// wrong (answers of the wrong type, and properties of the wrong type), huge
// (100,000 children, whose description says how many Collection searches
// were asked for), exit (ends the process, answering nothing). A second
// window, signup, holds name (a label), entry (a text field), secret (a
// password field, whose description says how many times its text was asked
// for), send (a button), terms (a paragraph holding link, a link) and page
// (a GTK 4 stack page, SHOWING and VISIBLE, holding pagetext, a label). A
// third, hidden (SHOWING), holds editor (EDITABLE and FOCUSED, not SHOWING)
// and preload (neither, whose description says how many times its children
// were asked for), which holds newtab (FOCUSED and SHOWING). sheet, a table
// on its own, manages its descendants. tools, a tool bar on its own, holds
// pane1, pane2 and pane3, each holding one button: tool1, tool2, tool3.
// bar, another tool bar and a window of the application's own, holds save
// (a button, SHOWING), find (a text field) and print (a button that is not
// SHOWING), answers a Collection search of its children, and answers its
// text's length with an error, as at-spi2-atk does for an element without
// a text. An object's parent is the one that lists it (bar's, the
// application's root); any other's is window.
// notes, a section on its own, holds note, a paragraph. para, a paragraph
// on its own, holds link1 and link2, links its text embeds. web, a window
// of the application's own, holds webpanel, which holds doc (a web page),
// which holds webform (a section), which holds webentry (a text field,
// EDITABLE and FOCUSED) and webgo (a button). deep, another, holds deep1 (a
// window inside it, as Qt's main window in its frame), which holds deep2,
// then deep3, then deep4 (fillers without a name), which holds deepedit (a
// text field, EDITABLE and FOCUSED). calc, another, holds calcbar (a tool
// bar holding namebox, a text field whose text is "C2") and grid (a table
// that manages its descendants, FOCUSED), whose cell at row 1 and column 2
// is cell_1_2. The cache
// (Cache.GetItems) holds window, label, field, signup and its children,
// hidden, editor and preload (not preload's child, as Firefox leaves out a
// document it has not built, nor page's, as GTK 4 lists a stack page's
// children in its place), and huge's children.
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr const char* kRoot = "/org/a11y/atspi/accessible/root";
constexpr const char* kRegistry = "org.a11y.atspi.Registry";
constexpr const char* kUnknownMethod =
    "org.freedesktop.DBus.Error.UnknownMethod";
constexpr const char* kAtspi = "org.a11y.atspi.";
// Twice as many as the client reads of one list.
constexpr uint32_t kHugeCount = 100'000;

struct Object {
  uint32_t role;
  const char* name;
};

// The objects that answer: their role and name.
const std::map<std::string, Object>& objects() {
  static const auto* all = new std::map<std::string, Object>{
      {kRoot, {75, "Fake"}},
      {"/o/window", {23, "Sign in"}},
      {"/o/label", {29, "Email"}},
      {"/o/field", {61, ""}},
      {"/o/channel", {29, ""}},
      {"/o/slow", {29, "slow"}},
      {"/o/huge", {23, "Huge"}},
      {"/o/signup", {23, "Sign up"}},
      {"/o/name", {29, "Name"}},
      {"/o/entry", {61, ""}},
      {"/o/secret", {40, "Password"}},
      {"/o/send", {43, "Send"}},
      {"/o/terms", {73, ""}},
      {"/o/link", {88, "terms"}},
      {"/o/hidden", {23, "Hidden"}},
      {"/o/editor", {61, "Editor"}},
      {"/o/preload", {28, ""}},
      {"/o/newtab", {61, "New tab"}},
      {"/o/sheet", {55, "Sheet"}},
      {"/o/tools", {63, "Tools"}},
      {"/o/pane1", {39, ""}},
      {"/o/pane2", {39, ""}},
      {"/o/pane3", {39, ""}},
      {"/o/tool1", {43, "Cut"}},
      {"/o/tool2", {43, "Copy"}},
      {"/o/tool3", {43, "Paste"}},
      // A tool bar with a command hidden, as LibreOffice's.
      {"/o/bar", {63, "Standard"}},
      {"/o/save", {43, "Save"}},
      {"/o/find", {61, ""}},
      {"/o/print", {43, "Print"}},
      {"/o/notes", {85, ""}},
      {"/o/note", {73, ""}},
      {"/o/page", {39, "GtkStackPage"}},
      {"/o/pagetext", {29, "Page"}},
      {"/o/qt", {23, "Editor"}},
      {"/o/qtbutton", {43, "Bold"}},
      {"/o/qtbar", {63, "Formatting"}},
      {"/o/qtitalic", {43, "Italic"}},
      {"/o/qtpane", {39, "Document"}},
      {"/o/qtedit", {61, ""}},
      {"/o/qtsend", {43, "Send"}},
      {"/o/qtsecret", {40, "PIN"}},
      {"/o/qtlabel", {29, "Address"}},
      {"/o/para", {73, ""}},
      {"/o/link1", {88, "terms"}},
      {"/o/link2", {88, "policy"}},
      {"/o/web", {23, "Browser"}},
      {"/o/webpanel", {39, ""}},
      {"/o/doc", {95, "Page"}},
      {"/o/webform", {85, ""}},
      {"/o/webentry", {61, ""}},
      {"/o/webgo", {43, "Go"}},
      {"/o/deep", {23, "Deep"}},
      {"/o/deep1", {23, "Main"}},
      {"/o/deep2", {20, ""}},
      {"/o/deep3", {20, ""}},
      {"/o/deep4", {20, ""}},
      {"/o/deepedit", {61, ""}},
      {"/o/calc", {23, "Calc"}},
      {"/o/calcbar", {63, "Formula"}},
      {"/o/namebox", {61, "Name Box"}},
      {"/o/grid", {55, "Sheet 1"}},
      {"/o/cell_1_2", {56, ""}},
  };
  return *all;
}

struct Fake {
  sd_event* event = nullptr;
  sd_bus* bus = nullptr;
  std::string unique;
  std::string socketMode;
  std::string ownAddress;
  std::string a11yAnswer;  // "" when not the org.a11y.Bus owner
  std::string socketAsker;
  int secretAsked = 0;
  int matchesAsked = 0;
  int preloadListed = 0;
  bool active = false;
  bool registry = false;
  int registryListed = 0;
  uint64_t lateUs = 0;
  uint64_t wakingUs = 0;
  uint64_t framesAskedUs = 0;      // when the first frame was asked, if waking
  uint64_t attributesAskedUs = 0;  // when the first attributes were asked
  std::set<std::string> namedWhileWaking;  // those asked their names
  uint64_t a11yLateUs = 0;
  bool windowless = false;
  bool oneWindow = false;
  bool frontWindow = false;  ///< the Collection search's one ACTIVE window
  bool collection = false;
  int toolkitAsked = 0;
  std::vector<sd_bus*> peers;
};

Fake fake;

// The children of the form's objects.
constexpr const char* kForm[] = {"/o/label", "/o/field", "/o/channel"};

// Answers `call` with an array of `count` entries of `type`, entry i added
// by `append`.
template <class Append>
int replyList(sd_bus_message* call, const char* type, uint32_t count,
              Append append) {
  sd_bus_message* reply = nullptr;
  int r = sd_bus_message_new_method_return(call, &reply);
  if (r >= 0) r = sd_bus_message_open_container(reply, 'a', type);
  for (uint32_t i = 0; r >= 0 && i < count; ++i) r = append(reply, i);
  if (r >= 0) r = sd_bus_message_close_container(reply);
  if (r >= 0) r = sd_bus_send(nullptr, reply, nullptr);
  sd_bus_message_unref(reply);
  return r;
}

// The children of the hidden window and of what it holds, of the sheet, of
// the section and what it holds, of the tool bar's panes and their buttons,
// and of the stack page and its label.
const std::map<std::string, std::vector<const char*>>& hiddenChildren() {
  static const auto* all = new std::map<std::string, std::vector<const char*>>{
      {"/o/hidden", {"/o/editor", "/o/preload"}},
      {"/o/editor", {}},
      {"/o/preload", {"/o/newtab"}},
      {"/o/newtab", {}},
      {"/o/sheet", {"/o/label"}},
      {"/o/notes", {"/o/note"}},
      {"/o/note", {}},
      {"/o/tools", {"/o/pane1", "/o/pane2", "/o/pane3"}},
      {"/o/pane1", {"/o/tool1"}},
      {"/o/pane2", {"/o/tool2"}},
      {"/o/pane3", {"/o/tool3"}},
      {"/o/tool1", {}},
      {"/o/tool2", {}},
      {"/o/tool3", {}},
      {"/o/bar", {"/o/save", "/o/find", "/o/print"}},
      {"/o/save", {}},
      {"/o/find", {}},
      {"/o/print", {}},
      {"/o/page", {"/o/pagetext"}},
      {"/o/pagetext", {}},
      {"/o/qt", {"/o/qtbutton", "/o/qtbar", "/o/qtpane"}},
      {"/o/qtbutton", {}},
      {"/o/qtbar", {"/o/qtitalic"}},
      {"/o/qtitalic", {}},
      {"/o/qtpane", {"/o/qtedit", "/o/qtsend", "/o/qtsecret", "/o/qtlabel"}},
      {"/o/qtsecret", {}},
      {"/o/qtlabel", {}},
      {"/o/qtedit", {}},
      {"/o/qtsend", {}},
      {"/o/para", {"/o/link1", "/o/link2"}},
      {"/o/link1", {}},
      {"/o/link2", {}},
      {"/o/web", {"/o/webpanel"}},
      {"/o/webpanel", {"/o/doc"}},
      {"/o/doc", {"/o/webform"}},
      {"/o/webform", {"/o/webentry", "/o/webgo"}},
      {"/o/webentry", {}},
      {"/o/webgo", {}},
      {"/o/deep", {"/o/deep1"}},
      {"/o/deep1", {"/o/deep2"}},
      {"/o/deep2", {"/o/deep3"}},
      {"/o/deep3", {"/o/deep4"}},
      {"/o/deep4", {"/o/deepedit"}},
      {"/o/deepedit", {}},
      {"/o/calc", {"/o/calcbar", "/o/grid"}},
      {"/o/calcbar", {"/o/namebox"}},
      {"/o/namebox", {}},
      {"/o/grid", {}},
  };
  return *all;
}

// The states of an object, in two words: those of the hidden window say what
// each is, the tool bars, the section, the stack page and what they hold
// are SHOWING and VISIBLE (but print, ENABLED and SENSITIVE only), and so
// is what the Qt window holds, its tool button FOCUSED too and its
// password EDITABLE; so are para and its links, web and deep and what they
// hold, webentry and deepedit EDITABLE and FOCUSED too, and calc and what
// it holds, namebox EDITABLE too, grid MANAGES_DESCENDANTS and FOCUSED too;
// every
// other is EDITABLE, FOCUSED and SHOWING (and ACTIVE when --active asks, to
// GetState).
std::pair<uint32_t, uint32_t> statesOf(const std::string& path) {
  if (path == "/o/hidden") return {0x2000000u, 0u};  // SHOWING
  if (path == "/o/editor") return {0x1080u, 0u};     // EDITABLE, FOCUSED
  if (path == "/o/preload") return {0u, 0u};
  if (path == "/o/newtab") return {0x2001000u, 0u};  // FOCUSED, SHOWING
  if (path == "/o/sheet") return {0x82000000u, 0u};  // MANAGES_DESCENDANTS too
  if (path == "/o/print") return {0x1000100u, 0u};   // ENABLED, SENSITIVE
  // Qt marks a window's tool buttons FOCUSED beside its focus.
  if (path == "/o/qt" || path == "/o/qtpane" || path == "/o/qtbar" ||
      path == "/o/qtitalic" || path == "/o/qtsend" || path == "/o/qtlabel") {
    return {0x42000000u, 0u};  // SHOWING, VISIBLE
  }
  if (path == "/o/qtbutton") return {0x42001000u, 0u};  // FOCUSED too
  if (path == "/o/qtedit") return {0x42001080u, 0u};    // EDITABLE, FOCUSED
  if (path == "/o/qtsecret") return {0x42000080u, 0u};  // EDITABLE
  if (path == "/o/calc" || path == "/o/calcbar") return {0x42000000u, 0u};
  if (path == "/o/namebox") return {0x42000080u, 0u};  // EDITABLE
  if (path == "/o/grid")
    return {0xc2001000u, 0u};  // MANAGES_DESCENDANTS, FOCUSED
  if (path == "/o/webentry" || path == "/o/deepedit") {
    return {0x42001080u, 0u};  // EDITABLE, FOCUSED
  }
  if (path.starts_with("/o/tool") || path.starts_with("/o/pane") ||
      path == "/o/bar" || path == "/o/save" || path.starts_with("/o/note") ||
      path.starts_with("/o/page") || path == "/o/para" || path == "/o/link1" ||
      path == "/o/link2" || path.starts_with("/o/web") || path == "/o/doc" ||
      path.starts_with("/o/deep")) {
    return {0x42000000u, 0u};  // SHOWING, VISIBLE
  }
  return {0x2001080u, 1u};
}

// The parent of an object: the one whose children list it (bar's and the Qt
// window's is the application's root), else window.
std::string parentOf(const std::string& path) {
  if (path == "/o/bar" || path == "/o/qt" || path == "/o/web" ||
      path == "/o/deep" || path == "/o/calc") {
    return kRoot;
  }
  for (const auto& [parent, children] : hiddenChildren()) {
    for (const char* child : children) {
      if (path == child) return parent;
    }
  }
  return "/o/window";
}

// The first `count` of the form's children, or huge's.
int replyChildren(sd_bus_message* call, bool huge, uint32_t count = 3) {
  return replyList(call, "(so)", huge ? kHugeCount : std::min(count, 3u),
                   [huge](sd_bus_message* reply, uint32_t i) {
                     return sd_bus_message_append(reply, "(so)",
                                                  fake.unique.c_str(),
                                                  huge ? "/o/c" : kForm[i]);
                   });
}

// Collection.GetMatches of the rules the client sends (every state asked, or
// any of them, in document order, through the whole subtree, or bar's
// children alone; any other is refused): each of the form's children holds the
// states GetState answers and no other; but below huge, every one of its
// children holds any state asked.
int replyMatches(sd_bus_message* call, bool huge) {
  ++fake.matchesAsked;
  constexpr uint32_t kHeld[] = {0x2001080u, 1u};
  const void* words = nullptr;
  size_t size = 0;
  int32_t all = 0, count = 0;
  uint32_t sort = 0;
  int traverse = 0;
  if (sd_bus_message_enter_container(call, 'r', "aiia{ss}iaiiasib") <= 0 ||
      sd_bus_message_read_array(call, 'i', &words, &size) < 0 ||
      sd_bus_message_read(call, "i", &all) <= 0 ||
      sd_bus_message_skip(call, "a{ss}iaiiasib") < 0 ||
      sd_bus_message_exit_container(call) < 0 ||
      sd_bus_message_read(call, "uib", &sort, &count, &traverse) <= 0) {
    return -EINVAL;
  }
  const auto* asked = static_cast<const uint32_t*>(words);
  const size_t n = size / sizeof(uint32_t);
  // Whether a state set of two words holds every state asked, or any.
  const auto holds = [asked, n](uint32_t first, uint32_t second, bool any) {
    bool every = true;
    bool some = false;
    for (size_t i = 0; i < n; ++i) {
      const uint32_t held = i == 0 ? first : i == 1 ? second : 0u;
      every = every && (asked[i] & ~held) == 0;
      some = some || (asked[i] & held) != 0;
    }
    return any ? some : every;
  };
  // bar's children alone, by every state asked.
  const std::string path = sd_bus_message_get_path(call);
  if (all == 1 && sort == 1 && !traverse && path == "/o/bar") {
    std::vector<const char*> held;
    for (const char* child : hiddenChildren().at(path)) {
      const auto [first, second] = statesOf(child);
      if (holds(first, second, false)) held.push_back(child);
    }
    return replyList(call, "(so)", held.size(),
                     [&held](sd_bus_message* reply, uint32_t i) {
                       return sd_bus_message_append(
                           reply, "(so)", fake.unique.c_str(), held[i]);
                     });
  }
  // The root's windows (the form's objects), by every state asked, ACTIVE
  // among them when --active says.
  if (all == 1 && sort == 1 && !traverse && path == kRoot && fake.collection) {
    const auto [first, second] = statesOf(kForm[0]);
    const bool windows = holds(first | (fake.active ? 2u : 0u), second, false);
    if (windows && fake.frontWindow) {
      return replyList(call, "(so)", 1, [](sd_bus_message* reply, uint32_t) {
        return sd_bus_message_append(reply, "(so)", fake.unique.c_str(),
                                     "/o/window");
      });
    }
    return replyChildren(call, false, windows && !fake.windowless ? 3 : 0);
  }
  if ((all != 1 && all != 2) || sort != 1 || !traverse) {
    return sd_bus_reply_method_errorf(
        call, "org.freedesktop.DBus.Error.InvalidArgs", "another rule");
  }
  if (huge && all == 2) return replyChildren(call, true);
  const bool matched = holds(kHeld[0], kHeld[1], all == 2);
  return replyChildren(call, false, !matched ? 0 : count > 0 ? count : 3);
}

// Cache.GetItems: window, label, field, signup and its children, hidden,
// editor and preload, then huge's children.
int replyCache(sd_bus_message* call) {
  struct Item {
    const char* path;
    const char* parent;
    int32_t index;
    int32_t children;
    bool text;
  };
  static const Item kItems[] = {{"/o/window", kRoot, 0, 3, false},
                                {"/o/label", "/o/window", 0, 0, false},
                                {"/o/field", "/o/window", 1, 0, true},
                                {"/o/signup", kRoot, 1, 6, false},
                                {"/o/name", "/o/signup", 0, 0, true},
                                {"/o/entry", "/o/signup", 1, 0, true},
                                {"/o/secret", "/o/signup", 2, 0, true},
                                {"/o/send", "/o/signup", 3, 0, false},
                                {"/o/terms", "/o/signup", 4, 1, true},
                                {"/o/link", "/o/terms", 0, 0, true},
                                {"/o/hidden", kRoot, 2, 2, false},
                                {"/o/editor", "/o/hidden", 0, 0, true},
                                {"/o/preload", "/o/hidden", 1, 1, false},
                                {"/o/page", "/o/signup", 5, 1, false}};
  constexpr uint32_t kListed = std::size(kItems);
  const char* app = fake.unique.c_str();
  const std::pair<uint32_t, uint32_t> huge = statesOf("/o/c");
  return replyList(
      call, "((so)(so)(so)iiassusau)", kListed + kHugeCount,
      [app, huge](sd_bus_message* reply, uint32_t i) {
        const Item item =
            i < kListed ? kItems[i] : Item{"/o/c", "/o/huge", 0, 0, false};
        const Object object =
            i < kListed ? objects().at(item.path) : Object{0, ""};
        const auto [first, second] = i < kListed ? statesOf(item.path) : huge;
        return sd_bus_message_append(
            reply, "((so)(so)(so)iiassusau)", app, item.path, app, kRoot, app,
            item.parent, item.index, item.children, 2,
            "org.a11y.atspi.Accessible",
            item.text ? "org.a11y.atspi.Text" : "org.a11y.atspi.Component",
            object.name, object.role, "Your address", 2, first, second);
      });
}

// The answer of a well-behaved object, by the AT-SPI interface and member,
// or property, asked.
int answer(sd_bus_message* call, const char* channel) {
  const std::string path = sd_bus_message_get_path(call);
  if (path == "/org/a11y/atspi/cache") return replyCache(call);
  const auto found = objects().find(path);
  if (found == objects().end()) {
    return sd_bus_reply_method_errorf(
        call, "org.freedesktop.DBus.Error.UnknownObject", "no object %s",
        path.c_str());
  }
  const char* interface = sd_bus_message_get_interface(call);
  const char* member = sd_bus_message_get_member(call);
  const char* kProperties = "org.freedesktop.DBus.Properties";
  if (sd_bus_message_is_method_call(call, kProperties, "Get") &&
      sd_bus_message_read(call, "ss", &interface, &member) < 0) {
    return -EINVAL;
  }
  // GetAll of Accessible is "Accessible.*".
  if (sd_bus_message_is_method_call(call, kProperties, "GetAll")) {
    if (sd_bus_message_read(call, "s", &interface) < 0) return -EINVAL;
    member = "*";
  }
  std::string key = std::string(interface ? interface : "") + "." + member;
  if (key.starts_with(kAtspi)) key.erase(0, std::strlen(kAtspi));
  const Object& object = found->second;
  const auto reply = [call](const char* types, auto... values) {
    return sd_bus_reply_method_return(call, types, values...);
  };
  const char* name = path == "/o/channel" ? channel : object.name;
  const std::string asked =
      "text asked " + std::to_string(fake.secretAsked) + " times";
  const std::string listed =
      "children asked " + std::to_string(fake.preloadListed) + " times";
  const std::string matches =
      "matches asked " + std::to_string(fake.matchesAsked) + " times";
  const std::string toolkits =
      "toolkit asked " + std::to_string(fake.toolkitAsked) + " times";
  const char* description = path == "/o/channel"   ? fake.socketAsker.c_str()
                            : path == kRoot        ? toolkits.c_str()
                            : path == "/o/secret"  ? asked.c_str()
                            : path == "/o/preload" ? listed.c_str()
                            : path == "/o/huge"    ? matches.c_str()
                                                   : "Your address";
  if (key == "Accessible.GetRole") return reply("u", object.role);
  // Firefox computes a name asked while it wakes, and the element's
  // attributes then say so before the others come.
  if (fake.wakingUs > 0 &&
      (key == "Accessible.Name" || key == "Accessible.*")) {
    fake.namedWhileWaking.insert(path);
  }
  if (key == "Accessible.Name") return reply("v", "s", name);
  if (key == "Accessible.Description") return reply("v", "s", description);
  if (key == "Accessible.*") {  // as at-spi2-atk's bridge lists them
    return reply("a{sv}", 6, "Name", "s", name, "Description", "s", description,
                 "Locale", "s", "C.UTF-8", "Parent", "(so)",
                 fake.unique.c_str(), parentOf(path).c_str(), "ChildCount", "i",
                 3, "Attributes", "a{ss}", 1, "toolkit", "FakeKit");
  }
  if (key == "Accessible.ChildCount") return reply("v", "i", 3);
  if (key == "Accessible.Parent")
    return reply("v", "(so)", fake.unique.c_str(), parentOf(path).c_str());
  const auto hidden = hiddenChildren().find(path);
  if (hidden != hiddenChildren().end()) {
    if (key == "Accessible.GetChildren") {
      if (path == "/o/preload") ++fake.preloadListed;
      const std::vector<const char*>& children = hidden->second;
      return replyList(call, "(so)", children.size(),
                       [&children](sd_bus_message* reply, uint32_t i) {
                         return sd_bus_message_append(
                             reply, "(so)", fake.unique.c_str(), children[i]);
                       });
    }
  }
  if (key == "Accessible.GetState") {
    const auto [first, second] = statesOf(path);
    const bool active = fake.active && hidden == hiddenChildren().end();
    return reply("au", 2, first | (active ? 2u : 0u), second);
  }
  if (key == "Accessible.GetChildren") {
    const bool none = fake.windowless && path == kRoot;
    const bool one = fake.oneWindow && path == kRoot;
    return replyChildren(call, path == "/o/huge", none ? 0 : one ? 1 : 3);
  }
  // A waking Firefox's data comes some time after it is first asked for.
  const auto since = [](uint64_t& asked) {
    uint64_t now = 0;
    sd_event_now(fake.event, CLOCK_MONOTONIC, &now);
    if (asked == 0) asked = now;
    return now - asked;
  };
  if (fake.wakingUs > 0 && key == "Accessible.GetAttributes" &&
      since(fake.attributesAskedUs) < fake.wakingUs / 2) {
    return fake.namedWhileWaking.count(path) != 0
               ? reply("a{ss}", 1, "explicit-name", "true")
               : reply("a{ss}", 0);
  }
  if (fake.wakingUs > 0 && key == "Component.GetExtents" &&
      since(fake.framesAskedUs) < fake.wakingUs) {
    return reply("(iiii)", -1, -1, -1, -1);
  }
  if (key == "Accessible.GetAttributes") {
    return reply("a{ss}", 2, "placeholder-text", "you@example.org", "toolkit",
                 "FakeKit");
  }
  const bool window = path == "/o/window";  // a selection, table, collection
  if (key == "Accessible.GetChildAtIndex" ||
      (window && key == "Selection.GetSelectedChild")) {
    int32_t i = 0;
    if (sd_bus_message_read(call, "i", &i) < 0) return -EINVAL;
    const int32_t listed = key.starts_with("Selection") ? 2 : 3;
    return reply("(so)", fake.unique.c_str(),
                 i >= 0 && i < listed ? kForm[i] : "/org/a11y/atspi/null");
  }
  if (window && key == "Selection.NSelectedChildren") return reply("v", "i", 2);
  if ((window || path == "/o/grid") && key == "Table.GetAccessibleAt") {
    int32_t row = 0, column = 0;
    if (sd_bus_message_read(call, "ii", &row, &column) < 0) return -EINVAL;
    const std::string cell =
        "/o/cell_" + std::to_string(row) + "_" + std::to_string(column);
    return reply("(so)", fake.unique.c_str(), cell.c_str());
  }
  if ((window || path == "/o/huge" || path == "/o/bar" ||
       (path == kRoot && fake.collection)) &&
      key == "Collection.GetMatches") {
    return replyMatches(call, path == "/o/huge");
  }
  if (key == "Accessible.GetRelationSet")  // labelled by the label
    return reply("a(ua(so))", 1, 2u, 1, fake.unique.c_str(), "/o/label");
  if (key == "Application.GetApplicationBusAddress") {
    fake.socketAsker = sd_bus_message_get_sender(call);
    if (fake.socketMode == "unsupported")
      return sd_bus_reply_method_errorf(call, kUnknownMethod, "no socket");
    return reply("s", fake.ownAddress.c_str());
  }
  if (key == "Application.ToolkitName") {
    ++fake.toolkitAsked;
    return reply("v", "s", "FakeKit");
  }
  if (key == "Application.Version") return reply("v", "s", "1.2.3");
  if (key == "Text.GetText") {
    if (path == "/o/secret") ++fake.secretAsked;
    int32_t start = 0, end = 0;
    if (sd_bus_message_read(call, "ii", &start, &end) < 0) return -EINVAL;
    // The Name Box shows the cursor's address.
    if (path == "/o/namebox") return reply("s", "C2");
    // A paragraph embedding its two links, as a web engine's.
    if (path == "/o/para") return reply("s", "Read \uFFFC and \uFFFC.");
    const std::string text = std::string("ann@example.org").substr(start);
    return reply("s",
                 text.substr(0, end < 0 ? text.size() : end - start).c_str());
  }
  if (key == "Text.CaretOffset") return reply("v", "i", 3);
  if (key == "Text.CharacterCount" && path == "/o/bar") {  // as at-spi2-atk
    return sd_bus_reply_method_errorf(call, "org.freedesktop.DBus.Error.Failed",
                                      "Get failed");
  }
  if (key == "Text.CharacterCount") return reply("v", "i", 15);
  if (key == "Text.GetNSelections") return reply("i", 1);
  if (key == "Text.GetSelection") return reply("ii", 0, 3);
  if (key == "Component.GetExtents") return reply("(iiii)", 10, 20, 300, 40);
  if (key == "Value.CurrentValue") return reply("v", "d", 42.5);
  return sd_bus_reply_method_errorf(call, kUnknownMethod, "no %s", key.c_str());
}

int answerLater(sd_event_source* source, uint64_t, void* data) {
  auto* call = static_cast<sd_bus_message*>(data);
  answer(call, "bus");
  sd_bus_message_unref(call);
  sd_event_source_unref(source);
  return 0;
}

// Calls through the bus, or through the fake's own socket: `data` names
// the channel.
// Whether `call` was sent to the registry's name (none over a socket of the
// application's own).
bool toRegistry(sd_bus_message* call) {
  const char* to = sd_bus_message_get_destination(call);
  return to != nullptr && std::string_view(to) == kRegistry;
}

int handle(sd_bus_message* call, void* data, sd_bus_error*) {
  const auto* channel = static_cast<const char*>(data);
  if (!sd_bus_message_is_method_call(call, nullptr, nullptr)) return 0;
  const char* path = sd_bus_message_get_path(call);
  if (path == nullptr) return 0;
  const std::string where = path;
  // A call handled here and not answered stays unanswered: sd-bus makes up
  // no reply for what a filter handled.
  if (sd_bus_message_is_method_call(call, "org.a11y.Bus", "GetAddress")) {
    const auto reply = [](sd_event_source* source, uint64_t, void* data) {
      auto* asked = static_cast<sd_bus_message*>(data);
      sd_bus_reply_method_return(asked, "s", fake.a11yAnswer.c_str());
      sd_bus_message_unref(asked);
      if (source != nullptr) sd_event_source_unref(source);
      return 0;
    };
    if (fake.a11yAnswer != "silent" && fake.a11yLateUs > 0) {
      sd_event_add_time_relative(fake.event, nullptr, CLOCK_MONOTONIC,
                                 fake.a11yLateUs, 1, reply,
                                 sd_bus_message_ref(call));
    } else if (fake.a11yAnswer != "silent") {
      reply(nullptr, 0, sd_bus_message_ref(call));
    }
  } else if (fake.registry && where == kRoot && toRegistry(call)) {
    if (sd_bus_message_is_method_call(call, nullptr, "GetChildren")) {
      ++fake.registryListed;
      sd_bus_reply_method_return(call, "a(so)", 1, fake.unique.c_str(), kRoot);
    } else {
      const std::string listed =
          "listed " + std::to_string(fake.registryListed);
      sd_bus_reply_method_return(call, "v", "s", listed.c_str());
    }
  } else if (where == "/o/silent") {
    // Never answered.
  } else if (where == "/o/exit") {
    // What was answered before goes out; then the process is gone.
    sd_bus_flush(fake.bus);
    for (sd_bus* peer : fake.peers) sd_bus_flush(peer);
    _exit(0);
  } else if (where == "/o/error") {
    sd_bus_reply_method_errorf(call, "org.a11y.atspi.Error.Failed", "scripted");
  } else if (where == "/o/wrong") {
    // Each answer has a type its caller does not expect.
    if (sd_bus_message_is_method_call(call, nullptr, "Get")) {
      sd_bus_reply_method_return(call, "v", "b", 1);
    } else if (sd_bus_message_is_method_call(call, nullptr, "GetText")) {
      sd_bus_reply_method_return(call, "i", 7);
    } else {
      sd_bus_reply_method_return(call, "s", "wrong");
    }
  } else if (where == "/o/slow" || (where == kRoot && fake.lateUs > 0)) {
    // A late answer comes on time, not within sd-event's default accuracy
    // of a quarter of a second.
    const bool late = where == kRoot;
    sd_event_add_time_relative(fake.event, nullptr, CLOCK_MONOTONIC,
                               late ? fake.lateUs : 150'000, late ? 1 : 0,
                               answerLater, sd_bus_message_ref(call));
  } else {
    answer(call, channel);
  }
  return 1;
}

int onConnection(sd_event_source*, int fd, uint32_t, void*) {
  const int peer = accept4(fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (peer < 0) return 0;
  if (fake.socketMode == "reject") {
    // Closed once the client's handshake has come in: the client has begun,
    // and learns of it while it waits for the answer.
    const auto hangUp = [](sd_event_source* source, int fd, uint32_t, void*) {
      sd_event_source_disable_unref(source);
      close(fd);
      return 0;
    };
    sd_event_source* source = nullptr;
    sd_event_add_io(fake.event, &source, peer, EPOLLIN, hangUp, nullptr);
    return 0;
  }
  sd_bus* bus = nullptr;
  sd_id128_t id;
  if (sd_bus_new(&bus) < 0 || sd_id128_randomize(&id) < 0 ||
      sd_bus_set_fd(bus, peer, peer) < 0 || sd_bus_set_server(bus, 1, id) < 0 ||
      sd_bus_add_filter(bus, nullptr, handle, const_cast<char*>("p2p")) < 0 ||
      sd_bus_start(bus) < 0 || sd_bus_attach_event(bus, fake.event, 0) < 0) {
    std::fprintf(stderr, "fake: cannot serve a connection\n");
    return 0;
  }
  fake.peers.push_back(bus);
  return 0;
}

// sd-bus leaves a message that came in with the end of a client's handshake
// in its buffer until the socket wakes it again, and libdbus (as
// at-spi2-atk's clients do) sends its first call right behind BEGIN: each
// turn of the loop ends with whatever the peers hold read.
int drainPeers(sd_event_source*, void*) {
  for (sd_bus* peer : fake.peers) {
    while (sd_bus_process(peer, nullptr) > 0) {
    }
  }
  return 0;
}

int fail(const char* what, int error) {
  std::fprintf(stderr, "fake: %s: %s\n", what, std::strerror(-error));
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  bool usage = argc < 4;
  for (int i = 4; !usage && i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--active") {
      fake.active = true;
    } else if (option == "--a11y-bus" && i + 1 < argc) {
      fake.a11yAnswer = argv[++i];
    } else if (option == "--a11y-late" && i + 1 < argc) {
      fake.a11yLateUs = std::strtoull(argv[++i], nullptr, 10) * 1000;
    } else if (option == "--windowless") {
      fake.windowless = true;
    } else if (option == "--one-window") {
      fake.oneWindow = true;
    } else if (option == "--front-window") {
      fake.frontWindow = true;
    } else if (option == "--comm" && i + 1 < argc) {
      // The process's name, as /proc/PID/comm tells it.
      prctl(PR_SET_NAME, argv[++i]);
    } else if (option == "--collection") {
      fake.collection = true;
    } else if (option == "--registry") {
      fake.registry = true;
    } else if (option == "--late" && i + 1 < argc) {
      fake.lateUs = std::strtoull(argv[++i], nullptr, 10) * 1000;
    } else if (option == "--waking" && i + 1 < argc) {
      fake.wakingUs = std::strtoull(argv[++i], nullptr, 10) * 1000;
    } else {
      usage = true;
    }
  }
  if (usage) {
    std::fprintf(stderr,
                 "usage: %s BUS_ADDRESS SOCKET FOLDER [--a11y-bus A] "
                 "[--a11y-late MS] [--active] [--collection] [--comm NAME] "
                 "[--front-window] [--late MS] [--one-window] [--registry] "
                 "[--waking MS] [--windowless]\n",
                 argv[0]);
    return 2;
  }
  fake.socketMode = argv[2];
  const std::string folder = argv[3];
  int r = sd_event_new(&fake.event);
  if (r < 0) return fail("event loop", r);
  if (fake.socketMode == "exec") {
    fake.ownAddress =
        "unixexec:path=/usr/bin/touch,argv0=touch,argv1=" + folder +
        "/executed";
  }
  if (fake.socketMode == "serve" || fake.socketMode == "reject" ||
      fake.socketMode == "refuse" || fake.socketMode == "stall") {
    // A socket that refuses connections is bound and not listening.
    const bool serve = fake.socketMode != "refuse";
    const std::string path = folder + "/app-" + std::to_string(getpid());
    sockaddr_un address{AF_UNIX, {}};
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s",
                  path.c_str());
    const int fd =
        socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0 ||
        bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        (serve && listen(fd, 16) != 0)) {
      return fail("own socket", -errno);
    }
    fake.ownAddress = "unix:path=" + path;
    // A stalled socket's connections wait in its backlog, unanswered.
    if (serve && fake.socketMode != "stall" &&
        (r = sd_event_add_io(fake.event, nullptr, fd, EPOLLIN, onConnection,
                             nullptr)) < 0) {
      return fail("own socket", r);
    }
  }
  const char* unique = nullptr;
  if ((r = sd_bus_new(&fake.bus)) < 0 ||
      (r = sd_bus_set_address(fake.bus, argv[1])) < 0 ||
      (r = sd_bus_set_bus_client(fake.bus, 1)) < 0 ||
      (r = sd_bus_add_filter(fake.bus, nullptr, handle,
                             const_cast<char*>("bus"))) < 0 ||
      (r = sd_bus_start(fake.bus)) < 0 ||
      (r = sd_bus_get_unique_name(fake.bus, &unique)) < 0 ||
      (!fake.a11yAnswer.empty() &&
       (r = sd_bus_request_name(fake.bus, "org.a11y.Bus", 0)) < 0) ||
      (fake.registry &&
       (r = sd_bus_request_name(fake.bus, kRegistry, 0)) < 0) ||
      (r = sd_bus_attach_event(fake.bus, fake.event, 0)) < 0) {
    return fail("bus", r);
  }
  if ((r = sd_event_add_post(fake.event, nullptr, drainPeers, nullptr)) < 0) {
    return fail("event loop", r);
  }
  fake.unique = unique;
  std::printf("%s\n", unique);
  std::fflush(stdout);
  return sd_event_loop(fake.event) < 0 ? 1 : 0;
}
