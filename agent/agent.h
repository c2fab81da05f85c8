// The agent object: the settings read once at start-up, the watched modules,
// and the server interfaces, module actions and service loop that use them.
#ifndef AGENT_AGENT_H
#define AGENT_AGENT_H

#include <functional>
#include <list>
#include <string>

#include <json/value.h>

#include "common/env.h"
#include "module_manager/module_info.h"

struct ResponseBuffer;

class CAgent {
public:
    // Reads "../etc/base.conf" and applies the minimums of checktime/interval
    // (agent.cpp).
    explicit CAgent(Common::Env* env = Common::Env::Default());
    CAgent(const CAgent&) = delete;
    CAgent& operator=(const CAgent&) = delete;

    // ---- Service loop (agent/service_loop.cpp) ----
    // Start report, then cycles for ever.
    [[noreturn]] void Run();

    // ---- Request envelope and answers (agent/request.cpp) ----
    // The request envelope around para, written compactly with a final newline.
    std::string BuildRequest(const std::string& interfaceName, const Json::Value& para);
    // 0 when text parses as JSON into root, -1 otherwise. Library exceptions
    // pass through to the caller.
    static int ParseResponse(Json::Value& root, const std::string& text);
    // The text of a request that identifies the machine ("SendLogs",
    // "ResetState", "CheckModules"): para opens with "uuid" (whose first
    // look-up may end the process) and "mac", then addMembers adds the
    // interface's own members.
    std::string BuildIdentifiedRequest(const std::string& interfaceName,
                                       const std::function<void(Json::Value&)>& addMembers);

    // ---- Status report and state reset (agent/status_report.cpp) ----
    // One status report, up to five attempts; exits with 255 when undeliverable.
    void SendLogs(const ModuleInfo& module, int status);
    // One state reset; its outcome goes to standard output.
    void ResetState();

    // ---- Module reconciliation (module_manager/check_modules.cpp) ----
    // One "CheckModules" pass: 0 when the answer was applied to its end, -1
    // otherwise; a failed transfer ends the process with status 1.
    int CheckModules();
    // The pass after its transfer: reads the answer in body, creates the
    // "firstRun" marker once it parsed when the request carried firstRun 1,
    // and on success rebuilds m_modules item by item, installing and
    // uninstalling as ordered. 0 or -1, as CheckModules.
    int ApplyModulesAnswer(const ResponseBuffer& body, int firstRun);
    // 1 when "../modules/<name>" exists, 0 when not, -1 without "../modules/".
    int IsInstalled(const std::string& name);

    // ---- Health probe (module_manager/watch_modules.cpp) ----
    // Probes every watched module once; reinstalls one on its third restart.
    void WatchModules();

    // ---- Install pipeline (module_manager/install_pipeline.cpp, package.cpp) ----
    // 0, or the step (1 to 6) that failed.
    int Install(const ModuleInfo& module);
    int Download(const std::string& uri);
    int CheckMd5(const std::string& md5);
    int RunInstaller(const std::string& installPath);
    int GuardRestart(const std::string& installPath);

    // ---- Module scripts and command runner (module_manager/command_runner.cpp) ----
    // The command's exit status, or a negative number when it could not run
    // or did not exit; always leaves "execute %s, ret = %d" in g_message and
    // the log.
    int Execute(const char* command);
    int TryStart(const std::string& installPath);
    int Stop(const std::string& installPath);
    int Uninstall(const std::string& installPath);

    // ---- Module directory operations (module_manager/module_tree.cpp) ----
    // 0, or the errno of the call that failed.
    int RemovePath(const char* path);
    int RemoveTree(const char* path);
    int MovePath(const char* src, const char* dst);
    // 0 or -1.
    int Backup(const std::string& installPath);
    void Rollback(const std::string& installPath);
    // Deletes the backup so that nothing of it is ever restored: a backup
    // path inside the module goes where it is; the backup beside the
    // directory that the text names ("m" for "m/" and "m/." too) is first
    // renamed aside ("<backup>.discarded.<n>", cut to fit), and what earlier
    // such deletes left is deleted again. Failures are logged only.
    void DiscardBackup(const std::string& installPath);

    // ---- Settings: set by the constructor only (m_modules aside), read by all ----
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
