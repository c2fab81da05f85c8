// Reading the server's answer object out of a collected body.
#include <string>

#include <gtest/gtest.h>

#include "agent/answer.h"
#include "agent/response_buffer.h"

namespace {

TEST(Answer, ReturnCodeFalseReadsAsZeroWhichIsSuccess)
{
    ResponseBuffer buffer;
    std::string body = "{\"returnCode\":false,\"returnMsg\":\"unused\"}";
    WriteToMemory(&body[0], 1, body.size(), &buffer);
    const Answer answer = ReadAnswer(buffer);
    EXPECT_EQ(answer.outcome, Answer::kSuccess);
    EXPECT_EQ(answer.code, 0);
}

} // namespace
