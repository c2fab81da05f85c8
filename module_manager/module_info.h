// One module as the server describes it; moduleId 5 with fileId 15 stands for
// the agent itself in reports.
#ifndef MODULE_MANAGER_MODULE_INFO_H
#define MODULE_MANAGER_MODULE_INFO_H

#include <string>

struct ModuleInfo {
    int moduleId = 0;
    int fileId = 0;
    int failCount = 0; // restarts counted by the health probe
    std::string name;
    std::string installPath;
    std::string uri;
    std::string md5;
};

#endif
