// Conversions of the macOS platform that need no Apple header, so that every
// host builds and tests them: UTF-16 text to UTF-8, the caret's UTF-16 units
// to user-perceived characters, and the platform interface's numbers from
// number objects.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace kestreye::macos {

/// UTF-8 for UTF-16 code units: NULs kept, each unpaired surrogate as U+FFFD.
std::string utf8FromUtf16(std::span<const uint16_t> units);

/// Number of UTF-16 units a valid UTF-8 text takes (two for a code point above
/// U+FFFF).
int64_t utf16Length(std::string_view utf8);

/// Byte offset in a valid UTF-8 text of the UTF-16 offset `units`, clamped to
/// [0, text size]; an offset between the halves of a pair counts as the pair's
/// start.
size_t byteOffsetOfUtf16(std::string_view utf8, int64_t units);

/// A selected-text range in UTF-16 units of `text` (valid UTF-8) turned into
/// user-perceived characters of it: the location clamped into the text and
/// counted in whole characters before it; a positive length covers every
/// character it touches and stays positive; any other length becomes 0.
Range rangeInCharacters(std::string_view text, Range units);

/// The platform interface's number for a Boolean object.
Number numberFromBoolean(bool value);

/// The platform interface's number for an integer number object.
Number numberFromInteger(int64_t value);

/// The platform interface's number for a floating number object.
Number numberFromReal(double value);

}  // namespace kestreye::macos
