#include "platform/macos/conversions.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace kestreye::macos {
namespace {

std::string fromUnits(std::vector<uint16_t> units) {
  return utf8FromUtf16(units);
}

// U+1F600 as UTF-16 and as UTF-8.
constexpr uint16_t kGrinHigh = 0xD83D;
constexpr uint16_t kGrinLow = 0xDE00;
const std::string kGrin = "\xF0\x9F\x98\x80";
const std::string kReplacement = "\xEF\xBF\xBD";

TEST(Utf8FromUtf16, KeepsAsciiAndEmbeddedNuls) {
  const std::string text = fromUnits({'a', 0, 'b', 0});
  EXPECT_EQ(text, std::string("a\0b\0", 4));
  EXPECT_EQ(fromUnits({}), "");
}

TEST(Utf8FromUtf16, EncodesEachUtf8LengthAtItsBoundaries) {
  EXPECT_EQ(fromUnits({0x7F}), "\x7F");
  EXPECT_EQ(fromUnits({0x80}), "\xC2\x80");
  EXPECT_EQ(fromUnits({0x7FF}), "\xDF\xBF");
  EXPECT_EQ(fromUnits({0x800}), "\xE0\xA0\x80");
  EXPECT_EQ(fromUnits({0x20AC}), "\xE2\x82\xAC");
  EXPECT_EQ(fromUnits({0xD7FF}), "\xED\x9F\xBF");
  EXPECT_EQ(fromUnits({0xE000}), "\xEE\x80\x80");
  EXPECT_EQ(fromUnits({0xFFFF}), "\xEF\xBF\xBF");
}

TEST(Utf8FromUtf16, JoinsSurrogatePairs) {
  EXPECT_EQ(fromUnits({kGrinHigh, kGrinLow}), kGrin);
  EXPECT_EQ(fromUnits({0xD800, 0xDC00}), "\xF0\x90\x80\x80");  // U+10000
  EXPECT_EQ(fromUnits({0xDBFF, 0xDFFF}), "\xF4\x8F\xBF\xBF");  // U+10FFFF
  EXPECT_EQ(fromUnits({'x', kGrinHigh, kGrinLow, 'y'}), "x" + kGrin + "y");
}

TEST(Utf8FromUtf16, ReplacesEachUnpairedSurrogate) {
  EXPECT_EQ(fromUnits({kGrinHigh}), kReplacement);
  EXPECT_EQ(fromUnits({kGrinLow}), kReplacement);
  EXPECT_EQ(fromUnits({kGrinHigh, 'A'}), kReplacement + "A");
  EXPECT_EQ(fromUnits({'A', kGrinLow, 'B'}), "A" + kReplacement + "B");
  // A high surrogate followed by a whole pair: only the first is lone.
  EXPECT_EQ(fromUnits({kGrinHigh, kGrinHigh, kGrinLow}), kReplacement + kGrin);
  // Low before high is two lone halves, not a pair.
  EXPECT_EQ(fromUnits({kGrinLow, kGrinHigh}), kReplacement + kReplacement);
  EXPECT_EQ(fromUnits({kGrinHigh, 0, kGrinLow}),
            kReplacement + std::string(1, '\0') + kReplacement);
}

TEST(Utf16Length, CountsTwoUnitsAboveTheBasicPlane) {
  EXPECT_EQ(utf16Length(""), 0);
  EXPECT_EQ(utf16Length(std::string("a\0b", 3)), 3);
  EXPECT_EQ(utf16Length("\xC3\xA9\xE2\x82\xAC"), 2);  // é€
  EXPECT_EQ(utf16Length("a" + kGrin + "b"), 4);
  // A replaced lone surrogate stays one unit, so offsets into the original
  // text still land on the same characters after the repair.
  EXPECT_EQ(utf16Length(fromUnits({'a', kGrinHigh, 'b'})), 3);
}

TEST(ByteOffsetOfUtf16, WalksUnitsToBytes) {
  const std::string text = "a" + kGrin + "\xC3\xA9" + "b";  // a😀éb
  EXPECT_EQ(byteOffsetOfUtf16(text, 0), 0u);
  EXPECT_EQ(byteOffsetOfUtf16(text, 1), 1u);
  EXPECT_EQ(byteOffsetOfUtf16(text, 3), 5u);
  EXPECT_EQ(byteOffsetOfUtf16(text, 4), 7u);
  EXPECT_EQ(byteOffsetOfUtf16(text, 5), 8u);
}

TEST(ByteOffsetOfUtf16, PutsAnOffsetInsideAPairAtThePairsStart) {
  const std::string text = "a" + kGrin + "b";
  EXPECT_EQ(byteOffsetOfUtf16(text, 2), 1u);
}

TEST(ByteOffsetOfUtf16, ClampsToTheText) {
  const std::string text = "abc";
  EXPECT_EQ(byteOffsetOfUtf16(text, -1), 0u);
  EXPECT_EQ(byteOffsetOfUtf16(text, std::numeric_limits<int64_t>::min()), 0u);
  EXPECT_EQ(byteOffsetOfUtf16(text, 4), 3u);
  EXPECT_EQ(byteOffsetOfUtf16(text, std::numeric_limits<int64_t>::max()), 3u);
  EXPECT_EQ(byteOffsetOfUtf16("", 2), 0u);
}

Range units(int64_t location, int64_t length) {
  return Range{location, length};
}

void expectRange(const Range& actual, int64_t location, int64_t length) {
  EXPECT_EQ(actual.location, location);
  EXPECT_EQ(actual.length, length);
}

TEST(RangeInCharacters, LeavesPlainAsciiAlone) {
  expectRange(rangeInCharacters("Hello world", units(5, 0)), 5, 0);
  expectRange(rangeInCharacters("Hello world", units(6, 5)), 6, 5);
  expectRange(rangeInCharacters("Hello world", units(0, 11)), 0, 11);
}

TEST(RangeInCharacters, CountsAPairAsOneCharacter) {
  const std::string text = kGrin + "ab";  // units: 😀=0..1, a=2, b=3
  expectRange(rangeInCharacters(text, units(2, 0)), 1, 0);
  expectRange(rangeInCharacters(text, units(3, 0)), 2, 0);
  expectRange(rangeInCharacters(text, units(0, 3)), 0, 2);
}

TEST(RangeInCharacters, CountsAFlagAndAJoinedSequenceAsOneCharacter) {
  const std::string flag = "\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7";  // 4 units
  const std::string family =  // man ZWJ woman ZWJ girl: 8 units
      "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91"
      "\xA7";
  expectRange(rangeInCharacters("x" + flag + "y", units(5, 0)), 2, 0);
  expectRange(rangeInCharacters("a" + family + "b", units(9, 0)), 2, 0);
  expectRange(rangeInCharacters("a" + family + "b", units(1, 8)), 1, 1);
}

TEST(RangeInCharacters, PutsACaretInsideACharacterAtItsStart) {
  const std::string flag = "\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7";
  // Between the two regional indicators of the flag.
  expectRange(rangeInCharacters("x" + flag + "y", units(3, 0)), 1, 0);
  // Between a letter and its combining acute accent.
  expectRange(rangeInCharacters("e\xCC\x81x", units(1, 0)), 0, 0);
  expectRange(rangeInCharacters("e\xCC\x81x", units(2, 0)), 1, 0);
}

TEST(RangeInCharacters, SelectsEveryCharacterASelectionTouches) {
  // "aéb" with é as e + U+0301: selecting the accent alone selects é.
  expectRange(rangeInCharacters("ae\xCC\x81"
                                "b",
                                units(2, 1)),
              1, 1);
  // Ending between the letter and its accent still selects the whole é.
  expectRange(rangeInCharacters("ae\xCC\x81"
                                "b",
                                units(0, 2)),
              0, 2);
  const std::string flag = "\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7";
  expectRange(rangeInCharacters("x" + flag + "y", units(0, 3)), 0, 2);
  // Half of a pair selected, from either side.
  expectRange(rangeInCharacters("a" + kGrin + "b", units(1, 1)), 1, 1);
  expectRange(rangeInCharacters("a" + kGrin + "b", units(2, 2)), 1, 2);
}

TEST(RangeInCharacters, ClampsTheCaretIntoTheText) {
  const std::string text = kGrin + kGrin;  // 4 units, 2 characters
  expectRange(rangeInCharacters(text, units(-4, 0)), 0, 0);
  expectRange(rangeInCharacters(text, units(99, 0)), 2, 0);
  expectRange(
      rangeInCharacters(text, units(std::numeric_limits<int64_t>::min(), 0)), 0,
      0);
  // The selection runs from the clamped caret, as the cursor line reads it.
  expectRange(rangeInCharacters(kGrin + kGrin + kGrin + kGrin, units(-4, 6)), 0,
              3);
}

TEST(RangeInCharacters, KeepsAPositiveLengthPositive) {
  // At the very end a selection still shows as empty brackets.
  expectRange(rangeInCharacters("Hello", units(5, 4)), 5, 1);
  expectRange(rangeInCharacters("Hello", units(99, 3)), 5, 1);
  expectRange(
      rangeInCharacters("Hello", units(2, std::numeric_limits<int64_t>::max())),
      2, 3);
  expectRange(rangeInCharacters("", units(0, 2)), 0, 1);
}

TEST(RangeInCharacters, TurnsANonPositiveLengthIntoNoSelection) {
  expectRange(rangeInCharacters("Hello", units(2, -3)), 2, 0);
  expectRange(
      rangeInCharacters("Hello", units(2, std::numeric_limits<int64_t>::min())),
      2, 0);
  expectRange(rangeInCharacters(kGrin + "b", units(3, 0)), 2, 0);
}

TEST(RangeInCharacters, CountsNulsAsCharacters) {
  expectRange(rangeInCharacters(std::string("a\0b", 3), units(2, 1)), 2, 1);
}

TEST(Numbers, BooleanObjectsReadAsZeroOrOne) {
  const Number yes = numberFromBoolean(true);
  EXPECT_EQ(yes.kind, Number::Kind::Boolean);
  EXPECT_EQ(yes.integer, 1);
  EXPECT_TRUE(yes.boolValue());
  EXPECT_EQ(yes.integerValue(), 1);
  const Number no = numberFromBoolean(false);
  EXPECT_EQ(no.kind, Number::Kind::Boolean);
  EXPECT_FALSE(no.boolValue());
  EXPECT_EQ(no.integerValue(), 0);
}

TEST(Numbers, IntegersKeepTheirFullRange) {
  const Number low = numberFromInteger(std::numeric_limits<int64_t>::min());
  EXPECT_EQ(low.kind, Number::Kind::Integer);
  EXPECT_EQ(low.integerValue(), std::numeric_limits<int64_t>::min());
  EXPECT_TRUE(low.boolValue());
  EXPECT_EQ(numberFromInteger(2).integerValue(), 2);
  EXPECT_FALSE(numberFromInteger(0).boolValue());
}

TEST(Numbers, FloatingObjectsStayReal) {
  const Number real = numberFromReal(-2.7);
  EXPECT_EQ(real.kind, Number::Kind::Real);
  EXPECT_EQ(real.real, -2.7);
  EXPECT_EQ(real.integerValue(), -2);
  EXPECT_TRUE(numberFromReal(0.25).boolValue());
  EXPECT_EQ(numberFromReal(0.25).integerValue(), 0);
  EXPECT_FALSE(numberFromReal(0.0).boolValue());
}

}  // namespace
}  // namespace kestreye::macos
