#include "platform/atspi/embedded_text.h"

#include <gtest/gtest.h>

#include <vector>

namespace kestreye::atspi {
namespace {

constexpr std::string_view kObject = "\xEF\xBF\xBC";  // U+FFFC

EmbeddedText inlineText(std::string text) {
  return EmbeddedText{std::move(text), -1, false, true};
}
EmbeddedText block(std::string text, int64_t caret = -1) {
  return EmbeddedText{std::move(text), caret, true, true};
}

TEST(AtspiEmbeddedTextTest, LinksReadInPlace) {
  const std::string raw = "accept our " + std::string(kObject) + " and our " +
                          std::string(kObject) + ".";
  const std::vector<EmbeddedText> links{inlineText("terms"),
                                        inlineText("privacy policy")};
  const FlatText flat = flattenText(raw, links);
  EXPECT_EQ(flat.text, "accept our terms and our privacy policy.");
  // Offsets on and after the second object land before and after its text.
  EXPECT_EQ(flatOffset(flat, 21, links), 25);
  EXPECT_EQ(flatOffset(flat, 22, links), 39);
  EXPECT_EQ(flatOffset(flat, 99, links), 40);
}

TEST(AtspiEmbeddedTextTest, ObjectsThatDoNotMatchAreDropped) {
  const std::string raw = std::string(kObject) + " " + std::string(kObject);
  EXPECT_EQ(flattenText(raw, {}).text, " ");
  // A form control beside its label stands for nothing readable.
  const std::vector<EmbeddedText> pair{inlineText("Email"),
                                       {"", -1, false, false}};
  EXPECT_EQ(flattenText(raw, pair).text, "Email ");
}

TEST(AtspiEmbeddedTextTest, BlocksOfAnEditableAreaTakeLinesAndTheCaret) {
  // Chromium keeps the first line inline and the next as a block; Firefox
  // makes both blocks. The caret is on the block that holds it.
  const std::string chromium = "first line" + std::string(kObject);
  const std::vector<EmbeddedText> second{block("second", 6)};
  FlatText flat = flattenText(chromium, second);
  EXPECT_EQ(flat.text, "first line\nsecond");
  EXPECT_EQ(flatOffset(flat, 10, second), 17);
  EXPECT_EQ(flatOffset(flat, 4, second), 4);

  const std::string firefox = std::string(kObject) + std::string(kObject);
  const std::vector<EmbeddedText> both{block("first line"), block("second", 2)};
  flat = flattenText(firefox, both);
  EXPECT_EQ(flat.text, "first line\nsecond");
  EXPECT_EQ(flatOffset(flat, 1, both), 13);
  EXPECT_EQ(flatOffset(flat, 0, both), 0);
}

TEST(AtspiEmbeddedTextTest, FirefoxPaddingAfterAnAstralCharacterGoes) {
  // "ann😀" + U+FEFF + "@x": Firefox counts the emoji as two units.
  const std::string raw = "ann\xF0\x9F\x98\x80\xEF\xBB\xBF@x";
  ASSERT_TRUE(needsFlattening(raw));
  const FlatText flat = flattenText(raw, {});
  EXPECT_EQ(flat.text, "ann\xF0\x9F\x98\x80@x");
  EXPECT_EQ(flatOffset(flat, 5, {}), 4);
  EXPECT_EQ(flatOffset(flat, 7, {}), 6);
  // A U+FEFF of its own is text.
  EXPECT_EQ(flattenText("a\xEF\xBB\xBF", {}).text, "a\xEF\xBB\xBF");
  EXPECT_FALSE(needsFlattening("plain"));
}

}  // namespace
}  // namespace kestreye::atspi
