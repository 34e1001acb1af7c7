#include "platform/memory/memory_platform.h"

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>

namespace kestreye::memory {

struct MemoryPlatform::Store {
  bool trusted = true;
  std::optional<int32_t> frontmost;
  std::map<int32_t, Node*> applications;
  std::vector<std::unique_ptr<Node>> nodes;
  uint64_t reads = 0;
  int64_t live = 0;
  std::vector<std::string> logs;
};

namespace {

const Value* listed(const Node& node, std::string_view name) {
  for (const auto& [key, value] : node.attributes) {
    if (key == name) return &value;
  }
  return nullptr;
}

bool isSecure(const Node& node) {
  const Value* subrole = listed(node, "AXSubrole");
  if (subrole == nullptr) return false;
  const auto* text = std::get_if<std::string>(&subrole->v);
  return text != nullptr && *text == SECURE_SUBROLE;
}

}  // namespace

MemoryPlatform::MemoryPlatform() : store_(std::make_unique<Store>()) {}

MemoryPlatform::~MemoryPlatform() = default;

Element MemoryPlatform::handleOf(Node* node) {
  ++store_->live;
  return Element::adopt(node);
}

RawValue MemoryPlatform::toRaw(const Value& value) {
  return std::visit(
      [this](const auto& held) -> RawValue {
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

AttributeRead MemoryPlatform::answer(const Value& value) {
  if (const auto* error = std::get_if<ErrorCode>(&value.v)) {
    return {error->code, std::nullopt};
  }
  if (std::holds_alternative<NoValue>(value.v))
    return {kAxSuccess, std::nullopt};
  return {kAxSuccess, toRaw(value)};
}

void MemoryPlatform::retain(ElementRef) { ++store_->live; }

void MemoryPlatform::release(ElementRef) { --store_->live; }

AttributeRead MemoryPlatform::copyAttribute(const Element& element,
                                            std::string_view attribute) {
  ++store_->reads;
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

// A scan past its deadline finds nothing more, as on a desktop whose service
// stopped answering.
bool MemoryPlatform::isProcessTrusted() { return store_->trusted && !late(); }

std::optional<int32_t> MemoryPlatform::frontmostProcessId() {
  if (late()) return std::nullopt;
  return store_->frontmost;
}

Element MemoryPlatform::applicationElement(int32_t pid) {
  const auto found = store_->applications.find(pid);
  // An unknown process gets an element whose every read fails.
  if (found == store_->applications.end()) return Element();
  return handleOf(found->second);
}

void MemoryPlatform::logLine(std::string_view line) {
  store_->logs.emplace_back(line);
}

void MemoryPlatform::beginScan(ScanDeadline readsEnd) { readsEnd_ = readsEnd; }

void MemoryPlatform::endScan() { readsEnd_ = ScanDeadline::max(); }

bool MemoryPlatform::late() const {
  return std::chrono::steady_clock::now() >= readsEnd_;
}

void MemoryPlatform::reset() { *store_ = Store{}; }

void MemoryPlatform::setTrusted(bool trusted) { store_->trusted = trusted; }

void MemoryPlatform::setFrontmost(std::optional<int32_t> pid) {
  store_->frontmost = pid;
}

void MemoryPlatform::setApplication(int32_t pid, Node* node) {
  store_->applications[pid] = node;
}

Node* MemoryPlatform::addNode(Attributes attributes, Node* parent) {
  auto node = std::make_unique<Node>();
  node->attributes = std::move(attributes);
  node->parent = parent;
  if (parent != nullptr) {
    parent->listsChildren = true;
    node->indexInParent = parent->children.size();
    parent->children.push_back(node.get());
  }
  store_->nodes.push_back(std::move(node));
  return store_->nodes.back().get();
}

Element MemoryPlatform::elementOf(Node* node) { return handleOf(node); }

uint64_t MemoryPlatform::attributeReads() const { return store_->reads; }

const std::vector<std::string>& MemoryPlatform::logLines() const {
  return store_->logs;
}

int64_t MemoryPlatform::liveHandles() const { return store_->live; }

void setAttribute(Node* node, std::string_view name, Value value) {
  for (auto& [key, existing] : node->attributes) {
    if (key == name) {
      existing = std::move(value);
      return;
    }
  }
  node->attributes.emplace_back(std::string(name), std::move(value));
}

std::unique_ptr<MemoryPlatform> makePlatform() {
  return std::make_unique<MemoryPlatform>();
}

}  // namespace kestreye::memory
