#include "platform/macos/conversions.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

namespace kestreye::macos {
namespace {

// U+1F600 (two units); a flag (two code points, four units); e with a
// combining acute (two code points, two units).
const std::string kGrin = "\xF0\x9F\x98\x80";
const std::string kFlag = "\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7";
const std::string kAcute = "e\xCC\x81";
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();

struct RangeCase {
  std::string text;
  Range units;
  Range characters;
};

TEST(RangeInCharacters, CountsUserPerceivedCharacters) {
  const std::vector<RangeCase> cases = {
      {kGrin + "ab", {0, 3}, {0, 2}},
      // A caret inside a character stands at its start.
      {"x" + kFlag + "y", {3, 0}, {1, 0}},
      {kAcute + "x", {1, 0}, {0, 0}},
      // A selection covers every character it touches.
      {"a" + kAcute + "b", {2, 1}, {1, 1}},
      // The caret is clamped into the text, the selection runs from there.
      {kGrin + kGrin, {99, 0}, {2, 0}},
      {kGrin + kGrin + kGrin + kGrin, {-4, 6}, {0, 3}},
      // A positive length stays positive, even at the very end.
      {"Hello", {99, 3}, {5, 1}},
      // Any other length is no selection.
      {"Hello", {2, kMin}, {2, 0}},
      {std::string("a\0b", 3), {2, 1}, {2, 1}},
  };
  for (const RangeCase& each : cases) {
    const Range got = rangeInCharacters(each.text, each.units);
    EXPECT_EQ(got.location, each.characters.location) << each.text;
    EXPECT_EQ(got.length, each.characters.length) << each.text;
  }
}

}  // namespace
}  // namespace kestreye::macos
