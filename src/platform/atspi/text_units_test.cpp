#include "platform/atspi/text_units.h"

#include <gtest/gtest.h>

namespace kestreye::atspi {
namespace {

// "e" + combining acute is one character of two code points; the flag is one
// character of two code points of four bytes each.
constexpr std::string_view kAccented =
    "e\xCC\x81"
    "x";
constexpr std::string_view kFlagThenA =
    "\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7"
    "a";

TEST(AtspiTextUnitsTest, ByteOffsetsOfCodePoints) {
  EXPECT_EQ(byteOffsetOfCodePoint("abc", 0), 0u);
  EXPECT_EQ(byteOffsetOfCodePoint("abc", 2), 2u);
  EXPECT_EQ(byteOffsetOfCodePoint("abc", 3), 3u);
  EXPECT_EQ(byteOffsetOfCodePoint("abc", 99), 3u);
  EXPECT_EQ(byteOffsetOfCodePoint("abc", -4), 0u);
  // "é" as one code point of two bytes.
  EXPECT_EQ(byteOffsetOfCodePoint("\xC3\xA9z", 1), 2u);
  EXPECT_EQ(byteOffsetOfCodePoint(kFlagThenA, 1), 4u);
  EXPECT_EQ(byteOffsetOfCodePoint(kFlagThenA, 2), 8u);
}

TEST(AtspiTextUnitsTest, CodePointsBecomeUserPerceivedCharacters) {
  EXPECT_EQ(graphemeIndexOfCodePoint("hello", 3), 3);
  EXPECT_EQ(graphemeIndexOfCodePoint(kAccented, 2), 1);  // after the accent
  EXPECT_EQ(graphemeIndexOfCodePoint(kAccented, 3), 2);
  EXPECT_EQ(graphemeIndexOfCodePoint(kFlagThenA, 2), 1);
  EXPECT_EQ(graphemeIndexOfCodePoint(kFlagThenA, 3), 2);
  // A caret between the two halves of the flag sits at the flag's start.
  EXPECT_EQ(graphemeIndexOfCodePoint(kFlagThenA, 1), 0);
  // CR LF is one character.
  EXPECT_EQ(graphemeIndexOfCodePoint("a\r\nb", 3), 2);
}

TEST(AtspiTextUnitsTest, OffsetsPastTheTextCountOnePerCodePoint) {
  // Qt's password field: an empty text and a caret at 4.
  EXPECT_EQ(graphemeIndexOfCodePoint("", 4), 4);
  EXPECT_EQ(graphemeIndexOfCodePoint("ab", 5), 5);
  EXPECT_EQ(graphemeIndexOfCodePoint(kAccented, 5), 4);
}

TEST(AtspiTextUnitsTest, LineFeedsBeforeTheCaret) {
  EXPECT_EQ(lineFeedsBefore("one\ntwo\nthree", 0), 0);
  EXPECT_EQ(lineFeedsBefore("one\ntwo\nthree", 3), 0);
  EXPECT_EQ(lineFeedsBefore("one\ntwo\nthree", 4), 1);
  EXPECT_EQ(lineFeedsBefore("one\ntwo\nthree", 8), 2);
  EXPECT_EQ(lineFeedsBefore("one\ntwo\nthree", 100), 2);
  EXPECT_EQ(lineFeedsBefore("\xC3\xA9\n\xC3\xA9\n", 3), 1);
  EXPECT_EQ(lineFeedsBefore("a\r\nb", 3), 1);
}

TEST(AtspiTextUnitsTest, Utf16CountsToldApartFromCodePoints) {
  // "a😀b": 3 code points, 4 UTF-16 units (Qt, LibreOffice).
  constexpr std::string_view kEmoji =
      "a\xF0\x9F\x98\x80"
      "b";
  EXPECT_TRUE(countsUtf16Units(kEmoji, 4));
  EXPECT_FALSE(countsUtf16Units(kEmoji, 3));
  // Without a character outside the BMP both counts agree: nothing to tell.
  EXPECT_FALSE(countsUtf16Units("a\xC3\xA9", 2));
  // Qt's password: no text, a count of its own.
  EXPECT_FALSE(countsUtf16Units("", 4));
  EXPECT_TRUE(countsUtf16Units(kFlagThenA, 5));
  EXPECT_FALSE(countsUtf16Units(kFlagThenA, 3));

  EXPECT_EQ(codePointOfUtf16(kEmoji, 0), 0);
  EXPECT_EQ(codePointOfUtf16(kEmoji, 1), 1);
  EXPECT_EQ(codePointOfUtf16(kEmoji, 2), 1);  // inside the pair: before it
  EXPECT_EQ(codePointOfUtf16(kEmoji, 3), 2);
  EXPECT_EQ(codePointOfUtf16(kEmoji, 4), 3);
  EXPECT_EQ(codePointOfUtf16(kEmoji, 6), 5);  // past the end: one per unit
  EXPECT_EQ(codePointOfUtf16(kEmoji, -1), 0);
  // The caret after the emoji is one user-perceived character in; after a
  // flag's second half, one; between its halves, at its start.
  EXPECT_EQ(graphemeIndexOfCodePoint(kEmoji, codePointOfUtf16(kEmoji, 3)), 2);
  EXPECT_EQ(
      graphemeIndexOfCodePoint(kFlagThenA, codePointOfUtf16(kFlagThenA, 4)), 1);
  EXPECT_EQ(
      graphemeIndexOfCodePoint(kFlagThenA, codePointOfUtf16(kFlagThenA, 2)), 0);
}

TEST(AtspiTextUnitsTest, RangesInEitherOrder) {
  Range forward = graphemeRange(kFlagThenA, 0, 3);
  EXPECT_EQ(forward.location, 0);
  EXPECT_EQ(forward.length, 2);
  Range backward = graphemeRange(kFlagThenA, 3, 2);
  EXPECT_EQ(backward.location, 1);
  EXPECT_EQ(backward.length, 1);
  Range caret = graphemeRange(kAccented, 2, 2);
  EXPECT_EQ(caret.location, 1);
  EXPECT_EQ(caret.length, 0);
}

// VTE hands out every row of the screen, the empty ones below the prompt
// included; they go, and nothing up to the caret moves.
TEST(AtspiTextUnitsTest, TerminalRowsAfterTheTextGo) {
  struct TrimCase {
    std::string_view text;
    int64_t caret;
    std::string_view expected;
  };
  const TrimCase cases[] = {
      {"$ echo hi\n\n\n\n", 9, "$ echo hi"},
      {"$ echo hi   \n  \n\n", 9, "$ echo hi"},
      // Blanks the caret stands after are kept: "$ |".
      {"$ \n\n\n", 2, "$ "},
      {"$ \n\n\n", 4, "$ \n\n"},
      {"a\nb\n\n", 0, "a\nb"},
      {"Dear Ann,\nThe plan \xF0\x9F\x98\x80 looks\nSee you.\n\n\n", 16,
       "Dear Ann,\nThe plan \xF0\x9F\x98\x80 looks\nSee you."},
      {"ab\t\r\n", 1, "ab"},
      {"\n\n\n", 0, ""},
      {"\n\n\n", 99, "\n\n\n"},
      {"", 0, ""},
      {"no rows", -3, "no rows"},
  };
  for (const TrimCase& each : cases) {
    EXPECT_EQ(trimTerminalRows(each.text, each.caret), each.expected)
        << each.text << " caret " << each.caret;
  }
}

}  // namespace
}  // namespace kestreye::atspi
