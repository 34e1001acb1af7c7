#include "collect/cursor_line.h"

#include <gtest/gtest.h>

#include "platform/memory/test_support.h"

namespace kestreye {
namespace {

using testing::MemoryTest;

class CursorLineTest : public MemoryTest {
 protected:
  std::optional<std::string> line(
      memory::Value text, std::optional<Range> range,
      std::optional<int64_t> lineNumber = std::nullopt) {
    memory::Attributes attributes{{"AXValue", std::move(text)}};
    if (range) attributes.emplace_back("AXSelectedTextRange", *range);
    if (lineNumber)
      attributes.emplace_back("AXInsertionPointLineNumber", *lineNumber);
    return cursorContextLine(
        memory::elementOf(memory::addNode(std::move(attributes))));
  }
};

std::string repeat(const std::string& piece, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += piece;
  return out;
}

TEST_F(CursorLineTest, WorkedExamples) {
  EXPECT_EQ(line("Hello world", Range{5, 0}, 0),
            "cursor: \"Hello| world\" (pos 5/11, line 0)");
  EXPECT_EQ(line("Hello world", Range{6, 5}),
            "cursor: \"Hello [world]\" (selected 6-11)");
  EXPECT_EQ(
      line(repeat("abcdefghij", 10), Range{50, 0}, 2),
      "cursor: \"...fghijabcdefghijabcdefghij|abcdefghijabcdefghijabcde...\" "
      "(pos 50/100, line 2)");
  EXPECT_EQ(line("ab\ncd", Range{3, 0}, 1),
            "cursor: \"ab\\n|cd\" (pos 3/5, line 1)");
  EXPECT_EQ(line(std::string(10, 'x') + repeat("0123456789", 5) +
                     std::string(10, 'y'),
                 Range{10, 50}, 0),
            "cursor: "
            "\"xxxxxxxxxx[012345678901234567...234567890123456789]yyyyyyyyyy\" "
            "(selected 10-60, line 0)");
  EXPECT_EQ(line("Hello world", Range{99, 0}),
            "cursor: \"Hello world|\" (pos 11/11)");
  EXPECT_EQ(line("Hello world", Range{-4, 0}),
            "cursor: \"|Hello world\" (pos 0/11)");
  EXPECT_EQ(line("Hello", Range{2, -3}), "cursor: \"He|llo\" (pos 2/5)");
  EXPECT_EQ(line("Hello", Range{5, 4}), "cursor: \"Hello[]\" (selected 5-5)");
}

TEST_F(CursorLineTest, NoLineWithoutTextOrRange) {
  EXPECT_EQ(line("", Range{0, 0}), std::nullopt);
  EXPECT_EQ(line(7, Range{0, 0}), std::nullopt);
  EXPECT_EQ(line("text", std::nullopt), std::nullopt);
  EXPECT_EQ(cursorContextLine(memory::elementOf(memory::addNode({}))),
            std::nullopt);
  EXPECT_EQ(cursorContextLine(Element()), std::nullopt);
}

TEST_F(CursorLineTest, SpacesAreText) {
  EXPECT_EQ(line("   ", Range{1, 0}), "cursor: \" |  \" (pos 1/3)");
}

TEST_F(CursorLineTest, LeadInAndTailBoundaries) {
  const std::string text = std::string(25, 'a') + std::string(25, 'b');
  EXPECT_EQ(line(text, Range{25, 0}), "cursor: \"" + std::string(25, 'a') +
                                          "|" + std::string(25, 'b') +
                                          "\" (pos 25/50)");
  EXPECT_EQ(line(text + "c", Range{26, 0}),
            "cursor: \"..." + std::string(24, 'a') + "b|" +
                std::string(24, 'b') + "c\" (pos 26/51)");
  EXPECT_EQ(line(text + "c", Range{25, 0}),
            "cursor: \"" + std::string(25, 'a') + "|" + std::string(25, 'b') +
                "...\" (pos 25/51)");
}

TEST_F(CursorLineTest, LongSelectionIsCutInTheMiddleAfterEscaping) {
  const std::string forty(40, 's');
  EXPECT_EQ(line(forty, Range{0, 40}),
            "cursor: \"[" + forty + "]\" (selected 0-40)");
  EXPECT_EQ(line(forty + "t", Range{0, 41}), "cursor: \"[" +
                                                 std::string(18, 's') + "..." +
                                                 std::string(17, 's') +
                                                 "t]\" "
                                                 "(selected 0-41)");
  // 39 characters with one line feed: 40 after escaping, still whole.
  const std::string withBreak =
      std::string(19, 'a') + "\n" + std::string(19, 'b');
  EXPECT_EQ(line(withBreak, Range{0, 39}),
            "cursor: \"[" + std::string(19, 'a') + "\\n" +
                std::string(19, 'b') + "]\" (selected 0-39)");
  // 40 characters with one line feed: 41 after escaping, cut.
  EXPECT_EQ(line(withBreak + "c", Range{0, 40}),
            "cursor: \"[" + std::string(18, 'a') + "..." +
                std::string(17, 'b') +
                "c]\" "
                "(selected 0-40)");
}

TEST_F(CursorLineTest, CarriageReturnStaysAndItsLineFeedIsEscaped) {
  EXPECT_EQ(line("a\r\nb", Range{2, 0}), "cursor: \"a\r\\n|b\" (pos 2/3)");
}

TEST_F(CursorLineTest, LineNumberLimits) {
  EXPECT_EQ(line("ab", Range{1, 0}, -3), "cursor: \"a|b\" (pos 1/2, line -3)");
  EXPECT_EQ(line("ab", Range{1, 0}, 4611686018427387902),
            "cursor: \"a|b\" (pos 1/2, line 4611686018427387902)");
  EXPECT_EQ(line("ab", Range{1, 0}, 4611686018427387903),
            "cursor: \"a|b\" (pos 1/2)");
}

TEST_F(CursorLineTest, HostileRangesStayInsideTheText) {
  EXPECT_EQ(line("Hello", Range{2, INT64_MAX}),
            "cursor: \"He[llo]\" (selected 2-5)");
  EXPECT_EQ(line("Hello", Range{INT64_MAX, INT64_MAX}),
            "cursor: \"Hello[]\" (selected 5-5)");
  EXPECT_EQ(line("Hello", Range{INT64_MIN, INT64_MIN}),
            "cursor: \"|Hello\" (pos 0/5)");
}

TEST_F(CursorLineTest, CountsUserPerceivedCharacters) {
  // é written as e + combining acute, a flag, and a family emoji: 3 characters.
  const std::string text =
      "e\xCC\x81\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7"
      "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9";
  EXPECT_EQ(line(text, Range{1, 1}),
            "cursor: \"e\xCC\x81[\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7]"
            "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\" (selected 1-2)");
}

}  // namespace
}  // namespace kestreye
