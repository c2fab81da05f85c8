// Module directory operations: the recursive delete, the move that clears its
// destination first, and the backup and rollback of a module directory built
// on them. A failure is logged once, where it happened, and its errno is what
// every level above returns.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "agent/agent.h"
#include "agent/message.h"
#include "common/logger.h"
#include "module_manager/module_paths.h"

namespace {

// Joined paths are bounded like every path the agent forms.
constexpr size_t kMaxPath = 4096;

// A path is there to act on when access finds it, or when the path itself
// exists without a reachable target: a dangling symbolic link (or a loop of
// links) is an entry of its directory like any other and goes as a link.
// Left out, it would keep its directory from ever being removed. When the
// path is absent, errno is the one access gave.
bool PathExists(const char* path)
{
    if (access(path, F_OK) == 0)
        return true;
    const int error = errno;
    struct stat st;
    if (lstat(path, &st) == 0)
        return true;
    errno = error;
    return false;
}

} // namespace

int CAgent::RemovePath(const char* path)
{
    if (!PathExists(path))
        return 0;
    return RemoveTree(path);
}

int CAgent::RemoveTree(const char* path)
{
    Common::CLogger* logger = Common::CLogger::GetInstance();
    struct stat st;
    if (lstat(path, &st) != 0) {
        const int error = errno;
        logger->Error("delete %s failed: lstat error.", path);
        return error;
    }
    if (!S_ISDIR(st.st_mode)) {
        if (remove(path) != 0) {
            const int error = errno;
            logger->Error("delete %s failed: remove error", path);
            return error;
        }
        return 0;
    }
    DIR* dir = opendir(path);
    if (dir == nullptr) {
        const int error = errno;
        logger->Error("delete %s failed: opendir error", path);
        return error;
    }
    // This level's child path lives off the stack: a tree nested as deep as
    // a 4096-byte path allows (some 2000 levels) would overflow it otherwise.
    std::vector<char> child(kMaxPath);
    int result = 0;
    while (struct dirent* entry = readdir(dir)) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0)
            continue;
        const int length = snprintf(child.data(), child.size(), "%s/%s", path, entry->d_name);
        // A cut path would name something else (up to the directory itself).
        if (length < 0 || static_cast<size_t>(length) >= child.size()) {
            logger->Error("delete %s failed: path too long", path);
            result = ENAMETOOLONG;
            break;
        }
        result = RemovePath(child.data());
        if (result != 0)
            break;
    }
    closedir(dir);
    if (result != 0)
        return result;
    if (remove(path) != 0) {
        const int error = errno;
        logger->Error("delete %s failed: remove error", path);
        return error;
    }
    return 0;
}

int CAgent::MovePath(const char* src, const char* dst)
{
    Common::CLogger* logger = Common::CLogger::GetInstance();
    const int cleared = RemovePath(dst);
    if (cleared != 0) {
        logger->Error("move failed, rmdir %s error.", dst);
        return cleared;
    }
    // The same test as the delete's: a dangling link is moved as the link.
    if (!PathExists(src)) {
        logger->Info("access(%s): %s", src, strerror(errno));
        return 0;
    }
    if (rename(src, dst) != 0) {
        const int error = errno;
        logger->Error("move from %s to %s failed: rename error", src, dst);
        return error;
    }
    return 0;
}

int CAgent::Backup(const std::string& installPath)
{
    const std::string backup = BackupPath(installPath);
    const int result = MovePath(installPath.c_str(), backup.c_str());
    if (result == 0) {
        Common::CLogger::GetInstance()->Info("backup %s succ.", installPath.c_str());
        return 0;
    }
    SetMessage("backup %s failed, errno = %d", installPath.c_str(), result);
    Common::CLogger::GetInstance()->Error("%s", g_message);
    return -1;
}

void CAgent::Rollback(const std::string& installPath)
{
    const std::string backup = BackupPath(installPath);
    if (MovePath(backup.c_str(), installPath.c_str()) == 0)
        Common::CLogger::GetInstance()->Info("roll back %s succ.", installPath.c_str());
    else
        Common::CLogger::GetInstance()->Error("roll back %s failed.", installPath.c_str());
}
