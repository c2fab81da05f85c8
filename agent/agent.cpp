// The agent object's construction from the settings file.
#include "agent/agent.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "agent/post_exchange.h"
#include "agent/settings.h"
#include "common/logger.h"

namespace {

// A missing file or key must not stop the agent: it is logged once and the
// setting reads as the empty text or 0, like an empty value would.
class SettingsReader {
public:
    SettingsReader()
    {
        FILE* file = fopen(kConfPath, "r");
        if (file == nullptr) {
            m_readable = false;
            Common::CLogger::GetInstance()->Error("can't open settings file %s: %s", kConfPath, strerror(errno));
        } else {
            fclose(file);
        }
    }

    std::string Text(const char* key) const
    {
        const char* value = GetConfValue(kConfPath, key);
        if (value == nullptr) {
            ReportMissing(key);
            return std::string();
        }
        return value;
    }

    int Int(const char* key) const
    {
        if (GetConfValue(kConfPath, key) == nullptr) {
            ReportMissing(key);
            return 0;
        }
        return GetConfInt(kConfPath, key);
    }

private:
    void ReportMissing(const char* key) const
    {
        if (m_readable)
            Common::CLogger::GetInstance()->Error("setting %s missing in %s", key, kConfPath);
    }

    bool m_readable = true;
};

} // namespace

CAgent::CAgent(Common::Env* env) : m_env(env)
{
    Common::CLogger* logger = Common::CLogger::GetInstance();
    SettingsReader settings;

    m_checkTime = settings.Int("checktime");
    if (m_checkTime < 5) {
        logger->Error("invalid check time: %d, use default: 5", m_checkTime);
        m_checkTime = 5;
    }
    m_interval = settings.Int("interval");
    if (m_interval < 60) {
        logger->Error("invalid interval: %d, use default: 60", m_interval);
        m_interval = 60;
    }
    m_osType = GetOsType();
    if (m_osType <= 0) {
        logger->Error("invalid osType: %d", m_osType);
        exit(1);
    }
    m_url = settings.Text("url");
    m_plainUrl = m_url;
    m_timeout = settings.Int("timeout");

    m_isHttps = IsHttpsUrl(m_url);
    if (!m_isHttps) {
        m_useCA = 0;
        return;
    }
    m_useCA = settings.Int("useCA");
    if (m_useCA == 1)
        m_caPath = settings.Text("caPath");
    m_plainUrl = PlainHttpUrl(m_url);
}
