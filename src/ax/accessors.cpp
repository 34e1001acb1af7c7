#include "ax/accessors.h"

#include <cmath>
#include <utility>

#include "text/text.h"

namespace kestreye {

std::optional<RawValue> axValue(const Element& element,
                                std::string_view attribute) {
  AttributeRead read = copyAttribute(element, attribute);
  if (read.code != kAxSuccess) return std::nullopt;
  return std::move(read.value);
}

Element asElement(RawValue value) {
  if (auto* element = std::get_if<Element>(&value.v))
    return std::move(*element);
  return Element();
}

std::optional<std::string> axString(const Element& element,
                                    std::string_view attribute) {
  auto value = axValue(element, attribute);
  if (!value) return std::nullopt;
  const auto* text = std::get_if<std::string>(&value->v);
  if (text == nullptr) return std::nullopt;
  return sanitizeUtf8(*text);
}

std::optional<bool> axBool(const Element& element, std::string_view attribute) {
  auto value = axValue(element, attribute);
  if (!value) return std::nullopt;
  const auto* number = std::get_if<Number>(&value->v);
  if (number == nullptr) return std::nullopt;
  return number->boolValue();
}

std::optional<int64_t> axInt(const Element& element,
                             std::string_view attribute) {
  auto value = axValue(element, attribute);
  if (!value) return std::nullopt;
  const auto* number = std::get_if<Number>(&value->v);
  if (number == nullptr) return std::nullopt;
  return number->integerValue();
}

std::optional<Range> axRange(const Element& element,
                             std::string_view attribute) {
  auto value = axValue(element, attribute);
  if (!value) return std::nullopt;
  const auto* range = std::get_if<Range>(&value->v);
  if (range == nullptr) return std::nullopt;
  return *range;
}

std::vector<Element> axChildren(const Element& element) {
  std::vector<Element> children;
  auto value = axValue(element, "AXChildren");
  if (!value) return children;
  auto* array = std::get_if<RawArray>(&value->v);
  if (array == nullptr) return children;
  children.reserve(array->size());
  // An entry that is not an element stays in place as a handle whose every
  // read fails, so the walks see the platform's list as it is.
  for (RawValue& entry : *array)
    children.push_back(asElement(std::move(entry)));
  return children;
}

std::optional<int64_t> truncateCoordinate(double value) {
  if (!std::isfinite(value)) return std::nullopt;
  if (value >= 9223372036854775808.0 || value < -9223372036854775808.0) {
    return std::nullopt;
  }
  return static_cast<int64_t>(value);
}

std::optional<Position> axPosition(const Element& element) {
  auto value = axValue(element, "AXPosition");
  if (!value) return std::nullopt;
  const auto* point = std::get_if<Point>(&value->v);
  if (point == nullptr) return std::nullopt;
  const auto x = truncateCoordinate(point->x);
  const auto y = truncateCoordinate(point->y);
  if (!x || !y) return std::nullopt;
  return Position{*x, *y};
}

std::optional<Extent> axSize(const Element& element) {
  auto value = axValue(element, "AXSize");
  if (!value) return std::nullopt;
  const auto* size = std::get_if<Size>(&value->v);
  if (size == nullptr) return std::nullopt;
  const auto w = truncateCoordinate(size->w);
  const auto h = truncateCoordinate(size->h);
  if (!w || !h) return std::nullopt;
  return Extent{*w, *h};
}

}  // namespace kestreye
