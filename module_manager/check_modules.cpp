// "CheckModules", the reconciliation pass: tells the server which watched
// modules are installed, carries out its orders one item at a time and
// rebuilds the watched list from its answer.
#include <malloc.h>
#include <unistd.h>

#include <cstdlib>
#include <exception>
#include <string>

#include "agent/agent.h"
#include "agent/answer.h"
#include "agent/envelope.h"
#include "agent/identity.h"
#include "agent/post_exchange.h"
#include "common/logger.h"
#include "module_manager/module_item.h"
#include "module_manager/module_paths.h"

namespace {

// The agent itself: an item that keeps it is neither watched nor reported.
const int kAgentModuleId = 5;

// The item of "unknow status: %d, data: %s" as the pass read it: compact
// JSON, keys in byte order, the members it lacked shown as null, no trailing
// newline.
std::string ItemData(const Json::Value& item)
{
    std::string text = WriteCompact(item);
    text.pop_back();
    return text;
}

// Hands the heap that a pass freed back to the system when the pass
// returns. The answer's text and JSON tree run to several times the
// answer's size, and glibc keeps freed pages for reuse: the agent would
// sleep holding them until the next pass.
struct TrimHeapOnReturn {
    ~TrimHeapOnReturn() { malloc_trim(0); }
};

} // namespace

int CAgent::IsInstalled(const std::string& name)
{
    if (access(kModulesDir, F_OK) != 0)
        return -1;
    return access(MarkerPath(name).c_str(), F_OK) == 0 ? 1 : 0;
}

int CAgent::CheckModules()
{
    // First, so that it runs last: after the answer, the body and the handle
    // are gone.
    TrimHeapOnReturn trim;
    Common::CLogger* logger = Common::CLogger::GetInstance();
    PostExchange exchange;
    if (!exchange.HasHandle()) {
        logger->Error("check modules error: curl_easy_init() fail.");
        return -1;
    }
    int firstRun = 0;
    exchange.Setup(m_url, m_timeout, BuildIdentifiedRequest("CheckModules", [&](Json::Value& para) {
                       para["osType"] = m_osType;
                       firstRun = IsFirstRun();
                       para["firstRun"] = firstRun;
                       for (const ModuleInfo& module : m_modules)
                           para[IsInstalled(module.name) != 0 ? "installed" : "uninstalled"].append(module.moduleId);
                   }),
                   m_isHttps, m_useCA, m_caPath);
    const CURLcode rc = exchange.Perform();
    if (rc != CURLE_OK) {
        // The logger's exit handler writes this line before the process ends.
        logger->Error("check modules error: %s.", curl_easy_strerror(rc));
        exit(1);
    }
    return ApplyModulesAnswer(exchange.Buffer(), firstRun);
}

int CAgent::ApplyModulesAnswer(const ResponseBuffer& body, int firstRun)
{
    Common::CLogger* logger = Common::CLogger::GetInstance();
    Answer answer = ReadAnswer(body);
    // Any answer that parsed counts as heard, a refusal or a non-object too.
    if (answer.parsed && firstRun != 0)
        SetFirstRunDone();
    switch (answer.outcome) {
    case Answer::kNoText:
        logger->Error("check modules error: received from http fail.");
        return -1;
    case Answer::kRefused:
        logger->Error("check modules error, retcode : %d, msg : %s.", answer.code, answer.msg.c_str());
        return -1;
    case Answer::kInvalid:
        logger->Error("check modules error, response: %s, exception: %s.", answer.text.data(),
                      answer.error.c_str());
        return -1;
    case Answer::kSuccess:
        break;
    }

    try {
        m_modules.clear();
        Json::Value& items = AnswerMember(answer.root, "returnData");
        ModuleInfo record;
        // The count is read again before every item, as servers have seen it.
        for (Json::ArrayIndex i = 0; i < items.size(); ++i) {
            Json::Value& item = items[i];
            const int status = ReadModuleItem(item, record);
            logger->Info("module.installPath:%s", record.installPath.c_str());
            switch (status) {
            case 0:
                if (record.moduleId != kAgentModuleId)
                    m_modules.push_back(record);
                break;
            case 1:
                SendLogs(record, Install(record));
                if (IsInstalled(record.name) == 1)
                    m_modules.push_back(record);
                break;
            case -1:
                // The directory as sent, not normalised.
                Uninstall(ItemText(item, "installPath"));
                // The module's history ends here: a backup left by an install
                // cut short must not come back with a later install. Only the
                // backup beside the directory goes, whatever form the text
                // names it in; nothing inside the module is touched.
                if (const std::string directory = ModuleDirectory(record.installPath); !directory.empty())
                    DiscardBackup(directory);
                SendLogs(record, -2);
                break;
            default:
                logger->Error("unknow status: %d, data: %s", status, ItemData(item).c_str());
                break;
            }
        }
    } catch (const std::exception& e) {
        logger->Error("check modules error, response: %s, exception: %s.", answer.text.data(), e.what());
        return -1;
    }
    logger->Info("check modules succ.");
    return 0;
}
