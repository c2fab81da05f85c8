// The request text and the response buffer.
#include <string>

#include <gtest/gtest.h>

#include "agent/envelope.h"
#include "agent/response_buffer.h"
#include "support/fake_env.h"

namespace {

TEST(Envelope, ByteExactWithSortedKeysAndRawUtf8)
{
    FakeEnv env;
    Json::Value para;
    para["uuid"] = "6f1c2a9e-3b47-4d58-9e0a-2c5b7d8e9f10";
    para["mac"] = "0a:1b:2c:3d:4e:5f";
    para["msg"] = "Grüße/ünïcode \"q\" \\ \n\x01 中文";
    para["timestamp"] = 1700000000;
    EXPECT_EQ(BuildEnvelope("SendLogs", para, &env),
              "{\"callee\":\"quillmar_server\",\"caller\":\"quillmar_agent\",\"eventId\":1700000000,"
              "\"interface\":{\"interfaceName\":\"SendLogs\",\"para\":{\"mac\":\"0a:1b:2c:3d:4e:5f\","
              "\"msg\":\"Grüße/ünïcode \\\"q\\\" \\\\ \\n\\u0001 中文\",\"timestamp\":1700000000,"
              "\"uuid\":\"6f1c2a9e-3b47-4d58-9e0a-2c5b7d8e9f10\"}},\"timestamp\":1700000000,"
              "\"version\":\"v1.0.0\"}\n");
}

TEST(Envelope, EmptyParaNullDataAndClockPast2038)
{
    FakeEnv env;
    env.now = 2147483648; // one second past the 32-bit range
    EXPECT_EQ(BuildEnvelope("X", Json::Value(Json::objectValue), &env),
              "{\"callee\":\"quillmar_server\",\"caller\":\"quillmar_agent\",\"eventId\":-2147483648,"
              "\"interface\":{\"interfaceName\":\"X\",\"para\":{}},\"timestamp\":-2147483648,"
              "\"version\":\"v1.0.0\"}\n");
    Json::Value para;
    para["exceptionData"] = Json::Value();
    EXPECT_NE(BuildEnvelope("X", para, &env).find("\"para\":{\"exceptionData\":null}"), std::string::npos);
}

TEST(ResponseBuffer, CollectsChunksBehindEachOther)
{
    ResponseBuffer buffer;
    EXPECT_STREQ(buffer.data, "");
    char a[] = "{\"return";
    char b[] = "Code\":0}";
    EXPECT_EQ(WriteToMemory(a, 1, 8, &buffer), 8u);
    EXPECT_EQ(WriteToMemory(b, 2, 4, &buffer), 8u);
    EXPECT_EQ(buffer.size, 16u);
    EXPECT_STREQ(buffer.data, "{\"returnCode\":0}");
}

TEST(ResponseBuffer, FailedGrowthDropsTextAndLaterWritesStartClean)
{
    ResponseBuffer buffer;
    char a[] = "partial";
    WriteToMemory(a, 1, 7, &buffer);
    // A chunk too large to hold: nothing is taken and the old text is gone.
    EXPECT_EQ(WriteToMemory(a, 1, static_cast<size_t>(-1), &buffer), 0u);
    EXPECT_EQ(buffer.data, nullptr);
    EXPECT_EQ(WriteToMemory(a, static_cast<size_t>(1) << 63, 4, &buffer), 0u);
    // A retry collects only what it received itself.
    char b[] = "{}";
    EXPECT_EQ(WriteToMemory(b, 1, 2, &buffer), 2u);
    ASSERT_NE(buffer.data, nullptr);
    EXPECT_EQ(buffer.size, 2u);
    EXPECT_STREQ(buffer.data, "{}");
}

} // namespace
