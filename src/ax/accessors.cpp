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

namespace {

// The attribute's value when it holds a T, passed through `convert`; absent
// when the read fails, yields none or holds another kind.
template <class T, class Convert>
auto axAs(const Element& element, std::string_view attribute, Convert convert)
    -> decltype(convert(std::declval<const T&>())) {
  auto value = axValue(element, attribute);
  if (!value) return std::nullopt;
  const auto* held = std::get_if<T>(&value->v);
  if (held == nullptr) return std::nullopt;
  return convert(*held);
}

}  // namespace

std::optional<std::string> axString(const Element& element,
                                    std::string_view attribute) {
  return axAs<std::string>(
      element, attribute,
      [](const std::string& text) -> std::optional<std::string> {
        return sanitizeUtf8(text);
      });
}

std::optional<bool> axBool(const Element& element, std::string_view attribute) {
  return axAs<Number>(element, attribute,
                      [](const Number& number) -> std::optional<bool> {
                        return number.boolValue();
                      });
}

std::optional<int64_t> axInt(const Element& element,
                             std::string_view attribute) {
  return axAs<Number>(element, attribute,
                      [](const Number& number) -> std::optional<int64_t> {
                        return number.integerValue();
                      });
}

std::optional<Range> axRange(const Element& element,
                             std::string_view attribute) {
  return axAs<Range>(
      element, attribute,
      [](const Range& range) -> std::optional<Range> { return range; });
}

std::optional<std::string> axDisplayName(const Element& element) {
  // All three are read before one is picked.
  auto title = axString(element, "AXTitle");
  auto description = axString(element, "AXDescription");
  auto label = axString(element, "AXLabel");
  if (title) return title;
  if (description) return description;
  return label;
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
  return axAs<Point>(element, "AXPosition",
                     [](const Point& point) -> std::optional<Position> {
                       const auto x = truncateCoordinate(point.x);
                       const auto y = truncateCoordinate(point.y);
                       if (!x || !y) return std::nullopt;
                       return Position{*x, *y};
                     });
}

std::optional<Extent> axSize(const Element& element) {
  return axAs<Size>(element, "AXSize",
                    [](const Size& size) -> std::optional<Extent> {
                      const auto w = truncateCoordinate(size.w);
                      const auto h = truncateCoordinate(size.h);
                      if (!w || !h) return std::nullopt;
                      return Extent{*w, *h};
                    });
}

}  // namespace kestreye
