#include "platform/record/recorder.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "text/json.h"
#include "text/text.h"

namespace kestreye::record {

namespace {

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

}  // namespace

Recorder::~Recorder() { reset(); }

// The index of an element, recorded now if it is new. Every empty handle is
// the same element: one whose every read fails.
size_t Recorder::indexOf(const Element& element) {
  const auto [entry, inserted] =
      indexByRef_.try_emplace(element.ref(), elements_.size());
  if (inserted) {
    // Appended, not "e" + std::string: GCC 12 at -O3 warns falsely
    // (-Wrestrict) on a literal added to a temporary string.
    std::string id = "e";
    id += std::to_string(elements_.size() + 1);
    elements_.push_back(RecordedElement{std::move(id), element, {}});
  }
  return entry->second;
}

void Recorder::appendElementId(std::string& out, const Element& element) {
  const size_t index = indexOf(element);
  out += jsonString(elements_[index].id);
}

void Recorder::appendValue(std::string& out, const RawValue& value) {
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

std::string Recorder::answerJson(const AttributeRead& read) {
  if (read.code != kAxSuccess) {
    return "{\"error\": " + std::to_string(read.code) + "}";
  }
  if (!read.value.has_value()) return "{\"novalue\": true}";
  std::string out;
  appendValue(out, *read.value);
  return out;
}

void Recorder::reset() {
  // Moved out first: releasing an element calls back into the platform.
  std::vector<RecordedElement> elements = std::move(elements_);
  elements_.clear();
  indexByRef_.clear();
  applications_.clear();
  trusted_.reset();
  frontmostAsked_ = false;
  frontmost_.reset();
  elements.clear();
}

void Recorder::retain(ElementRef ref) { inner_.retain(ref); }

void Recorder::release(ElementRef ref) { inner_.release(ref); }

AttributeRead Recorder::copyAttribute(const Element& element,
                                      std::string_view attribute) {
  AttributeRead read = inner_.copyAttribute(element, attribute);
  const size_t index = indexOf(element);
  const std::string name = sanitizeUtf8(attribute);
  // A tree that changes under the scan can answer twice differently; the
  // fixture keeps the first answer, which every later read then repeats.
  for (const auto& known : elements_[index].attributes) {
    if (known.first == name) return read;
  }
  std::string answer = answerJson(read);  // may record further elements
  elements_[index].attributes.emplace_back(name, std::move(answer));
  return read;
}

bool Recorder::isProcessTrusted() {
  const bool trusted = inner_.isProcessTrusted();
  if (!trusted_.has_value()) trusted_ = trusted;
  return trusted;
}

std::optional<int32_t> Recorder::frontmostProcessId() {
  std::optional<int32_t> pid = inner_.frontmostProcessId();
  if (!frontmostAsked_) {
    frontmostAsked_ = true;
    frontmost_ = pid;
  }
  return pid;
}

Element Recorder::applicationElement(int32_t pid) {
  Element element = inner_.applicationElement(pid);
  const size_t index = indexOf(element);
  applications_.try_emplace(pid, index);
  return element;
}

void Recorder::logLine(std::string_view line) { inner_.logLine(line); }

void Recorder::beginScan(ScanDeadline readsEnd) { inner_.beginScan(readsEnd); }

void Recorder::endScan() { inner_.endScan(); }

std::string Recorder::fixtureJson() {
  std::string out = "{\n";
  if (trusted_.has_value()) {
    out +=
        std::string("  \"trusted\": ") + (*trusted_ ? "true" : "false") + ",\n";
  }
  if (frontmostAsked_) {
    out += "  \"frontmost\": " +
           (frontmost_.has_value() ? std::to_string(*frontmost_)
                                   : std::string("null")) +
           ",\n";
  }
  out += "  \"applications\": {";
  bool first = true;
  for (const auto& [pid, index] : applications_) {
    out += first ? "" : ", ";
    first = false;
    out += jsonString(std::to_string(pid));
    out += ": ";
    out += jsonString(elements_[index].id);
  }
  out += "},\n  \"elements\": [";
  for (size_t i = 0; i < elements_.size(); ++i) {
    const RecordedElement& element = elements_[i];
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
  out += elements_.empty() ? "]\n}\n" : "\n  ]\n}\n";
  return out;
}

bool Recorder::writeFixture(const std::string& path, std::string* error) {
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
