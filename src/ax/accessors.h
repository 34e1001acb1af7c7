// Typed reads of element attributes. Every read is one platform round trip;
// a read that fails in any way gives an absent result, never an error.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace kestreye {

/// A position in whole screen points.
struct Position {
  int64_t x = 0;
  int64_t y = 0;
};

/// A size in whole screen points.
struct Extent {
  int64_t w = 0;
  int64_t h = 0;
};

/// The raw value of an attribute, or absent when the read fails or yields none.
std::optional<RawValue> axValue(const Element& element,
                                std::string_view attribute);
/// A present raw value taken as an element handle; anything else is the
/// handle that fails every read.
Element asElement(RawValue value);
/// A text attribute as valid UTF-8, or absent for any other kind.
std::optional<std::string> axString(const Element& element,
                                    std::string_view attribute);
/// The Boolean reading of a number attribute, or absent for any other kind.
std::optional<bool> axBool(const Element& element, std::string_view attribute);
/// The integer reading of a number attribute, or absent for any other kind.
std::optional<int64_t> axInt(const Element& element,
                             std::string_view attribute);
/// A boxed range attribute, or absent for any other kind.
std::optional<Range> axRange(const Element& element,
                             std::string_view attribute);
/// "AXTitle", else "AXDescription", else "AXLabel", as text; all three are
/// read, and a present empty one hides those after it.
std::optional<std::string> axDisplayName(const Element& element);
/// The children in the platform's order; empty when unreadable or not an array.
std::vector<Element> axChildren(const Element& element);
/// "AXPosition" truncated toward zero, or absent.
std::optional<Position> axPosition(const Element& element);
/// "AXSize" truncated toward zero, or absent.
std::optional<Extent> axSize(const Element& element);

/// A floating coordinate truncated toward zero, or absent when it is not
/// finite or its truncation leaves the 64-bit range.
std::optional<int64_t> truncateCoordinate(double value);

}  // namespace kestreye
