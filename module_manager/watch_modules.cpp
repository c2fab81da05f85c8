// The health probe of every cycle: each watched module that counts as
// installed is started if it is not running; the third probe that had to
// start it reinstalls it and reports the outcome.
#include "agent/agent.h"
#include "agent/message.h"

void CAgent::WatchModules()
{
    for (ModuleInfo& module : m_modules) {
        if (IsInstalled(module.name) == 0)
            continue;
        const int result = TryStart(module.installPath);
        // 1: it was running; negative: the script could not be run.
        if (result == 1 || result < 0)
            continue;
        // Only the third counted probe since the list was rebuilt reinstalls.
        if (++module.failCount != 3)
            continue;
        int status = -1;
        if (Install(module) == 0) {
            SetMessage("%s", "reinstall succ.");
            status = 0;
        }
        SendLogs(module, status);
    }
}
