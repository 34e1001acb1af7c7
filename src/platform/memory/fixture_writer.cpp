#include "platform/memory/fixture_writer.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "text/json.h"
#include "text/text.h"

namespace kestreye::memory {
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

void appendValue(std::string& out, const RawValue& value,
                 const FixtureIdOf& idOf) {
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
    out += "{\"element\": " + jsonString(idOf(*element)) + "}";
  } else if (const auto* array = std::get_if<RawArray>(&value.v)) {
    bool allElements = true;
    for (const RawValue& entry : *array) {
      allElements = allElements && std::holds_alternative<Element>(entry.v);
    }
    out += allElements ? "{\"elements\": [" : "{\"array\": [";
    for (size_t i = 0; i < array->size(); ++i) {
      if (i > 0) out += ", ";
      if (allElements) {
        out += jsonString(idOf(std::get<Element>((*array)[i].v)));
      } else {
        appendValue(out, (*array)[i], idOf);
      }
    }
    out += "]}";
  }
}

}  // namespace

std::string fixtureAnswer(const AttributeRead& read, const FixtureIdOf& idOf) {
  if (read.code != kAxSuccess) {
    return "{\"error\": " + std::to_string(read.code) + "}";
  }
  if (!read.value.has_value()) return "{\"novalue\": true}";
  std::string out;
  appendValue(out, *read.value, idOf);
  return out;
}

std::string fixtureText(const FixtureContents& contents) {
  std::string out = "{\n";
  if (contents.trusted.has_value()) {
    out += std::string("  \"trusted\": ") +
           (*contents.trusted ? "true" : "false") + ",\n";
  }
  if (contents.frontmost.has_value()) {
    out +=
        "  \"frontmost\": " +
        (contents.frontmost->has_value() ? std::to_string(**contents.frontmost)
                                         : std::string("null")) +
        ",\n";
  }
  out += "  \"applications\": {";
  bool first = true;
  for (const auto& [pid, id] : contents.applications) {
    out += first ? "" : ", ";
    first = false;
    out += jsonString(std::to_string(pid));
    out += ": ";
    out += jsonString(id);
  }
  out += "},\n  \"elements\": [";
  const auto& elements = contents.elements;
  for (size_t i = 0; i < elements.size(); ++i) {
    const FixtureElement& element = elements[i];
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
  out += elements.empty() ? "]\n}\n" : "\n  ]\n}\n";
  return out;
}

bool writeFixtureFile(const std::string& path, std::string_view text,
                      std::string* error) {
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

}  // namespace kestreye::memory
