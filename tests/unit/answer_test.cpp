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

// A growth that failed leaves no body at all, not an empty one.
TEST(Answer, ABufferThatFailedToGrowIsNoText)
{
    ResponseBuffer buffer;
    char byte = 'x';
    ASSERT_EQ(0u, WriteToMemory(&byte, 1, static_cast<size_t>(-1), &buffer));
    ASSERT_EQ(nullptr, buffer.data);
    ASSERT_EQ(0u, buffer.size);
    const Answer answer = ReadAnswer(buffer);
    EXPECT_EQ(answer.outcome, Answer::kNoText);
    EXPECT_FALSE(answer.parsed);
    EXPECT_EQ("", answer.text);
}

} // namespace
