#include "agent/answer_report.h"

#include <cstdio>

#include "common/logger.h"

void LogSendLogsOutcome(const Answer& answer, const std::string& request)
{
    Common::CLogger* logger = Common::CLogger::GetInstance();
    switch (answer.outcome) {
    case Answer::kNoText:
        logger->Error("send logs error: received from http fail.");
        break;
    case Answer::kSuccess:
        logger->Info("send logs succ, data: %s.", request.c_str());
        break;
    case Answer::kRefused:
        logger->Error("send logs error, retcode : %d, msg : %s.", answer.code, answer.msg.c_str());
        break;
    case Answer::kInvalid:
        logger->Error("send logs error, got a invalid response: %s, exception: %s.", answer.text.data(),
                      answer.error.c_str());
        break;
    }
}

void PrintResetStateOutcome(const Answer& answer)
{
    switch (answer.outcome) {
    case Answer::kNoText:
        printf("reset state error: received from http fail.\n");
        break;
    case Answer::kSuccess:
        printf("reset state succ.\n");
        break;
    case Answer::kRefused:
        printf("reset state error, retcode : %d, msg : %s.\n", answer.code, answer.msg.c_str());
        break;
    case Answer::kInvalid:
        printf("reset state error, got a invalid response: %s, exception: %s.\n", answer.text.data(),
               answer.error.c_str());
        break;
    }
}
