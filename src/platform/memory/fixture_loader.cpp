// Reads the JSON fixture format into the memory tree. A faulty file is
// rejected whole, with the JSON path of the first fault.
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <memory>
#include <new>
#include <nlohmann/json.hpp>

#include "platform/memory/memory_platform.h"

namespace kestreye::memory {
namespace {

using Json = nlohmann::json;

// Arrays nested in attribute values are converted recursively; this bound
// keeps a hostile file from exhausting the stack.
constexpr int kMaxValueNesting = 256;

std::string escapePointer(std::string_view token) {
  std::string out;
  for (const char c : token) {
    if (c == '~') {
      out += "~0";
    } else if (c == '/') {
      out += "~1";
    } else {
      out += c;
    }
  }
  return out;
}

// The JSON path of an element, rebuilt from its ancestors only when a fault
// is reported, so deep trees do not pay for paths they never print.
std::string elementPath(const Node* node) {
  std::vector<const Node*> chain;
  for (const Node* at = node; at != nullptr; at = at->parent)
    chain.push_back(at);
  std::string path = "/elements";
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    if (it != chain.rbegin()) path += "/children";
    path += '/';
    path += std::to_string((*it)->indexInParent);
  }
  return path;
}

class Loader {
 public:
  Loader(MemoryPlatform& tree, std::string* error)
      : tree_(tree), error_(error) {}

  bool load(const Json& root) {
    if (!root.is_object()) return fail("", "the top level must be an object");
    for (const auto& [key, value] : root.items()) {
      if (key != "about" && key != "trusted" && key != "frontmost" &&
          key != "applications" && key != "elements") {
        return fail("/" + escapePointer(key), "unknown member");
      }
    }
    // What the case proves, for its reader; the platform never answers it.
    if (root.contains("about") && !root["about"].is_string()) {
      return fail("/about", "must be a string");
    }
    if (root.contains("trusted")) {
      if (!root["trusted"].is_boolean()) {
        return fail("/trusted", "must be true or false");
      }
      tree_.setTrusted(root["trusted"].get<bool>());
    }
    if (root.contains("frontmost") && !root["frontmost"].is_null()) {
      const auto pid = processId(root["frontmost"]);
      if (!pid) return fail("/frontmost", "must be a process id or null");
      tree_.setFrontmost(*pid);
    }
    if (root.contains("elements") && !readElements(root["elements"])) {
      return false;
    }
    for (const auto& pending : pending_) {
      for (const auto& [name, value] : pending.json->items()) {
        // The path below the element is built as the value is read; the
        // element's own path only when there is a fault to report.
        auto converted =
            convertValue(value, "/attributes/" + escapePointer(name), 0);
        if (!converted) {
          *error_ = elementPath(pending.node) + *error_;
          return false;
        }
        setAttribute(pending.node, name, std::move(*converted));
      }
    }
    if (root.contains("applications"))
      return readApplications(root["applications"]);
    return true;
  }

 private:
  struct Pending {
    Node* node;
    const Json* json;  // the element's "attributes" object
  };

  bool fail(const std::string& path, const std::string& what) {
    *error_ = (path.empty() ? std::string("/") : path) + ": " + what;
    return false;
  }

  static std::optional<int32_t> processId(const Json& value) {
    if (!value.is_number_integer()) return std::nullopt;
    const auto number = value.get<int64_t>();
    if (value.is_number_unsigned() &&
        value.get<uint64_t>() > static_cast<uint64_t>(INT32_MAX)) {
      return std::nullopt;
    }
    if (number < INT32_MIN || number > INT32_MAX) return std::nullopt;
    return static_cast<int32_t>(number);
  }

  // Walks the element trees with an explicit stack: a fixture may nest
  // elements far deeper than the call stack could follow.
  bool readElements(const Json& elements) {
    if (!elements.is_array()) return fail("/elements", "must be an array");
    struct Work {
      const Json* json;
      Node* parent;
      size_t index;
    };
    std::vector<Work> stack;
    for (size_t i = elements.size(); i-- > 0;) {
      stack.push_back({&elements[i], nullptr, i});
    }
    while (!stack.empty()) {
      const Work work = stack.back();
      stack.pop_back();
      Node* node = tree_.addNode({}, work.parent);
      node->indexInParent = work.index;
      const Json& json = *work.json;
      if (!json.is_object())
        return fail(elementPath(node), "an element must be an object");
      for (const auto& [key, value] : json.items()) {
        if (key != "id" && key != "attributes" && key != "children") {
          return fail(elementPath(node) + "/" + escapePointer(key),
                      "unknown member");
        }
      }
      if (json.contains("id")) {
        if (!json["id"].is_string())
          return fail(elementPath(node) + "/id", "must be a string");
        node->id = json["id"].get<std::string>();
        if (!ids_.emplace(node->id, node).second) {
          return fail(elementPath(node) + "/id",
                      "repeats the id \"" + node->id + "\"");
        }
      }
      if (json.contains("attributes")) {
        if (!json["attributes"].is_object()) {
          return fail(elementPath(node) + "/attributes", "must be an object");
        }
        pending_.push_back({node, &json["attributes"]});
      }
      if (json.contains("children")) {
        const Json& children = json["children"];
        if (!children.is_array()) {
          return fail(elementPath(node) + "/children", "must be an array");
        }
        node->listsChildren = true;
        // Each child is created when it is popped, in document order, so the
        // parent's list is filled in the order the file gives.
        for (size_t i = children.size(); i-- > 0;) {
          stack.push_back({&children[i], node, i});
        }
      }
    }
    return true;
  }

  bool readApplications(const Json& applications) {
    if (!applications.is_object())
      return fail("/applications", "must be an object");
    for (const auto& [key, value] : applications.items()) {
      const std::string where = "/applications/" + escapePointer(key);
      int64_t pid = 0;
      bool digits = !key.empty() && key.size() <= 11;
      for (size_t i = 0; digits && i < key.size(); ++i) {
        if (i == 0 && key[i] == '-' && key.size() > 1) continue;
        digits = key[i] >= '0' && key[i] <= '9';
      }
      if (digits) pid = std::stoll(key);
      if (!digits || pid < INT32_MIN || pid > INT32_MAX) {
        return fail(where, "the member name must be a decimal process id");
      }
      if (!value.is_string()) return fail(where, "must be an element id");
      const auto found = ids_.find(value.get<std::string>());
      if (found == ids_.end()) {
        return fail(where, "refers to the unknown id \"" +
                               value.get<std::string>() + "\"");
      }
      tree_.setApplication(static_cast<int32_t>(pid), found->second);
    }
    return true;
  }

  std::optional<double> real(const Json& value) {
    if (value.is_number()) return value.get<double>();
    if (value.is_string()) {
      const auto text = value.get<std::string>();
      if (text == "nan") return std::numeric_limits<double>::quiet_NaN();
      if (text == "inf") return std::numeric_limits<double>::infinity();
      if (text == "-inf") return -std::numeric_limits<double>::infinity();
    }
    return std::nullopt;
  }

  static std::optional<int64_t> integer(const Json& value) {
    if (value.is_number_unsigned()) {
      if (value.get<uint64_t>() > static_cast<uint64_t>(INT64_MAX))
        return std::nullopt;
      return static_cast<int64_t>(value.get<uint64_t>());
    }
    if (value.is_number_integer()) return value.get<int64_t>();
    return std::nullopt;
  }

  // Reads an array of exactly `count` floating members.
  bool reals(const Json& value, size_t count, const std::string& where,
             double* out) {
    if (!value.is_array() || value.size() != count) {
      return fail(where,
                  "must be an array of " + std::to_string(count) + " numbers");
    }
    for (size_t i = 0; i < count; ++i) {
      const auto member = real(value[i]);
      if (!member)
        return fail(where + "/" + std::to_string(i), "must be a number");
      out[i] = *member;
    }
    return true;
  }

  Node* element(const Json& id, const std::string& where) {
    if (!id.is_string()) {
      fail(where, "must be an element id");
      return nullptr;
    }
    const auto found = ids_.find(id.get<std::string>());
    if (found == ids_.end()) {
      fail(where, "refers to the unknown id \"" + id.get<std::string>() + "\"");
      return nullptr;
    }
    return found->second;
  }

  std::optional<Value> convertValue(const Json& json, const std::string& where,
                                    int depth) {
    if (json.is_string()) return Value(json.get<std::string>());
    if (json.is_boolean()) return Value(json.get<bool>());
    if (!json.is_object() || json.size() != 1) {
      fail(where,
           "a value must be a string, true, false or an object of one member");
      return std::nullopt;
    }
    const std::string kind = json.begin().key();
    const Json& body = json.begin().value();
    const std::string inner = where + "/" + escapePointer(kind);
    if (kind == "bytes") {
      if (!body.is_array()) {
        fail(inner, "must be an array of bytes");
        return std::nullopt;
      }
      std::string bytes;
      for (size_t i = 0; i < body.size(); ++i) {
        const auto byte = integer(body[i]);
        if (!byte || *byte < 0 || *byte > 255) {
          fail(inner + "/" + std::to_string(i), "must be a byte from 0 to 255");
          return std::nullopt;
        }
        bytes.push_back(static_cast<char>(*byte));
      }
      return Value(std::move(bytes));
    }
    if (kind == "number") {
      if (const auto whole = integer(body)) return Value(*whole);
      if (body.is_number_unsigned()) {
        fail(inner, "an integer must fit in 64 bits");
        return std::nullopt;
      }
      if (const auto floating = real(body)) return Value(*floating);
      fail(inner, "must be a number, \"nan\", \"inf\" or \"-inf\"");
      return std::nullopt;
    }
    if (kind == "point" || kind == "size" || kind == "rect") {
      double members[4] = {};
      const size_t count = kind == "rect" ? 4 : 2;
      if (!reals(body, count, inner, members)) return std::nullopt;
      if (kind == "point") return Value(Point{members[0], members[1]});
      if (kind == "size") return Value(Size{members[0], members[1]});
      return Value(Rect{members[0], members[1], members[2], members[3]});
    }
    if (kind == "range") {
      if (!body.is_array() || body.size() != 2) {
        fail(inner, "must be an array of 2 integers");
        return std::nullopt;
      }
      const auto location = integer(body[0]);
      const auto length = integer(body[1]);
      if (!location || !length) {
        fail(inner, "must be an array of 2 integers");
        return std::nullopt;
      }
      return Value(Range{*location, *length});
    }
    if (kind == "element") {
      Node* node = element(body, inner);
      if (node == nullptr) return std::nullopt;
      return Value(node);
    }
    if (kind == "elements" || kind == "array") {
      if (!body.is_array()) {
        fail(inner, "must be an array");
        return std::nullopt;
      }
      if (depth >= kMaxValueNesting) {
        fail(inner, "arrays are nested too deeply");
        return std::nullopt;
      }
      std::vector<Value> entries;
      entries.reserve(body.size());
      for (size_t i = 0; i < body.size(); ++i) {
        const std::string at = inner + "/" + std::to_string(i);
        if (kind == "elements") {
          Node* node = element(body[i], at);
          if (node == nullptr) return std::nullopt;
          entries.emplace_back(node);
        } else {
          auto entry = convertValue(body[i], at, depth + 1);
          if (!entry) return std::nullopt;
          entries.push_back(std::move(*entry));
        }
      }
      return Value(std::move(entries));
    }
    if (kind == "error") {
      const auto code = integer(body);
      if (!code || *code == 0 || *code < INT32_MIN || *code > INT32_MAX) {
        fail(inner, "must be a non-zero result code");
        return std::nullopt;
      }
      return Value(ErrorCode{static_cast<int32_t>(*code)});
    }
    if (kind == "novalue") {
      if (!body.is_boolean() || !body.get<bool>()) {
        fail(inner, "must be true");
        return std::nullopt;
      }
      return Value(NoValue{});
    }
    fail(where, "unknown value kind \"" + kind + "\"");
    return std::nullopt;
  }

  MemoryPlatform& tree_;
  std::string* error_;
  std::map<std::string, Node*, std::less<>> ids_;
  std::vector<Pending> pending_;
};

}  // namespace

bool MemoryPlatform::loadFixtureText(std::string_view json,
                                     std::string_view source,
                                     std::string* error) {
  reset();
  // The parsed tree takes several times the text's size, so memory can run
  // out anywhere in here; nothing of the file is kept then. The parser's
  // tree is left undestroyed on that path: its destructor needs memory of its
  // own and would end the process.
  auto root = std::make_unique<Json>();
  try {
    try {
      nlohmann::detail::json_sax_dom_parser<Json> builder(*root, true);
      Json::sax_parse(json.begin(), json.end(), &builder);
    } catch (const Json::exception& fault) {
      // The parser's message carries the line and column of the fault.
      *error = std::string(source) + ": /: not valid JSON: " + fault.what();
      return false;
    }
    std::string fault;
    if (!Loader(*this, &fault).load(*root)) {
      reset();
      *error = std::string(source) + ": " + fault;
      return false;
    }
    return true;
  } catch (const std::bad_alloc&) {
    static_cast<void>(root.release());
    reset();
    *error = std::string(source) + ": not enough memory to load it";
    return false;
  }
}

bool MemoryPlatform::loadFixtureFile(const std::string& path,
                                     std::string* error) {
  reset();
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    *error = path + ": cannot be read";
    return false;
  }
  const auto tooLarge = [&] {
    *error = path + ": larger than the 256 MiB a fixture may hold";
    return false;
  };
  std::error_code ignored;
  const auto size = std::filesystem::file_size(path, ignored);
  if (!ignored && size > MAX_FIXTURE_BYTES) return tooLarge();
  // Read in pieces, so that a pipe or a file that grows is bounded too.
  std::string text;
  try {
    char piece[1 << 16];
    while (file.read(piece, sizeof piece) || file.gcount() > 0) {
      if (text.size() + static_cast<size_t>(file.gcount()) >
          MAX_FIXTURE_BYTES) {
        return tooLarge();
      }
      text.append(piece, static_cast<size_t>(file.gcount()));
    }
  } catch (const std::bad_alloc&) {
    *error = path + ": not enough memory to load it";
    return false;
  }
  if (file.bad()) {
    *error = path + ": cannot be read";
    return false;
  }
  return loadFixtureText(text, path, error);
}

}  // namespace kestreye::memory
