#include "cli/reply.h"

#include <gtest/gtest.h>

namespace kestreye {
namespace {

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
