#include "support/proc_status.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

long StatusKiB(const char* key)
{
    std::ifstream in("/proc/self/status");
    std::string line;
    const size_t keyLen = strlen(key);
    while (std::getline(in, line)) {
        if (line.compare(0, keyLen, key) == 0 && line[keyLen] == ':')
            return strtol(line.c_str() + keyLen + 1, nullptr, 10);
    }
    return -1;
}

void ResetPeakRss()
{
    std::ofstream("/proc/self/clear_refs") << "5";
}
