// The command runner and the module administration scripts it runs: start
// probe, stop and uninstall, each under the module's directory.
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "agent/agent.h"
#include "agent/message.h"
#include "common/logger.h"
#include "module_manager/module_paths.h"

namespace {

// A command that a signal ended has no exit status of its own. It gets
// -(128 + signal): negative, so the health probe does not count it as a
// restart, never 0, so stop, installer and restart guard fail on it, and
// unlike a shell's 128 + signal never mistaken for an exit status.
int SignalResult(int signal)
{
    return -(128 + signal);
}

} // namespace

int CAgent::Execute(const char* command)
{
    const int status = m_env->System(command);
    int result;
    if (status == -1)
        result = errno != 0 ? -errno : -1; // never a failure that reads as 0
    else if (WIFEXITED(status))
        result = WEXITSTATUS(status);
    else
        result = SignalResult(WTERMSIG(status));
    SetMessage("execute %s, ret = %d", command, result);
    Common::CLogger::GetInstance()->Info("%s", g_message);
    return result;
}

int CAgent::TryStart(const std::string& installPath)
{
    return Execute(ShellCommand(installPath + kTryStartScript).c_str());
}

int CAgent::Stop(const std::string& installPath)
{
    const std::string script = installPath + kStopScript;
    if (access(script.c_str(), X_OK) == 0 && Execute(ShellCommand(script).c_str()) != 0)
        return -1;
    m_env->SleepSeconds(2);
    return 0;
}

int CAgent::Uninstall(const std::string& installPath)
{
    return Execute(ShellCommand(installPath + kUninstallScript).c_str());
}
