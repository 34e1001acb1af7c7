#include "platform/macos/conversions.h"

#include <algorithm>

#include "text/text.h"

namespace kestreye::macos {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool isHighSurrogate(uint16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool isLowSurrogate(uint16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// Bytes and UTF-16 units of the code point whose UTF-8 starts with `lead`. A
// stray continuation byte cannot come out of utf8FromUtf16; should one arrive
// anyway it counts as one byte and one unit, so that every walk moves on.
struct Step {
  size_t bytes;
  int64_t units;
};

Step stepAt(unsigned char lead) {
  if (lead >= 0xF0) return {4, 2};
  if (lead >= 0xE0) return {3, 1};
  if (lead >= 0xC0) return {2, 1};
  return {1, 1};
}

}  // namespace

std::string utf8FromUtf16(std::span<const uint16_t> units) {
  std::string out;
  out.reserve(units.size());
  for (size_t i = 0; i < units.size(); ++i) {
    const uint16_t unit = units[i];
    if (unit < 0x80) {
      out.push_back(static_cast<char>(unit));
    } else if (isHighSurrogate(unit) && i + 1 < units.size() &&
               isLowSurrogate(units[i + 1])) {
      const char32_t high = unit - 0xD800u;
      const char32_t low = units[i + 1] - 0xDC00u;
      appendUtf8(out, 0x10000 + (high << 10) + low);
      ++i;
    } else if (isHighSurrogate(unit) || isLowSurrogate(unit)) {
      // Text fields hand out whatever the application stored, and an editor
      // that cut a pair in half stores a lone surrogate: it has no UTF-8.
      appendUtf8(out, kReplacement);
    } else {
      appendUtf8(out, unit);
    }
  }
  return out;
}

int64_t utf16Length(std::string_view utf8) {
  int64_t units = 0;
  size_t pos = 0;
  while (pos < utf8.size()) {
    const Step step = stepAt(static_cast<unsigned char>(utf8[pos]));
    pos += step.bytes;
    units += step.units;
  }
  return units;
}

size_t byteOffsetOfUtf16(std::string_view utf8, int64_t units) {
  int64_t passed = 0;
  size_t pos = 0;
  while (pos < utf8.size() && passed < units) {
    const Step step = stepAt(static_cast<unsigned char>(utf8[pos]));
    if (passed + step.units > units) break;  // between the halves of a pair
    pos += step.bytes;
    passed += step.units;
  }
  return std::min(pos, utf8.size());
}

Range rangeInCharacters(std::string_view text, Range units) {
  // The same clamping the cursor line applies to characters, applied to the
  // units first, so that an out-of-range caret lands where it would have.
  const int64_t total = utf16Length(text);
  const int64_t caretUnits = std::clamp<int64_t>(units.location, 0, total);
  int64_t endUnits = caretUnits;
  if (units.length > 0) {
    endUnits = caretUnits + std::min(units.length, total - caretUnits);
  }
  const size_t caretByte = byteOffsetOfUtf16(text, caretUnits);
  const size_t endByte = byteOffsetOfUtf16(text, endUnits);

  // One pass: the caret counts the characters that end at or before it (a
  // caret inside a character stands at its start); the selection's end counts
  // those that start before it, so a partly selected character is selected.
  GraphemeCursor cursor(text);
  int64_t beforeCaret = 0;
  int64_t beforeEnd = 0;
  size_t start = 0;
  while (start < endByte && cursor.next()) {
    if (cursor.offset() <= caretByte) ++beforeCaret;
    ++beforeEnd;
    start = cursor.offset();
  }

  Range result;
  result.location = beforeCaret;
  if (units.length > 0) {
    // A selection past the end is still a selection: it must not turn into a
    // bare caret on the way.
    result.length = std::max<int64_t>(beforeEnd - beforeCaret, 1);
  }
  return result;
}

Number numberFromBoolean(bool value) {
  Number number;
  number.kind = Number::Kind::Boolean;
  number.integer = value ? 1 : 0;
  return number;
}

Number numberFromInteger(int64_t value) {
  Number number;
  number.kind = Number::Kind::Integer;
  number.integer = value;
  return number;
}

Number numberFromReal(double value) {
  Number number;
  number.kind = Number::Kind::Real;
  number.real = value;
  return number;
}

}  // namespace kestreye::macos
