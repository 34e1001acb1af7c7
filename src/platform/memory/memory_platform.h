// An accessibility tree held in memory: loaded from a JSON fixture or built
// in C++. Its platform answers exactly as a live one would, counts the
// attribute reads and keeps the log lines it was given. Each platform holds
// a tree of its own.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "platform/platform.h"

namespace kestreye::memory {

struct Node;

/// A read that fails with this non-zero result code.
struct ErrorCode {
  int32_t code = kAxFailure;
};

/// A read that succeeds without a value.
struct NoValue {};

/// A reference to an element of the tree.
struct NodeRef {
  Node* node = nullptr;
};

/// One attribute value as the tree stores it.
struct Value {
  std::variant<std::string, Number, Point, Size, Range, Rect, NodeRef,
               std::vector<Value>, ErrorCode, NoValue>
      v;

  Value(const char* text) : v(std::string(text)) {}
  Value(std::string text) : v(std::move(text)) {}
  /// A Boolean number object.
  Value(bool flag) : v(Number{Number::Kind::Boolean, flag ? 1 : 0, 0}) {}
  /// An integer number object.
  Value(int number) : v(Number{Number::Kind::Integer, number, 0}) {}
  /// An integer number object.
  Value(int64_t number) : v(Number{Number::Kind::Integer, number, 0}) {}
  /// A floating number object.
  Value(double number) : v(Number{Number::Kind::Real, 0, number}) {}
  Value(Number number) : v(number) {}
  Value(Point point) : v(point) {}
  Value(Size size) : v(size) {}
  Value(Range range) : v(range) {}
  Value(Rect rect) : v(rect) {}
  Value(Node* node) : v(NodeRef{node}) {}
  Value(std::vector<Value> array) : v(std::move(array)) {}
  Value(ErrorCode error) : v(error) {}
  Value(NoValue none) : v(none) {}
};

/// Attribute name and value pairs, in the order given.
using Attributes = std::vector<std::pair<std::string, Value>>;

/// One element of the tree.
struct Node {
  std::string id;
  Attributes attributes;
  Node* parent = nullptr;
  bool listsChildren = false;  ///< the element was given a children list
  std::vector<Node*> children;
  size_t indexInParent =
      0;  ///< place in the parent's children, or in the top-level list
};

/// Largest fixture file that loadFixtureFile accepts: 256 MiB.
inline constexpr size_t MAX_FIXTURE_BYTES = size_t{256} << 20;

/// Lists or replaces one attribute of an element.
void setAttribute(Node* node, std::string_view name, Value value);

/// A platform that answers from a tree of its own.
class MemoryPlatform final : public Platform {
 public:
  MemoryPlatform();
  ~MemoryPlatform() override;
  MemoryPlatform(const MemoryPlatform&) = delete;
  MemoryPlatform& operator=(const MemoryPlatform&) = delete;

  /// Loads a fixture file in place of the current tree; on a fault the tree
  /// is left empty and `error` names the file and the JSON path of the fault.
  bool loadFixtureFile(const std::string& path, std::string* error);
  /// The same for fixture text; `source` names it in messages.
  bool loadFixtureText(std::string_view json, std::string_view source,
                       std::string* error);

  /// Empties the tree and the counters; no element handle may be alive.
  void reset();
  /// Sets the permission answer.
  void setTrusted(bool trusted);
  /// Sets the frontmost application's process id, or none.
  void setFrontmost(std::optional<int32_t> pid);
  /// Makes `node` the application element of `pid`.
  void setApplication(int32_t pid, Node* node);
  /// Adds an element, as the last child of `parent` or at the top level.
  Node* addNode(Attributes attributes, Node* parent = nullptr);
  /// A handle of an element, as the platform hands one out.
  Element elementOf(Node* node);

  /// Attribute reads made since the last reset.
  uint64_t attributeReads() const;
  /// The log lines given since the last reset, in order.
  const std::vector<std::string>& logLines() const;
  /// Element references handed out and not yet released.
  int64_t liveHandles() const;

  /// Counts one more reference.
  void retain(ElementRef ref) override;
  /// Counts one reference less.
  void release(ElementRef ref) override;
  /// Answers from the tree; a password's text never.
  AttributeRead copyAttribute(const Element& element,
                              std::string_view attribute) override;
  /// The permission answer, false past the scan's reads.
  bool isProcessTrusted() override;
  /// The frontmost process id, none past the scan's reads.
  std::optional<int32_t> frontmostProcessId() override;
  /// The application element of `pid`, or an empty handle.
  Element applicationElement(int32_t pid) override;
  /// Keeps the line.
  void logLine(std::string_view line) override;
  /// Reads fail from `readsEnd` on.
  void beginScan(ScanDeadline readsEnd) override;
  /// Reads succeed again.
  void endScan() override;

 private:
  struct Store;

  Element handleOf(Node* node);
  RawValue toRaw(const Value& value);
  AttributeRead answer(const Value& value);
  bool late() const;

  std::unique_ptr<Store> store_;
  ScanDeadline readsEnd_ = ScanDeadline::max();
};

/// A platform with an empty tree.
std::unique_ptr<MemoryPlatform> makePlatform();

}  // namespace kestreye::memory
