#include "support/private_mounts.h"

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <gtest/gtest.h>

namespace {

bool Fail(const std::string& what)
{
    ADD_FAILURE() << what << ": " << strerror(errno);
    return false;
}

// A working directory keeps the mount it was entered on; entering its path
// again makes relative paths go through what is mounted there now.
void ReenterWorkingDirectory()
{
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) != nullptr && chdir(cwd) != 0) {
        // Covered by the new mount: the caller changes directory itself.
    }
}

} // namespace

bool EnterPrivateMounts()
{
    if (unshare(CLONE_NEWNS) != 0)
        return Fail("unshare(CLONE_NEWNS)");
    if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return Fail("making / private");
    return true;
}

bool BindReadOnly(const std::string& path)
{
    if (mount(path.c_str(), path.c_str(), nullptr, MS_BIND, nullptr) != 0)
        return Fail("bind mount of " + path);
    if (mount(nullptr, path.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) != 0)
        return Fail("read-only remount of " + path);
    ReenterWorkingDirectory();
    return true;
}

bool Bind(const std::string& source, const std::string& target)
{
    if (mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0)
        return Fail("bind mount of " + source + " on " + target);
    ReenterWorkingDirectory();
    return true;
}

bool MountTmpfs(const std::string& path, size_t bytes)
{
    const std::string options = "size=" + std::to_string(bytes) + ",mode=0755";
    if (mount("tmpfs", path.c_str(), "tmpfs", 0, options.c_str()) != 0)
        return Fail("tmpfs on " + path);
    ReenterWorkingDirectory();
    return true;
}
