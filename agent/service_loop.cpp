// The agent's life after start-up: one start report, then cycles for ever.
#include <cstdint>
#include <cstring>

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

    for (std::uint64_t cycle = 0;; ++cycle) {
        // Module reconciliation (cycle 0 and every m_checkTime-th after it)
        // and the health probe of every cycle come before this sleep.
        m_env->SleepSeconds(static_cast<unsigned int>(m_interval));
    }
}
