// Start: libcurl once for the process, the one agent, then reset or run.
#include <cstdlib>

#include <curl/curl.h>

#include "agent/agent.h"
#include "agent/process_control.h"
#include "common/logger.h"

void Start(bool reset)
{
    CURLcode rc = curl_global_init(CURL_GLOBAL_ALL);
    if (rc != CURLE_OK) {
        Common::CLogger::GetInstance()->Error("curl_global_init() failed: %s", curl_easy_strerror(rc));
        exit(1);
    }
    // Lives until the process ends; neither path returns.
    static CAgent* agent = new CAgent();
    if (reset) {
        agent->ResetState();
        exit(0);
    }
    agent->Run();
}
