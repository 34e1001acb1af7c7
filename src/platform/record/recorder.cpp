#include "platform/record/recorder.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <unordered_map>
#include <utility>
#include <vector>

#include "text/text.h"
#include "text/json.h"

namespace kestreye::record {

namespace {

struct RecordedElement {
  std::string id;
  // Held until reset, so that no other element can take over its address
  // (the key under which it is found again) while the scan runs.
  Element handle;
  // Attribute name and the JSON of its first answer, in the order first read.
  std::vector<std::pair<std::string, std::string>> attributes;
};

struct Recording {
  const PlatformBackend* backend = nullptr;
  std::optional<bool> trusted;
  bool frontmostAsked = false;
  std::optional<int32_t> frontmost;
  std::map<int32_t, size_t> applications;  // process id -> element index
  std::vector<RecordedElement> elements;
  std::unordered_map<ElementRef, size_t> indexByRef;
};

// Never destroyed: the elements it holds must not be released after the
// platform behind them has gone at exit.
Recording& recording() {
  static Recording* instance = new Recording;
  return *instance;
}

// The index of an element, recorded now if it is new. Every empty handle is
// the same element: one whose every read fails.
size_t indexOf(const Element& element) {
  Recording& state = recording();
  const auto [entry, inserted] =
      state.indexByRef.try_emplace(element.ref(), state.elements.size());
  if (inserted) {
    std::string id = "e";
    id += std::to_string(state.elements.size() + 1);
    state.elements.push_back(RecordedElement{std::move(id), element, {}});
  }
  return entry->second;
}

// Text the platform gave, byte for byte: a JSON string when it is valid
// UTF-8 without NULs, its bytes otherwise.
void appendText(std::string& out, std::string_view bytes) {
  if (isValidUtf8(bytes) && bytes.find('\0') == std::string_view::npos) {
    out += jsonString(bytes);
    return;
  }
  out += "{\"bytes\": [";
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i > 0) out += ", ";
    out += std::to_string(static_cast<unsigned char>(bytes[i]));
  }
  out += "]}";
}

// A floating value that reads back as floating: "3.0", not "3", which the
// loader would take for an integer number object.
void appendReal(std::string& out, double value) {
  if (std::isnan(value)) {
    out += "\"nan\"";
    return;
  }
  if (std::isinf(value)) {
    out += value > 0 ? "\"inf\"" : "\"-inf\"";
    return;
  }
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  const std::string_view text(buffer, static_cast<size_t>(result.ptr - buffer));
  out += text;
  if (text.find_first_of(".eE") == std::string_view::npos) out += ".0";
}

void appendReals(std::string& out, std::string_view kind,
                 std::initializer_list<double> members) {
  out += "{\"";
  out += kind;
  out += "\": [";
  bool first = true;
  for (const double member : members) {
    if (!first) out += ", ";
    first = false;
    appendReal(out, member);
  }
  out += "]}";
}

void appendElementId(std::string& out, const Element& element) {
  const size_t index = indexOf(element);
  out += jsonString(recording().elements[index].id);
}

void appendValue(std::string& out, const RawValue& value) {
  if (const auto* text = std::get_if<std::string>(&value.v)) {
    appendText(out, *text);
  } else if (const auto* number = std::get_if<Number>(&value.v)) {
    switch (number->kind) {
      case Number::Kind::Boolean:
        out += number->integer != 0 ? "true" : "false";
        break;
      case Number::Kind::Integer:
        out += "{\"number\": " + std::to_string(number->integer) + "}";
        break;
      case Number::Kind::Real:
        out += "{\"number\": ";
        appendReal(out, number->real);
        out += "}";
        break;
    }
  } else if (const auto* point = std::get_if<Point>(&value.v)) {
    appendReals(out, "point", {point->x, point->y});
  } else if (const auto* size = std::get_if<Size>(&value.v)) {
    appendReals(out, "size", {size->w, size->h});
  } else if (const auto* range = std::get_if<Range>(&value.v)) {
    out += "{\"range\": [" + std::to_string(range->location) + ", " +
           std::to_string(range->length) + "]}";
  } else if (const auto* rect = std::get_if<Rect>(&value.v)) {
    appendReals(out, "rect", {rect->x, rect->y, rect->w, rect->h});
  } else if (const auto* element = std::get_if<Element>(&value.v)) {
    out += "{\"element\": ";
    appendElementId(out, *element);
    out += "}";
  } else if (const auto* array = std::get_if<RawArray>(&value.v)) {
    bool allElements = true;
    for (const RawValue& entry : *array) {
      allElements = allElements && std::holds_alternative<Element>(entry.v);
    }
    out += allElements ? "{\"elements\": [" : "{\"array\": [";
    for (size_t i = 0; i < array->size(); ++i) {
      if (i > 0) out += ", ";
      if (allElements) {
        appendElementId(out, std::get<Element>((*array)[i].v));
      } else {
        appendValue(out, (*array)[i]);
      }
    }
    out += "]}";
  }
}

std::string answerJson(const AttributeRead& read) {
  if (read.code != kAxSuccess) {
    return "{\"error\": " + std::to_string(read.code) + "}";
  }
  if (!read.value.has_value()) return "{\"novalue\": true}";
  std::string out;
  appendValue(out, *read.value);
  return out;
}

// Without a platform the recorder answers as a desktop without permission.
const PlatformBackend* backendOrNull() { return recording().backend; }

}  // namespace

void setBackend(const PlatformBackend& backend) {
  recording().backend = &backend;
}

void reset() {
  Recording& state = recording();
  const PlatformBackend* backend = state.backend;
  // Moved out first: releasing an element may call back into the seam.
  std::vector<RecordedElement> elements = std::move(state.elements);
  state = Recording{};
  state.backend = backend;
  elements.clear();
}

void retain(ElementRef ref) {
  if (const PlatformBackend* backend = backendOrNull()) backend->retain(ref);
}

void release(ElementRef ref) {
  if (const PlatformBackend* backend = backendOrNull()) backend->release(ref);
}

AttributeRead copyAttribute(const Element& element,
                            std::string_view attribute) {
  const PlatformBackend* backend = backendOrNull();
  AttributeRead read = backend != nullptr
                           ? backend->copyAttribute(element, attribute)
                           : AttributeRead{kAxCannotComplete, std::nullopt};
  const size_t index = indexOf(element);
  const std::string name = sanitizeUtf8(attribute);
  // A tree that changes under the scan can answer twice differently; the
  // fixture keeps the first answer, which every later read then repeats.
  for (const auto& known : recording().elements[index].attributes) {
    if (known.first == name) return read;
  }
  std::string answer = answerJson(read);  // may record further elements
  recording().elements[index].attributes.emplace_back(name, std::move(answer));
  return read;
}

bool isProcessTrusted() {
  const PlatformBackend* backend = backendOrNull();
  const bool trusted = backend != nullptr && backend->isProcessTrusted();
  if (!recording().trusted.has_value()) recording().trusted = trusted;
  return trusted;
}

std::optional<int32_t> frontmostProcessId() {
  const PlatformBackend* backend = backendOrNull();
  std::optional<int32_t> pid =
      backend != nullptr ? backend->frontmostProcessId() : std::nullopt;
  Recording& state = recording();
  if (!state.frontmostAsked) {
    state.frontmostAsked = true;
    state.frontmost = pid;
  }
  return pid;
}

Element applicationElement(int32_t pid) {
  const PlatformBackend* backend = backendOrNull();
  Element element =
      backend != nullptr ? backend->applicationElement(pid) : Element();
  const size_t index = indexOf(element);
  recording().applications.try_emplace(pid, index);
  return element;
}

void logLine(std::string_view line) {
  if (const PlatformBackend* backend = backendOrNull()) {
    backend->logLine(line);
  } else {
    std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data());
  }
}

std::string fixtureJson() {
  const Recording& state = recording();
  std::string out = "{\n";
  if (state.trusted.has_value()) {
    out += std::string("  \"trusted\": ") +
           (*state.trusted ? "true" : "false") + ",\n";
  }
  if (state.frontmostAsked) {
    out += "  \"frontmost\": " +
           (state.frontmost.has_value() ? std::to_string(*state.frontmost)
                                        : std::string("null")) +
           ",\n";
  }
  out += "  \"applications\": {";
  bool first = true;
  for (const auto& [pid, index] : state.applications) {
    out += first ? "" : ", ";
    first = false;
    out += jsonString(std::to_string(pid));
    out += ": ";
    out += jsonString(state.elements[index].id);
  }
  out += "},\n  \"elements\": [";
  for (size_t i = 0; i < state.elements.size(); ++i) {
    const RecordedElement& element = state.elements[i];
    out += i == 0 ? "\n    {\"id\": " : ",\n    {\"id\": ";
    out += jsonString(element.id);
    out += ", \"attributes\": {";
    for (size_t a = 0; a < element.attributes.size(); ++a) {
      out += a == 0 ? "\n      " : ",\n      ";
      out += jsonString(element.attributes[a].first);
      out += ": " + element.attributes[a].second;
    }
    out += element.attributes.empty() ? "}}" : "\n    }}";
  }
  out += state.elements.empty() ? "]\n}\n" : "\n  ]\n}\n";
  return out;
}

bool writeFixture(const std::string& path, std::string* error) {
  const std::string text = fixtureJson();
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    *error = path + ": " + std::strerror(errno);
    return false;
  }
  const bool written =
      std::fwrite(text.data(), 1, text.size(), file) == text.size();
  const int savedErrno = errno;
  const bool closed = std::fclose(file) == 0;
  if (!written || !closed) {
    *error = path + ": " + std::strerror(written ? errno : savedErrno);
    return false;
  }
  return true;
}

}  // namespace kestreye::record
