// A client of the AT-SPI interfaces over D-Bus (libdbus), for the reads of one
// scan: typed calls sent in batches, each bounded by the time the scan has
// left, with each application's own socket where it offers one. libdbus stays
// inside this folder: this header names none of its types.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace kestreye::atspi::bus {

using Clock = std::chrono::steady_clock;
/// When a scan's reads end: no call is sent after it, none waited for.
using Deadline = Clock::time_point;

/// An element: its application's unique name on the accessibility bus and
/// its object path there.
struct ObjectRef {
  std::string bus;
  std::string path;
  bool operator==(const ObjectRef&) const = default;
};

/// The object on which every application answers its Application interface.
inline constexpr const char* ROOT_PATH = "/org/a11y/atspi/accessible/root";
/// Most children read from one list: a walk examines no more elements than
/// this in all, so a longer list (Calc's sheet claims 2^31 - 1) is cut here.
inline constexpr size_t MAX_LISTED_CHILDREN = 50000;
/// Most entries read from any other list an application sends (attributes,
/// relations, the targets of one relation, the words of a state set).
inline constexpr size_t MAX_LISTED_ENTRIES = 1000;
/// Most calls awaiting their answers on one connection; the rest of a batch
/// goes out as answers come in. dbus-daemon refuses more than
/// max_replies_per_connection pending calls from one client: 128 unless its
/// configuration says otherwise (the accessibility bus's says 50,000).
inline constexpr size_t MAX_CALLS_IN_FLIGHT = 128;
/// The longest a call may take unless the batch says otherwise: the limit
/// the platform has always given one call.
inline constexpr std::chrono::milliseconds DEFAULT_CALL_LIMIT{500};

/// How a call ended.
enum class CallStatus {
  Ok,        ///< answered, and the answer read
  NotSent,   ///< never sent: its application hung earlier in this scan,
             ///< or the scan's time was up
  TimedOut,  ///< no answer within the call's limit; its application now
             ///< counts as hung for the rest of the scan
  Gone,      ///< the application left the bus, or closed its socket, first
  NoBus,     ///< no accessibility bus could be reached
  Error,     ///< the application answered with an error (see Reply::error)
  BadReply,  ///< the answer was not of the type asked for
};

/// The name of a status, for logs and test failures.
const char* statusName(CallStatus status);

/// The outcome of one call: a value only when the status is Ok.
template <class T>
struct Reply {
  CallStatus status = CallStatus::NotSent;
  std::optional<T> value;
  /// The D-Bus error name (Error, Gone, NoBus), the signature received
  /// (BadReply), or why the call could not be made.
  std::string error;
  /// Whether the call was answered and read.
  bool ok() const { return status == CallStatus::Ok; }
};

/// A list of children, cut at MAX_LISTED_CHILDREN.
struct Children {
  std::vector<ObjectRef> refs;
  bool truncated = false;  ///< the application listed more than were read
};
/// One relation of an element: its AT-SPI type and its targets.
struct Relation {
  uint32_t type = 0;
  std::vector<ObjectRef> targets;
  bool operator==(const Relation&) const = default;
};
/// One element of an application's cache snapshot (Cache.GetItems).
struct CacheItem {
  ObjectRef ref;
  ObjectRef parent;
  int32_t index = -1;       ///< its place among its parent's children
  int32_t childCount = -1;  ///< how many children it claims
  bool text = false;        ///< it has a Text interface
  std::string name;
  uint32_t role = 0;
  std::string description;
  std::vector<uint32_t> states;
};
/// An element's name and description, as one call of Properties.GetAll
/// answers them.
struct Labels {
  std::string name;
  std::string description;
  bool operator==(const Labels&) const = default;
};
/// Object attributes in the order the application sent them.
using Attributes = std::vector<std::pair<std::string, std::string>>;
/// A text selection, in the toolkit's own offsets.
struct TextRange {
  int32_t start = 0;
  int32_t end = 0;
};
/// A rectangle of Component.GetExtents.
struct Extents {
  int32_t x = 0;
  int32_t y = 0;
  int32_t width = 0;
  int32_t height = 0;
};
/// The coordinates GetExtents is asked in (ATSPI_COORD_TYPE_*).
enum class CoordType : uint32_t { Screen = 0, Window = 1, Parent = 2 };

/// Where a client finds the accessibility bus, and how long a call may take.
struct ClientOptions {
  std::string accessibilityBusAddress;  ///< AT_SPI_BUS_ADDRESS, or ""
  std::string sessionBusAddress;        ///< DBUS_SESSION_BUS_ADDRESS, or ""
  std::chrono::milliseconds callLimit = DEFAULT_CALL_LIMIT;
  /// The addresses this process's environment names.
  static ClientOptions fromEnvironment();
};

class Batch;

class Connection;

/// The session bus's question for the accessibility bus's address
/// (org.a11y.Bus.GetAddress), sent at once and answered while something else
/// goes on: a client's batches wait on its connection too
/// (Client::hearAlso).
class AddressQuestion {
 public:
  /// Sent to the session bus at `session`; null when that bus cannot be
  /// reached (no socket there, or an address that would start a program).
  static std::unique_ptr<AddressQuestion> ask(const std::string& session);
  ~AddressQuestion();
  AddressQuestion(const AddressQuestion&) = delete;
  AddressQuestion& operator=(const AddressQuestion&) = delete;

  /// Whether it has been answered, or can be no longer.
  bool settled() const;
  /// The address answered so far; none before, or for an error.
  std::optional<std::string> address();
  /// Waits until it is settled or `deadline` has come: the address.
  std::optional<std::string> wait(Deadline deadline);
  Connection& connection() const { return *connection_; }

 private:
  struct Pending;
  AddressQuestion(std::unique_ptr<Connection> connection,
                  std::unique_ptr<Pending> pending);
  std::unique_ptr<Connection> connection_;
  std::unique_ptr<Pending> pending_;
};

/// The socket at-spi-bus-launcher puts a session's accessibility bus at:
/// "RUNTIME/at-spi/bus" followed by the session's DISPLAY, the first ':' in
/// it made '_' ("bus_0" for ":0", "bus" without a display). None without a
/// runtime folder, or for a path too long for a socket.
std::optional<std::string> launcherSocketPath(std::string_view runtimeFolder,
                                              std::string_view display);
/// The address of the Unix socket at `path`.
std::string socketAddress(const std::string& path);
/// Whether a client given `address` connects to the Unix socket at `path`:
/// its first entry names that path.
bool addressNamesSocket(const std::string& address, const std::string& path);

/// The connections to the accessibility bus and to the applications' own
/// sockets, and what the current scan learned about the applications (hung,
/// gone). Nothing is connected until a batch sends its first call; nothing
/// outlives the client.
class Client {
 public:
  explicit Client(ClientOptions options);
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  /// Connects to the accessibility bus now, and waits until it has
  /// answered the handshake (authentication and Hello) or `deadline` has
  /// come: whether it answered. A bus that accepts the connection and never
  /// answers is given up, and looked for again by the next scan.
  bool open(Deadline deadline);
  /// Starts a new scan: applications that hung or left in the last one are
  /// asked again. The connections stay open.
  void beginScan();
  /// How many calls this client has sent, over every connection.
  uint64_t callsSent() const;
  /// How many batches holding a call this client has run: the round trips
  /// a scan waited for.
  uint64_t batchesRun() const;
  /// How many writes to its sockets the calls took: a batch's calls to one
  /// application go out together.
  uint64_t writesMade() const;
  /// Whether any connection is open.
  bool connected() const;
  /// Whether the application let a call run out its limit in this scan.
  bool hung(const std::string& app) const;
  /// Whether the application has its own socket open to this client.
  bool usesOwnSocket(const std::string& app) const;
  /// Waits on `question`'s connection too while a batch runs, so that its
  /// answer comes in meanwhile; none with null.
  void hearAlso(AddressQuestion* question);
  /// Calls to `app` go through its own socket at the address `find` gives
  /// (as the application would give it), asked when the first call to `app`
  /// is routed; through the bus when that is "" or the socket refuses.
  /// `app` is never asked for its socket, unless `askIfNotFound` and `find`
  /// finds none: then it is asked from a connection that leaves the bus at
  /// once (setAskerLeaves). Nothing changes for an application whose route
  /// is known already.
  void setOwnSocket(const std::string& app, std::function<std::string()> find,
                    bool askIfNotFound = false);

  struct State;

 private:
  friend class Batch;

  std::unique_ptr<State> state_;
};

/// Names the reply of one call of a batch.
template <class T>
struct Ticket {
  size_t index = 0;
};

/// Calls to send together: every call (up to MAX_CALLS_IN_FLIGHT on one
/// connection) is sent before any answer is read, and run() returns when
/// each is answered or has run out its own limit (the batch's deadline,
/// clamped by the per-call limit). One call that is never answered costs
/// only its own limit.
class Batch {
 public:
  /// An empty batch whose calls end by `deadline` at the latest; `client`
  /// must outlive it.
  Batch(Client& client, Deadline deadline);
  ~Batch();
  Batch(const Batch&) = delete;
  Batch& operator=(const Batch&) = delete;

  /// The limit of each call added from now on (before the deadline clamps
  /// it); the client's by default.
  void setCallLimit(std::chrono::milliseconds limit) { callLimit_ = limit; }
  /// Sends the calls added from now on through the bus daemon, even to an
  /// application with its own socket: a question to every application at
  /// once does not wait for each one's socket first.
  void setViaBus(bool viaBus) { viaBus_ = viaBus; }
  /// Sends the calls that go through the bus daemon from a connection of
  /// their own, which leaves the bus once they are answered: run() returns
  /// when the daemon has seen it leave, so that the news reaches each
  /// application before any call sent after. at-spi2-atk takes whoever asks
  /// for its socket through the bus for a client of its bridge, and stops
  /// its listeners when the last client leaves; Chromium crashes if that
  /// happens while it hands a key press to the bridge, which a scan that
  /// ends just before the user types would cause.
  void setAskerLeaves(bool leaves) { askerLeaves_ = leaves; }

  /// Accessible.GetRole: the AT-SPI role number.
  Ticket<uint32_t> role(const ObjectRef& target);
  /// Accessible's Name property.
  Ticket<std::string> name(const ObjectRef& target);
  /// Accessible's Description property.
  Ticket<std::string> description(const ObjectRef& target);
  /// Properties.GetAll of Accessible: Name and Description in one call
  /// (the application computes its other properties too). Only for
  /// at-spi2-atk's bridge: Qt's drops its bus connection when asked.
  Ticket<Labels> labels(const ObjectRef& target);
  /// Accessible.GetState: the state set's words (bit N of word N / 32).
  Ticket<std::vector<uint32_t>> states(const ObjectRef& target);
  /// Accessible.GetChildren: the whole list in one call.
  Ticket<Children> children(const ObjectRef& target);
  /// Accessible.GetChildAtIndex: the child at `index`.
  Ticket<ObjectRef> childAt(const ObjectRef& target, int32_t index);
  /// Accessible's ChildCount property.
  Ticket<int32_t> childCount(const ObjectRef& target);
  /// Accessible.GetAttributes.
  Ticket<Attributes> attributes(const ObjectRef& target);
  /// Accessible.GetRelationSet.
  Ticket<std::vector<Relation>> relations(const ObjectRef& target);
  /// Accessible's Parent property.
  Ticket<ObjectRef> parent(const ObjectRef& target);
  /// Application.GetApplicationBusAddress of the application `app`, asked
  /// over the bus: the address of its own socket, or "".
  Ticket<std::string> applicationBusAddress(const std::string& app);
  /// Application's ToolkitName property.
  Ticket<std::string> toolkitName(const std::string& app);
  /// Application's Version property (the toolkit's version).
  Ticket<std::string> toolkitVersion(const std::string& app);
  /// Text.GetText from `start` to `end` (-1: the end); a text to its end
  /// has twice the call limit, as has what the batch asks of its
  /// application after it.
  Ticket<std::string> text(const ObjectRef& target, int32_t start, int32_t end);
  /// Text's CaretOffset property.
  Ticket<int32_t> caretOffset(const ObjectRef& target);
  /// Text.GetNSelections.
  Ticket<int32_t> selectionCount(const ObjectRef& target);
  /// Text.GetSelection of the selection at `index`.
  Ticket<TextRange> selection(const ObjectRef& target, int32_t index);
  /// Text's CharacterCount property.
  Ticket<int32_t> characterCount(const ObjectRef& target);
  /// Component.GetExtents.
  Ticket<Extents> extents(const ObjectRef& target,
                          CoordType coords = CoordType::Screen);
  /// Value's CurrentValue property.
  Ticket<double> currentValue(const ObjectRef& target);
  /// Selection's NSelectedChildren property.
  Ticket<int32_t> selectedChildCount(const ObjectRef& target);
  /// Selection.GetSelectedChild of the selected child at `index`.
  Ticket<ObjectRef> selectedChild(const ObjectRef& target, int32_t index);
  /// Table.GetAccessibleAt: the cell at `row` and `column`.
  Ticket<ObjectRef> cellAt(const ObjectRef& target, int32_t row,
                           int32_t column);
  /// Collection.GetMatches over the whole subtree of `target` (its children
  /// only, unless `wholeSubtree`), in document order: at most `count`
  /// elements (0: all) whose state set holds every state of `states` (words
  /// as GetState sends them), or any of them when `any`.
  Ticket<Children> matchingStates(const ObjectRef& target,
                                  std::vector<uint32_t> states, int32_t count,
                                  bool any = false, bool wholeSubtree = true);
  /// Cache.GetItems of the application `app`: its snapshot of the elements
  /// it has made, cut at MAX_LISTED_CHILDREN.
  Ticket<std::vector<CacheItem>> cacheItems(const std::string& app);
  /// The process id of the connection `app`, asked of the bus daemon.
  Ticket<uint32_t> processId(const std::string& app);

  /// Sends every call not yet sent and waits for their answers.
  void run() { run(nullptr); }
  /// As run(), but stops waiting once `stopAt`, asked after each round of
  /// answers, names a time that has come: the calls still unanswered then
  /// end NotSent, and their applications do not count as hung.
  void run(const std::function<std::optional<Deadline>()>& stopAt);

  /// How many calls were answered and read.
  size_t answered() const;

  /// The reply of a call; NotSent until run() has run.
  template <class T>
  Reply<T>& operator[](Ticket<T> ticket) {
    return std::get<Reply<T>>(replies_[ticket.index]);
  }

  /// Any reply this batch can hold.
  using AnyReply = std::variant<
      Reply<uint32_t>, Reply<int32_t>, Reply<double>, Reply<std::string>,
      Reply<std::vector<uint32_t>>, Reply<Children>, Reply<Attributes>,
      Reply<std::vector<Relation>>, Reply<ObjectRef>, Reply<TextRange>,
      Reply<Extents>, Reply<std::vector<CacheItem>>, Reply<Labels>>;
  struct Call;

 private:
  template <class T>
  Ticket<T> add(std::unique_ptr<Call> call);
  /// Learns how to reach each of `apps`: asks each for its own socket, and
  /// connects to those offered.
  void findRoutes(const std::vector<std::string>& apps);

  Client& client_;
  Deadline deadline_;
  std::chrono::milliseconds callLimit_;
  bool viaBus_ = false;
  bool askerLeaves_ = false;
  /// Applications asked for a whole text in this batch: what is asked of
  /// them after it waits behind that answer, and has twice the limit too.
  std::vector<std::string> longAnswers_;
  std::vector<std::unique_ptr<Call>> calls_;
  std::vector<AnyReply> replies_;
};

}  // namespace kestreye::atspi::bus
