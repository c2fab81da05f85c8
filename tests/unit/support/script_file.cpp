#include "support/script_file.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#include <gtest/gtest.h>

namespace {

bool MakeParents(const std::string& path)
{
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        const std::string dir = path.substr(0, slash);
        if (mkdir(dir.c_str(), 0755) == 0) {
            if (chmod(dir.c_str(), 0755) != 0) {
                ADD_FAILURE() << "chmod " << dir << ": " << strerror(errno);
                return false;
            }
        } else if (errno != EEXIST) {
            ADD_FAILURE() << "mkdir " << dir << ": " << strerror(errno);
            return false;
        }
    }
    return true;
}

} // namespace

bool WriteScript(const std::string& path, const std::string& body, mode_t mode)
{
    if (!MakeParents(path))
        return false;
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << "#!/bin/sh\n" << body;
        if (!out.flush()) {
            ADD_FAILURE() << "cannot write " << path;
            return false;
        }
    }
    if (chmod(path.c_str(), mode) != 0) {
        ADD_FAILURE() << "chmod " << path << ": " << strerror(errno);
        return false;
    }
    return true;
}
