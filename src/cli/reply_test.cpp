#include "cli/reply.h"

#include <gtest/gtest.h>

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

TEST(ReplyTest, MembersInOrderAndCompact) {
  EXPECT_EQ(encodeReply(SuccessResponse{"line one\nline two"}),
            "{\"success\":true,\"ui_block\":\"line one\\nline two\"}");
  EXPECT_EQ(encodeReply(ErrorResponse{"No focused element"}),
            "{\"success\":false,\"error\":\"No focused element\"}");
}

TEST(ReplyTest, OutputWritesExactlyOneLine) {
  ::testing::internal::CaptureStdout();
  outputError("Usage: kestreye <scan>");
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "{\"success\":false,\"error\":\"Usage: kestreye <scan>\"}\n");
  ::testing::internal::CaptureStdout();
  outputSuccess("a\nb");
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "{\"success\":true,\"ui_block\":\"a\\nb\"}\n");
}

}  // namespace
}  // namespace kestreye
