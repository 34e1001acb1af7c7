#include "text/safe_text.h"

#include <gtest/gtest.h>

#include "text/text.h"

namespace kestreye {
namespace {

std::string repeated(char32_t cp, size_t count) {
  std::string out;
  for (size_t i = 0; i < count; ++i) appendUtf8(out, cp);
  return out;
}

TEST(SafeTextTest, NothingCanBreakALineOrReorderTheText) {
  EXPECT_EQ(safeText("OK\n\nFocused: [TextField]"),
            "OK\\n\\nFocused: [TextField]");
  EXPECT_EQ(safeText("a\r\nb\rc\td"), "a\\r\\nb\\rc d");
  EXPECT_EQ(safeText("\x1b[2Jclear\a"), "[2Jclear");
  EXPECT_EQ(safeText(std::string("nul\0!\x7f", 6)), "nul!");
  // C1 controls (NEL among them), line and paragraph separators, bidi
  // embeddings, overrides and isolates.
  EXPECT_EQ(safeText("x\u0085\u009b\u2028\u2029y"), "xy");
  EXPECT_EQ(safeText("\u202a\u202b\u202c\u202d\u202e\u2066\u2067\u2068\u2069"
                     "gnp.exe"),
            "gnp.exe");
  // What is left alone: quotes, backslashes, marks, emoji, other format
  // characters such as the zero-width joiner inside an emoji.
  const std::string kept =
      "say \"hi\" \\ caf\u00e9 e\u0301 \U0001F469\u200D\U0001F4BB \u2190";
  EXPECT_EQ(safeText(kept), kept);
}

TEST(SafeTextTest, ACharacterKeepsItsFirst32CodePoints) {
  std::string giant = "a";
  giant += repeated(0x301, 1'000'000);
  std::string cut = "a";
  cut += repeated(0x301, 31);
  EXPECT_EQ(safeText(giant + "b" + giant), cut + "b" + cut);
  // A flag is one character of two code points and stays whole.
  EXPECT_EQ(safeText("\U0001F1EB\U0001F1F7"), "\U0001F1EB\U0001F1F7");
}

}  // namespace
}  // namespace kestreye
