// "SendLogs", the status report, and "ResetState", the state reset of "-r".
#include <cstdio>
#include <cstdlib>

#include "agent/agent.h"
#include "agent/answer.h"
#include "agent/answer_report.h"
#include "agent/envelope.h"
#include "agent/message.h"
#include "agent/post_exchange.h"
#include "common/logger.h"

void CAgent::SendLogs(const ModuleInfo& module, int status)
{
    Common::CLogger* logger = Common::CLogger::GetInstance();
    PostExchange exchange;
    if (!exchange.HasHandle()) {
        logger->Error("send logs error: curl_easy_init() fail.");
        return;
    }
    exchange.Setup(m_plainUrl, m_timeout, BuildIdentifiedRequest("SendLogs", [&](Json::Value& para) {
                       para["moduleId"] = module.moduleId;
                       para["osType"] = m_osType;
                       para["fileId"] = module.fileId;
                       para["status"] = status;
                       para["msg"] = g_message;
                       para["timestamp"] = ClockReading(m_env);
                   }));
    const std::string& request = exchange.Request();
    for (int attempt = 1;; ++attempt) {
        CURLcode rc = exchange.Perform();
        if (rc == CURLE_OK)
            break;
        logger->Error("send logs fail, data: %s, error: %s.", request.c_str(), curl_easy_strerror(rc));
        if (attempt == 5) {
            logger->Error("exit because retry fail");
            exit(-1);
        }
        m_env->SleepSeconds(60);
    }

    LogSendLogsOutcome(ReadAnswer(exchange.Buffer()), request);
}

void CAgent::ResetState()
{
    PostExchange exchange;
    if (!exchange.HasHandle()) {
        printf("reset state error: curl_easy_init() fail.\n");
        return;
    }
    exchange.Setup(m_plainUrl, m_timeout, BuildIdentifiedRequest("ResetState", [&](Json::Value& para) {
                       para["timestamp"] = ClockReading(m_env);
                   }));
    CURLcode rc = exchange.Perform();
    if (rc != CURLE_OK) {
        printf("reset state fail, error: %s.\n", curl_easy_strerror(rc));
        return;
    }

    PrintResetStateOutcome(ReadAnswer(exchange.Buffer()));
}
