#include "common/open_descriptors.h"

#include <dirent.h>

#include <cstdlib>

namespace Common {

bool OpenDescriptors(std::vector<int>* fds)
{
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        return false;
    const int own = dirfd(dir);
    while (struct dirent* entry = readdir(dir)) {
        char* end = nullptr;
        const long fd = strtol(entry->d_name, &end, 10);
        if (end != entry->d_name && *end == '\0' && fd >= 0 && fd != own)
            fds->push_back(static_cast<int>(fd));
    }
    closedir(dir);
    return true;
}

} // namespace Common
