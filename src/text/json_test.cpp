#include "text/json.h"

#include <gtest/gtest.h>

#include <string>

namespace kestreye {
namespace {

TEST(JsonStringTest, EscapesAsTheReplyContractSays) {
  EXPECT_EQ(jsonString("plain"), "\"plain\"");
  EXPECT_EQ(jsonString("a\"b\\c/d"), "\"a\\\"b\\\\c\\/d\"");
  EXPECT_EQ(jsonString("\b\f\n\r\t"), "\"\\b\\f\\n\\r\\t\"");
  EXPECT_EQ(jsonString(std::string("\x01\x1f\0", 3)),
            "\"\\u0001\\u001f\\u0000\"");
  EXPECT_EQ(jsonString("\x7f"), "\"\x7f\"");
  EXPECT_EQ(jsonString("\xE2\x86\x90 caf\xC3\xA9"),
            "\"\xE2\x86\x90 caf\xC3\xA9\"");
}

TEST(JsonStringTest, InvalidUtf8BecomesReplacementCharacters) {
  EXPECT_EQ(jsonString("a\xC3"), "\"a\xEF\xBF\xBD\"");
}

}  // namespace
}  // namespace kestreye
