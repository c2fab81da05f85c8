// "ReportException": the last word to the server before the agent gives up.
// It needs no UUID and no agent object, so it holds its own url and time limit.
#include "agent/exception_report.h"

#include <string>
#include <utility>

#include "agent/envelope.h"
#include "agent/identity.h"
#include "agent/post_exchange.h"
#include "agent/settings.h"

namespace {

const int kAttempts = 3;
const unsigned int kPauseSeconds = 5;

// Read from the settings when first needed and held for the process; a value
// still empty or 0 is read again at the next report.
int g_reportTimeout = 0;

std::string& ReportUrl()
{
    static std::string url;
    return url;
}

// The report always goes over plain http: "https" loses its "s", the rest of
// the url stays as configured.
const std::string& HeldReportUrl()
{
    std::string& url = ReportUrl();
    if (url.empty()) {
        const char* configured = GetConfValue(kConfPath, "url");
        url = PlainHttpUrl(configured != nullptr ? configured : "");
    }
    return url;
}

} // namespace

void ReportException(int event, const Json::Value& data, Common::Env* env)
{
    if (event < 0) {
        return;
    }
    Json::Value para;
    para["osType"] = GetOsType();
    para["mac"] = GetMac();
    para["vmIP"] = GetLocalIp();
    para["exceptionEvent"] = event;
    para["exceptionData"] = data;
    std::string body = BuildEnvelope("ReportException", para, env);

    PostExchange exchange;
    if (!exchange.HasHandle()) {
        return;
    }
    if (g_reportTimeout == 0) {
        g_reportTimeout = GetConfInt(kConfPath, "timeout");
    }
    exchange.Setup(HeldReportUrl(), g_reportTimeout, std::move(body));
    // Any answer counts as delivered; it is never read.
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        if (exchange.Perform() == CURLE_OK) {
            break;
        }
        env->SleepSeconds(kPauseSeconds);
    }
}
