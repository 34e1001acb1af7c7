#include "platform/memory/memory_platform.h"

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>

namespace kestreye::memory {
namespace {

struct Store {
  bool trusted = true;
  std::optional<int32_t> frontmost;
  std::map<int32_t, Node*> applications;
  std::vector<std::unique_ptr<Node>> nodes;
  uint64_t reads = 0;
  int64_t live = 0;
  std::vector<std::string> logs;
};

Store& store() {
  static Store instance;
  return instance;
}

const Value* listed(const Node& node, std::string_view name) {
  for (const auto& [key, value] : node.attributes) {
    if (key == name) return &value;
  }
  return nullptr;
}

Element handleOf(Node* node) {
  ++store().live;
  return Element::adopt(node);
}

RawValue toRaw(const Value& value) {
  return std::visit(
      [](const auto& held) -> RawValue {
        using T = std::decay_t<decltype(held)>;
        if constexpr (std::is_same_v<T, NodeRef>) {
          return RawValue{handleOf(held.node)};
        } else if constexpr (std::is_same_v<T, std::vector<Value>>) {
          RawArray array;
          array.reserve(held.size());
          for (const Value& entry : held) array.push_back(toRaw(entry));
          return RawValue{std::move(array)};
        } else if constexpr (std::is_same_v<T, ErrorCode> ||
                             std::is_same_v<T, NoValue>) {
          return RawValue{};  // never reached: answered before conversion
        } else {
          return RawValue{held};
        }
      },
      value.v);
}

AttributeRead answer(const Value& value) {
  if (const auto* error = std::get_if<ErrorCode>(&value.v)) {
    return {error->code, std::nullopt};
  }
  if (std::holds_alternative<NoValue>(value.v))
    return {kAxSuccess, std::nullopt};
  return {kAxSuccess, toRaw(value)};
}

bool isSecure(const Node& node) {
  const Value* subrole = listed(node, "AXSubrole");
  if (subrole == nullptr) return false;
  const auto* text = std::get_if<std::string>(&subrole->v);
  return text != nullptr && *text == SECURE_SUBROLE;
}

class MemoryPlatform final : public Platform {
 public:
  void retain(ElementRef) override { ++store().live; }

  void release(ElementRef) override { --store().live; }

  AttributeRead copyAttribute(const Element& element,
                              std::string_view attribute) override {
    ++store().reads;
    if (element.empty()) return {kAxInvalidElement, std::nullopt};
    if (late()) return {kAxCannotComplete, std::nullopt};
    const Node& node = *static_cast<const Node*>(element.ref());
    // A password's text never leaves the platform, whatever the tree lists.
    if ((attribute == "AXValue" || attribute == "AXSelectedText") &&
        isSecure(node)) {
      return {kAxAttributeUnsupported, std::nullopt};
    }
    if (const Value* value = listed(node, attribute)) return answer(*value);
    if (attribute == "AXChildren" && node.listsChildren) {
      RawArray children;
      children.reserve(node.children.size());
      for (Node* child : node.children)
        children.push_back(RawValue{handleOf(child)});
      return {kAxSuccess, RawValue{std::move(children)}};
    }
    if (attribute == "AXParent" && node.parent != nullptr) {
      return {kAxSuccess, RawValue{handleOf(node.parent)}};
    }
    return {kAxAttributeUnsupported, std::nullopt};
  }

  // A scan past its deadline finds nothing more, as on a desktop whose
  // service stopped answering.
  bool isProcessTrusted() override { return store().trusted && !late(); }

  std::optional<int32_t> frontmostProcessId() override {
    if (late()) return std::nullopt;
    return store().frontmost;
  }

  Element applicationElement(int32_t pid) override {
    const auto found = store().applications.find(pid);
    // An unknown process gets an element whose every read fails.
    if (found == store().applications.end()) return Element();
    return handleOf(found->second);
  }

  void logLine(std::string_view line) override {
    store().logs.emplace_back(line);
  }

  void beginScan(ScanDeadline readsEnd) override { readsEnd_ = readsEnd; }
  void endScan() override { readsEnd_ = ScanDeadline::max(); }

 private:
  bool late() const { return std::chrono::steady_clock::now() >= readsEnd_; }

  ScanDeadline readsEnd_ = ScanDeadline::max();
};

}  // namespace

void reset() { store() = Store{}; }

void setTrusted(bool trusted) { store().trusted = trusted; }

void setFrontmost(std::optional<int32_t> pid) { store().frontmost = pid; }

void setApplication(int32_t pid, Node* node) {
  store().applications[pid] = node;
}

Node* addNode(Attributes attributes, Node* parent) {
  auto node = std::make_unique<Node>();
  node->attributes = std::move(attributes);
  node->parent = parent;
  if (parent != nullptr) {
    parent->listsChildren = true;
    node->indexInParent = parent->children.size();
    parent->children.push_back(node.get());
  }
  store().nodes.push_back(std::move(node));
  return store().nodes.back().get();
}

void setAttribute(Node* node, std::string_view name, Value value) {
  for (auto& [key, existing] : node->attributes) {
    if (key == name) {
      existing = std::move(value);
      return;
    }
  }
  node->attributes.emplace_back(std::string(name), std::move(value));
}

Element elementOf(Node* node) { return handleOf(node); }

uint64_t attributeReads() { return store().reads; }

const std::vector<std::string>& logLines() { return store().logs; }

int64_t liveHandles() { return store().live; }

std::unique_ptr<Platform> makePlatform() {
  return std::make_unique<MemoryPlatform>();
}

}  // namespace kestreye::memory
