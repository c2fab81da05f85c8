// libFuzzer target: any response body through the answer handling of the
// status report and the state reset, as libcurl would deliver it.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "agent/answer.h"
#include "agent/answer_report.h"
#include "agent/response_buffer.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // The reset's outcome lines would flood the fuzzer's output.
    (void)freopen("/dev/null", "w", stdout);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    ResponseBuffer buffer;
    // Deliver the body in two chunks, as a network read may split it.
    const size_t half = size / 2;
    WriteToMemory(const_cast<uint8_t*>(data), 1, half, &buffer);
    WriteToMemory(const_cast<uint8_t*>(data + half), 1, size - half, &buffer);
    const Answer answer = ReadAnswer(buffer);
    LogSendLogsOutcome(answer, "{}\n");
    PrintResetStateOutcome(answer);
    return 0;
}
