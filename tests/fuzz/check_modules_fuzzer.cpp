// libFuzzer target: any response body through the answer handling of the
// "CheckModules" pass, the item walk included. The install pipeline, the
// uninstall script, the backup's discard and the status report are defined
// here instead, for this link only (CMakeLists.txt builds the target from the
// pass's own sources and the agent core), so nothing runs a shell, deletes a
// file or sends a request. They check what the walk hands them.
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "agent/agent.h"
#include "agent/message.h"
#include "agent/response_buffer.h"

namespace {

char g_area[] = "/tmp/quillmar-fuzz-XXXXXX";

bool HasNul(const std::string& text)
{
    return text.find('\0') != std::string::npos;
}

void CheckRecord(const ModuleInfo& module)
{
    // Every text a C call will see must be whole.
    if (HasNul(module.name) || HasNul(module.installPath) || HasNul(module.uri) || HasNul(module.md5))
        abort();
}

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*)
{
    return remove(path);
}

void RemoveArea()
{
    nftw(g_area, RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

// An installation root of its own: the agent's log, "../modules/" with the
// marker "a", and "firstRun" all stay inside it.
void EnterRoot()
{
    if (mkdtemp(g_area) == nullptr)
        abort();
    atexit(RemoveArea);
    const std::string root = std::string(g_area) + "/root";
    for (const char* dir : {"", "/bin", "/etc", "/logs", "/modules"})
        mkdir((root + dir).c_str(), 0755);
    FILE* conf = fopen((root + "/etc/base.conf").c_str(), "w");
    FILE* marker = fopen((root + "/modules/a").c_str(), "w");
    if (conf == nullptr || marker == nullptr || chdir((root + "/bin").c_str()) != 0)
        abort();
    fputs("checktime=5\ninterval=60\nurl=http://127.0.0.1:1/quillmar\ntimeout=1\n", conf);
    fclose(conf);
    fclose(marker);
}

// The agent resolves its paths against the working directory, so the target
// works inside a root of its own. libFuzzer reads its arguments only after
// this hook, so relative paths among them (corpus directories, the
// dictionary, artifacts) are made absolute first, and artifacts go to the
// directory the fuzzer was started in unless a prefix is given.
void MakePathsAbsolute(int* argc, char*** argv)
{
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) == nullptr)
        abort();
    static std::vector<std::string> texts;
    static std::vector<char*> args;
    texts.reserve(*argc + 1);
    bool prefixGiven = false;
    for (int i = 0; i < *argc; ++i) {
        std::string arg = (*argv)[i];
        std::string::size_type value = 0;
        for (const char* flag : {"-dict=", "-artifact_prefix=", "-exact_artifact_path=", "-features_dir=",
                                 "-merge_control_file="}) {
            if (arg.compare(0, strlen(flag), flag) == 0)
                value = strlen(flag);
        }
        prefixGiven = prefixGiven || arg.compare(0, 17, "-artifact_prefix=") == 0;
        if (i > 0 && (value > 0 || arg[0] != '-') && arg.size() > value && arg[value] != '/')
            arg.insert(value, std::string(cwd) + "/");
        texts.push_back(arg);
    }
    if (!prefixGiven)
        texts.push_back(std::string("-artifact_prefix=") + cwd + "/");
    for (std::string& text : texts)
        args.push_back(&text[0]);
    args.push_back(nullptr);
    *argc = static_cast<int>(texts.size());
    *argv = args.data();
}

} // namespace

int CAgent::Install(const ModuleInfo& module)
{
    CheckRecord(module);
    SetMessage("install %s", module.name.c_str());
    // Every result of the pipeline: 0, or the failing step.
    return static_cast<unsigned>(module.fileId) % 7;
}

int CAgent::Uninstall(const std::string& installPath)
{
    if (HasNul(installPath))
        abort();
    SetMessage("execute %s/admin/uninstall.sh, ret = 0", installPath.c_str());
    return 0;
}

void CAgent::DiscardBackup(const std::string& installPath)
{
    if (HasNul(installPath))
        abort();
}

void CAgent::SendLogs(const ModuleInfo& module, int status)
{
    CheckRecord(module);
    if (status < -2 || status > 6)
        abort();
}

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    MakePathsAbsolute(argc, argv);
    EnterRoot();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static CAgent* agent = new CAgent; // lives as long as the logger it uses
    ResponseBuffer buffer;
    // Deliver the body in two chunks, as a network read may split it.
    const size_t half = size / 2;
    WriteToMemory(const_cast<uint8_t*>(data), 1, half, &buffer);
    WriteToMemory(const_cast<uint8_t*>(data + half), 1, size - half, &buffer);
    const int result = agent->ApplyModulesAnswer(buffer, static_cast<int>(size & 1));
    if (result != 0 && result != -1)
        abort();
    for (const ModuleInfo& module : agent->m_modules) {
        CheckRecord(module);
        if (module.failCount != 0)
            abort();
    }
    return 0;
}
