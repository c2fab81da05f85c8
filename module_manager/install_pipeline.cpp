// The install pipeline: download, digest check, stop, backup, installer run
// and restart guard, then the module's marker.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "agent/agent.h"
#include "agent/message.h"
#include "common/logger.h"
#include "module_manager/module_paths.h"

namespace {

// The result of an install that failed: the number of the step.
enum InstallStep {
    kStepDownload = 1,
    kStepCheckMd5 = 2,
    kStepStop = 3,
    kStepBackup = 4,
    kStepInstaller = 5,
    kStepGuard = 6,
};

// The restart guard probes the new installation this many times, a minute
// apart, and tolerates this many restarts among them.
constexpr int kGuardProbes = 5;
constexpr int kToleratedRestarts = 3;
constexpr unsigned int kProbeIntervalSeconds = 60;
// A start script's status for "the module was running already".
constexpr int kAlreadyRunning = 1;

constexpr mode_t kModulesDirMode = 0755;
constexpr mode_t kMarkerMode = 0644;

// The marker says that an install of name once passed. An existing one is left
// as it is. The modes are set explicitly, since the umask (the daemon's is 0)
// must not decide them.
void LeaveMarker(const std::string& name)
{
    if (access(kModulesDir, F_OK) != 0 && mkdir(kModulesDir, kModulesDirMode) == 0)
        chmod(kModulesDir, kModulesDirMode);
    const std::string marker = MarkerPath(name);
    if (access(marker.c_str(), F_OK) != 0) {
        const int fd = creat(marker.c_str(), kMarkerMode);
        if (fd >= 0) {
            fchmod(fd, kMarkerMode);
            close(fd);
        }
    }
}

} // namespace

int CAgent::Install(const ModuleInfo& module)
{
    if (Download(module.uri) != 0)
        return kStepDownload;
    if (CheckMd5(module.md5) != 0)
        return kStepCheckMd5;
    if (Stop(module.installPath) != 0)
        return kStepStop;
    if (Backup(module.installPath) != 0)
        return kStepBackup;
    if (RunInstaller(module.installPath) != 0)
        return kStepInstaller;
    if (GuardRestart(module.installPath) != 0)
        return kStepGuard;
    LeaveMarker(module.name);
    SetMessage("install succ.");
    return 0;
}

int CAgent::RunInstaller(const std::string& installPath)
{
    int result = 0;
    if (Execute(kPackagePath) != 0) {
        result = -1;
        Rollback(installPath);
    }
    remove(kPackagePath);
    return result;
}

int CAgent::GuardRestart(const std::string& installPath)
{
    int restarts = 0;
    for (int probe = 0; probe < kGuardProbes; ++probe) {
        if (TryStart(installPath) != kAlreadyRunning && ++restarts > kToleratedRestarts) {
            Stop(installPath);
            Rollback(installPath);
            SetMessage("restart more than 3 times in 5 minute.");
            Common::CLogger::GetInstance()->Error("%s", g_message);
            return -1;
        }
        m_env->SleepSeconds(kProbeIntervalSeconds);
    }
    // From here on the new version is the last that passed its guard.
    DiscardBackup(installPath);
    return 0;
}
