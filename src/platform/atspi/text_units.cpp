#include "platform/atspi/text_units.h"

#include <algorithm>

#include "text/text.h"

namespace kestreye::atspi {

namespace {

bool isContinuationByte(char byte) {
  return (static_cast<unsigned char>(byte) & 0xC0) == 0x80;
}

// Code points of the whole text: every byte that starts one.
int64_t codePointCount(std::string_view text) {
  return static_cast<int64_t>(
      std::count_if(text.begin(), text.end(),
                    [](char byte) { return !isContinuationByte(byte); }));
}

}  // namespace

size_t byteOffsetOfCodePoint(std::string_view text, int64_t index) {
  if (index <= 0) return 0;
  int64_t seen = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (isContinuationByte(text[i])) continue;
    if (seen == index) return i;
    ++seen;
  }
  return text.size();
}

int64_t graphemeIndexOfCodePoint(std::string_view text, int64_t index) {
  if (index <= 0) return 0;
  const size_t offset = byteOffsetOfCodePoint(text, index);
  int64_t characters = graphemeIndexAtByte(text, offset);
  if (offset == text.size()) {
    // Qt hands out an empty text for a password yet a caret inside it: the
    // offsets beyond the text are kept, one character per code point.
    characters += std::max<int64_t>(0, index - codePointCount(text));
  }
  return characters;
}

bool countsUtf16Units(std::string_view text, int64_t characterCount) {
  // A lead byte of 0xF0 and above starts a code point of two UTF-16 units.
  const auto astral = std::count_if(text.begin(), text.end(), [](char byte) {
    return static_cast<unsigned char>(byte) >= 0xF0;
  });
  return astral > 0 && characterCount == codePointCount(text) + astral;
}

int64_t codePointOfUtf16(std::string_view text, int64_t index) {
  int64_t units = 0;
  int64_t codePoints = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (isContinuationByte(text[i])) continue;
    const int64_t width = static_cast<unsigned char>(text[i]) >= 0xF0 ? 2 : 1;
    if (units + width > index) return codePoints;
    units += width;
    ++codePoints;
  }
  return codePoints + std::max<int64_t>(0, index - units);
}

int64_t lineFeedsBefore(std::string_view text, int64_t index) {
  const size_t end = byteOffsetOfCodePoint(text, index);
  return static_cast<int64_t>(std::count(
      text.begin(), text.begin() + static_cast<ptrdiff_t>(end), '\n'));
}

Range graphemeRange(std::string_view text, int64_t startCodePoint,
                    int64_t endCodePoint) {
  if (endCodePoint < startCodePoint) std::swap(startCodePoint, endCodePoint);
  const int64_t start = graphemeIndexOfCodePoint(text, startCodePoint);
  const int64_t end = graphemeIndexOfCodePoint(text, endCodePoint);
  return Range{start, end - start};
}

std::string_view trimTerminalRows(std::string_view text, int64_t caret) {
  const size_t kept = byteOffsetOfCodePoint(text, caret);
  size_t end = text.size();
  while (end > kept && (text[end - 1] == ' ' || text[end - 1] == '\n' ||
                        text[end - 1] == '\r' || text[end - 1] == '\t')) {
    --end;
  }
  return text.substr(0, end);
}

}  // namespace kestreye::atspi
