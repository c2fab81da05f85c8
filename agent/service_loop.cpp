// The agent's life after start-up: one start report, then cycles for ever.
#include <cstdint>

#include "agent/agent.h"
#include "agent/message.h"
#include "common/logger.h"

void CAgent::Run()
{
    Common::CLogger::GetInstance()->Info("Quillmar Agent begin to run, request url: %s", m_url.c_str());
    SetMessage("%s", "qmagent starting.");

    ModuleInfo self;
    self.moduleId = 5;
    self.fileId = 15;
    SendLogs(self, 0);

    // m_checkTime is at least 5 (the constructor's minimum).
    const std::uint64_t checkEvery = static_cast<std::uint64_t>(m_checkTime);
    for (std::uint64_t cycle = 0;; ++cycle) {
        if (cycle % checkEvery == 0)
            CheckModules();
        WatchModules();
        // Not shortened by the time the cycle's work took.
        m_env->SleepSeconds(static_cast<unsigned int>(m_interval));
    }
}
