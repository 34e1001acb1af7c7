// AT-SPI counts text offsets in Unicode code points; the core counts
// user-perceived characters (extended grapheme clusters). These helpers turn
// the one into the other over the element's own text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/platform.h"

namespace kestreye::atspi {

/// Byte offset of code point `index` in a valid UTF-8 text, clamped to [0,
/// size].
size_t byteOffsetOfCodePoint(std::string_view text, int64_t index);

/// A code-point offset as a user-perceived-character index of the text; an
/// offset past the end counts one character per missing code point.
int64_t graphemeIndexOfCodePoint(std::string_view text, int64_t index);

/// Whether a toolkit's character count of this text counts UTF-16 units (Qt,
/// LibreOffice) rather than code points (GTK, Java): only a text with a
/// character outside the Basic Multilingual Plane tells them apart.
bool countsUtf16Units(std::string_view text, int64_t characterCount);

/// A UTF-16 offset into a valid UTF-8 text as a code-point offset; an offset
/// inside a surrogate pair stays before it, one past the end counts one code
/// point per unit.
int64_t codePointOfUtf16(std::string_view text, int64_t index);

/// Number of line feeds before code point `index`.
int64_t lineFeedsBefore(std::string_view text, int64_t index);

/// A terminal's text without the empty rows and blanks after its last
/// written character, but never cut before code point `caret` (the caret
/// and everything before it keep their offsets).
std::string_view trimTerminalRows(std::string_view text, int64_t caret);

/// A selection or caret given in code points, as a range of user-perceived
/// characters; the ends may come in either order.
Range graphemeRange(std::string_view text, int64_t startCodePoint,
                    int64_t endCodePoint);

}  // namespace kestreye::atspi
