// The agent object: the settings read once at start-up, the watched modules,
// and the server interfaces and service loop that use them.
#ifndef AGENT_AGENT_H
#define AGENT_AGENT_H

#include <list>
#include <string>

#include <json/value.h>

#include "common/env.h"
#include "module_manager/module_info.h"

class CAgent {
public:
    // Reads "../etc/base.conf" and applies the minimums of checktime/interval.
    explicit CAgent(Common::Env* env = Common::Env::Default());
    CAgent(const CAgent&) = delete;
    CAgent& operator=(const CAgent&) = delete;

    // The service loop: start report, then cycles for ever.
    [[noreturn]] void Run();

    // The request envelope around para, written compactly with a final newline.
    std::string BuildRequest(const std::string& interfaceName, const Json::Value& para);
    // 0 when text parses as JSON into root, -1 otherwise. Library exceptions
    // pass through to the caller.
    static int ParseResponse(Json::Value& root, const std::string& text);

    // One status report, up to five attempts; exits with 255 when undeliverable.
    void SendLogs(const ModuleInfo& module, int status);
    // One state reset; its outcome goes to standard output.
    void ResetState();

    // Settings: set by the constructor only (m_modules aside), read by all.
    int m_checkTime = 0;
    int m_interval = 0;
    int m_timeout = 0;
    int m_osType = 0;
    std::string m_url;
    std::list<ModuleInfo> m_modules;
    int m_useCA = 0;
    std::string m_caPath;
    bool m_isHttps = false;
    std::string m_plainUrl;

private:
    Common::Env* m_env;
};

#endif
