#include "text/text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestreye {
namespace {

const std::string kFffd = "\xEF\xBF\xBD";
const std::string kAcuteE = "e\xCC\x81";  // e + combining acute: one character
const std::string kFlagFr = "\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7";
const std::string kFlagDe = "\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA";

struct Pair {
  std::string in;
  std::string out;
};

TEST(Utf8Test, EachMaximalIllFormedSubsequenceBecomesOneReplacement) {
  const std::vector<Pair> cases = {
      {std::string("a\0b\xC3\xA9\xF0\x9F\x98\x80", 9),
       std::string("a\0b\xC3\xA9\xF0\x9F\x98\x80", 9)},
      // The Unicode Standard's own example.
      {"\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64",
       "a" + kFffd + kFffd + kFffd + "b" + kFffd + "c" + kFffd + kFffd + "d"},
      {"\xED\xA0\x80", kFffd + kFffd + kFffd},  // a surrogate, U+D800
      {"\xC0\xAF", kFffd + kFffd},              // an overlong "/"
      {"ab\xE2\x82", "ab" + kFffd},             // cut short by the end
      {"\xF4\x90\x80\x80", kFffd + kFffd + kFffd + kFffd},  // past U+10FFFF
      {"\xE0\x9F\xBF", kFffd + kFffd + kFffd},  // E0 wants A0..BF next
      {"\xFF", kFffd},
      // Long runs of ASCII around the sequences, across 8-byte boundaries.
      {"abcdefgh\xFF", "abcdefgh" + kFffd},
      {"0123456789abcdef\x80xyz", "0123456789abcdef" + kFffd + "xyz"},
      {"abcdefg\xE2\x82\xACxyzxyzxyz", "abcdefg\xE2\x82\xACxyzxyzxyz"},
      {"abcdefghijklmn\xED\xA0\x80opqrstuvwxyz",
       "abcdefghijklmn" + kFffd + kFffd + kFffd + "opqrstuvwxyz"},
  };
  for (const Pair& c : cases) {
    EXPECT_EQ(sanitizeUtf8(c.in), c.out);
    EXPECT_EQ(isValidUtf8(c.in), c.in == c.out);
  }
  std::string out;
  appendUtf8(out, U'\u00E9');
  appendUtf8(out, U'\U0001F600');
  appendUtf8(out, 0xD800);
  EXPECT_EQ(out, "\xC3\xA9\xF0\x9F\x98\x80" + kFffd);
}

TEST(GraphemeTest, CountsUserPerceivedCharacters) {
  const std::vector<std::pair<std::string, int64_t>> cases = {
      {"", 0},
      {"abc", 3},
      {"x" + kAcuteE + "y", 3},
      {kFlagFr + kFlagDe, 2},
      {"x" + kFlagFr + "y" + kFlagDe, 4},
      // man ZWJ woman ZWJ girl
      {"\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91"
       "\xA7",
       1},
      {"ab\r\ncd", 5},
      {"\n\r", 2},
      {"a\xE2\x80\x8D"
       "b",
       2},  // a ZWJ stays with the letter before it
      {"\xE2\x86\x90", 1},
  };
  for (const auto& [text, count] : cases) {
    EXPECT_EQ(graphemeCount(text), count) << text;
    EXPECT_EQ(graphemeCountCapped(text, 2), std::min<int64_t>(count, 2));
  }
}

TEST(GraphemeTest, OffsetsNeverSplitACharacter) {
  const std::string text = "a" + kAcuteE + "z";  // bytes 0, 1..3, 4
  EXPECT_EQ(graphemePrefixBytes(text, 2), 4u);
  EXPECT_EQ(graphemePrefixBytes(text, 9), text.size());
  EXPECT_EQ(graphemeSuffixStart(text, 2), 1u);
  EXPECT_EQ(graphemeSuffixStart(text, 5), 0u);
  EXPECT_EQ(graphemeSuffixStart(text, 0), text.size());
  EXPECT_EQ(graphemeOffsets(text, {0, 1, 2, 3}),
            (std::vector<size_t>{0, 1, 4, 5}));
  const std::vector<std::pair<size_t, int64_t>> indexAtByte = {
      {0, 0}, {1, 1}, {2, 1}, {4, 2}, {99, 3}};
  for (const auto& [byte, index] : indexAtByte) {
    EXPECT_EQ(graphemeIndexAtByte(text, byte), index) << byte;
  }
}

TEST(TrimTest, RemovesSpaceSeparatorsAndLineBreaksOnly) {
  const std::vector<Pair> cases = {
      {"  hello world\n", "hello world"},
      // Tab to CR, NEL, no-break space, line separator, ideographic space.
      {"\t\x0B\x0C\r\n x \xC2\x85\xC2\xA0\xE2\x80\xA8\xE3\x80\x80", "x"},
      {" \n\t ", ""},
      {"a b", "a b"},
      // A zero-width space is a format character, not a separator.
      {"\xE2\x80\x8B"
       "a",
       "\xE2\x80\x8B"
       "a"},
  };
  for (const Pair& c : cases) EXPECT_EQ(trimSpace(c.in), c.out) << c.in;
}

TEST(TruncateTest, CutsAfterMaxLenCharacters) {
  const std::string fifty(50, 'x');
  const std::string accented = kAcuteE + kAcuteE + kAcuteE;
  const std::vector<std::tuple<std::string, int64_t, std::string>> cases = {
      {fifty, 50, fifty},
      {fifty + "y", 50, fifty + "..."},
      // 50 letters and a thumbs-up with a skin tone: 51 characters.
      {fifty + "\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD", 50, fifty + "..."},
      {accented, 2, kAcuteE + kAcuteE + "..."},
      {accented, 3, accented},
      {"abcd", 3, "abc..."},
      {"a", 0, "..."},
      {"", 0, ""},
      {" a\nb ", 4, " a\nb..."},
      {"abc", -5, "..."},
      {"abc", INT64_MAX, "abc"},
  };
  for (const auto& [text, maxLen, out] : cases) {
    EXPECT_EQ(truncateString(text, maxLen), out) << text << " " << maxLen;
  }
}

TEST(ReplaceTest, ReplacesEveryOccurrenceInOnePass) {
  EXPECT_EQ(replaceAll("a\nb\r\nc", "\n", "\\n"), "a\\nb\r\\nc");
  EXPECT_EQ(replaceAll("AXAXRole", "AX", ""), "Role");
  EXPECT_EQ(replaceAll("AAXX", "AX", ""), "AX");
  EXPECT_EQ(replaceAll("abc", "", "x"), "abc");
}

}  // namespace
}  // namespace kestreye
