#include "text/text.h"

#include <gtest/gtest.h>

#include <string>

namespace kestreye {
namespace {

const std::string kFffd = "\xEF\xBF\xBD";

TEST(Utf8Test, ValidTextIsKeptWithNuls) {
  const std::string text("a\0b\xC3\xA9\xF0\x9F\x98\x80", 9);
  EXPECT_TRUE(isValidUtf8(text));
  EXPECT_EQ(sanitizeUtf8(text), text);
}

TEST(Utf8Test, EachMaximalIllFormedSubsequenceBecomesOneReplacement) {
  // The Unicode Standard's own example: 61 F1 80 80 E1 80 C2 62 80 63 80 BF 64.
  const std::string bytes =
      "\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64";
  EXPECT_EQ(sanitizeUtf8(bytes), "a" + kFffd + kFffd + kFffd + "b" + kFffd +
                                     "c" + kFffd + kFffd + "d");
}

TEST(Utf8Test, SurrogatesOverlongsAndTruncationAreRepaired) {
  EXPECT_EQ(sanitizeUtf8("\xED\xA0\x80"), kFffd + kFffd + kFffd);  // U+D800
  EXPECT_EQ(sanitizeUtf8("\xC0\xAF"), kFffd + kFffd);   // overlong "/"
  EXPECT_EQ(sanitizeUtf8("ab\xE2\x82"), "ab" + kFffd);  // cut short
  EXPECT_EQ(sanitizeUtf8("\xF4\x90\x80\x80"), kFffd + kFffd + kFffd + kFffd);
  EXPECT_EQ(sanitizeUtf8("\xFF"), kFffd);
  EXPECT_FALSE(isValidUtf8("\xFF"));
}

TEST(Utf8Test, AppendEncodesAndReplacesSurrogates) {
  std::string out;
  appendUtf8(out, U'\u00E9');
  appendUtf8(out, U'\U0001F600');
  appendUtf8(out, 0xD800);
  EXPECT_EQ(out, "\xC3\xA9\xF0\x9F\x98\x80" + kFffd);
}

TEST(GraphemeTest, CountsUserPerceivedCharacters) {
  EXPECT_EQ(graphemeCount(""), 0);
  EXPECT_EQ(graphemeCount("abc"), 3);
  EXPECT_EQ(graphemeCount("e\xCC\x81"), 1);  // e + combining acute
  EXPECT_EQ(graphemeCount("\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7"), 1);  // flag FR
  EXPECT_EQ(
      graphemeCount(
          "\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA"),
      2);
  // Family: man ZWJ woman ZWJ girl.
  EXPECT_EQ(graphemeCount("\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80"
                          "\x8D\xF0\x9F\x91\xA7"),
            1);
  EXPECT_EQ(graphemeCount("\r\n"), 1);
  EXPECT_EQ(graphemeCount("\n\r"), 2);
  EXPECT_EQ(graphemeCount("\xE2\x86\x90"), 1);  // ←
}

TEST(GraphemeTest, AsciiNeighboursOfCombiningSequences) {
  EXPECT_EQ(graphemeCount("ab\r\ncd"), 5);
  EXPECT_EQ(graphemeCount("xe\xCC\x81y"), 3);
  // Flags after plain letters still pair up as two regional indicators each.
  EXPECT_EQ(
      graphemeCount(
          "x\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7y\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA"),
      4);
  EXPECT_EQ(graphemeCount("a\xE2\x80\x8D"
                          "b"),
            2);  // a ZWJ stays with the letter before it
}

TEST(GraphemeTest, CappedCountStopsAtTheCap) {
  EXPECT_EQ(graphemeCountCapped("abcdef", 4), 4);
  EXPECT_EQ(graphemeCountCapped("ab", 4), 2);
  EXPECT_EQ(graphemeCountCapped("ab", 0), 0);
}

TEST(GraphemeTest, PrefixSuffixAndOffsetsNeverSplitACharacter) {
  const std::string text = "ae\xCC\x81z";  // a, é (decomposed), z
  EXPECT_EQ(graphemePrefixBytes(text, 2), 4u);
  EXPECT_EQ(graphemePrefixBytes(text, 9), text.size());
  EXPECT_EQ(graphemeSuffixStart(text, 2), 1u);
  EXPECT_EQ(graphemeSuffixStart(text, 5), 0u);
  EXPECT_EQ(graphemeSuffixStart(text, 0), text.size());
  EXPECT_EQ(graphemeOffsets(text, {0, 1, 2, 3}),
            (std::vector<size_t>{0, 1, 4, 5}));
}

TEST(GraphemeTest, IndexAtByteCountsWholeCharactersBefore) {
  const std::string text = "ae\xCC\x81z";
  EXPECT_EQ(graphemeIndexAtByte(text, 0), 0);
  EXPECT_EQ(graphemeIndexAtByte(text, 1), 1);
  EXPECT_EQ(graphemeIndexAtByte(text, 2), 1);  // inside é: its start
  EXPECT_EQ(graphemeIndexAtByte(text, 4), 2);
  EXPECT_EQ(graphemeIndexAtByte(text, 99), 3);
}

TEST(TrimTest, RemovesSpaceSeparatorsAndLineBreaksOnly) {
  EXPECT_EQ(trimSpace("  hello world\n"), "hello world");
  EXPECT_EQ(
      trimSpace("\t\x0B\x0C\r\n x \xC2\x85\xC2\xA0\xE2\x80\xA8\xE3\x80\x80"),
      "x");
  EXPECT_EQ(trimSpace(" \n\t "), "");
  // Zero-width space is a format character, not a separator: it stays.
  EXPECT_EQ(trimSpace("\xE2\x80\x8B"
                      "a"),
            "\xE2\x80\x8B"
            "a");
  EXPECT_EQ(trimSpace("a b"), "a b");
}

TEST(QuoteAndJoinTest, NothingIsEscapedAndSeparatorsStandBetween) {
  EXPECT_EQ(quoted("say \"hi\"\n"), "\"say \"hi\"\n\"");
  EXPECT_EQ(quoted(""), "\"\"");
  EXPECT_EQ(joinWith({}, ", "), "");
  EXPECT_EQ(joinWith({"a"}, ", "), "a");
  EXPECT_EQ(joinWith({"a", "", "c"}, ", "), "a, , c");
}

TEST(ReplaceTest, ReplacesEveryOccurrence) {
  EXPECT_EQ(replaceAll("a\nb\r\nc", "\n", "\\n"), "a\\nb\r\\nc");
  EXPECT_EQ(replaceAll("AXAXRole", "AX", ""), "Role");
  EXPECT_EQ(replaceAll("AAXX", "AX", ""), "AX");
  EXPECT_EQ(replaceAll("abc", "", "x"), "abc");
}

TEST(TruncateTest, CutsAfterMaxLenCharacters) {
  const std::string fifty(50, 'x');
  EXPECT_EQ(truncateString(fifty, 50), fifty);
  EXPECT_EQ(truncateString(fifty + "y", 50), fifty + "...");
  EXPECT_EQ(truncateString("abcd", 3), "abc...");
  EXPECT_EQ(truncateString("abc", 3), "abc");
  EXPECT_EQ(truncateString("a", 0), "...");
  EXPECT_EQ(truncateString("", 0), "");
  EXPECT_EQ(truncateString(" a\nb ", 4), " a\nb...");
}

TEST(TruncateTest, NeverSplitsACharacterOfSeveralCodePoints) {
  // 50 letters and a thumbs-up with a skin tone: 51 characters.
  const std::string text =
      std::string(50, 'x') + "\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD";
  EXPECT_EQ(truncateString(text, 50), std::string(50, 'x') + "...");
  const std::string accented =
      "e\xCC\x81"
      "e\xCC\x81"
      "e\xCC\x81";
  EXPECT_EQ(truncateString(accented, 2),
            "e\xCC\x81"
            "e\xCC\x81...");
  EXPECT_EQ(truncateString(accented, 3), accented);
}

TEST(TruncateTest, ExtremeLimitsDoNotMisbehave) {
  EXPECT_EQ(truncateString("abc", -5), "...");
  EXPECT_EQ(truncateString("abc", INT64_MAX), "abc");
}

TEST(TruncateTest, HugeTextCostsOnlyItsPrefix) {
  const std::string huge(10 * 1024 * 1024, 'a');
  EXPECT_EQ(truncateString(huge, 50), std::string(50, 'a') + "...");
}

}  // namespace
}  // namespace kestreye
