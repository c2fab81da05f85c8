// Module directory operations: the recursive delete, the move that clears its
// destination first, and the backup and rollback of a module directory built
// on them. A failure is logged once, where it happened, and its errno is what
// every level above returns.
#include <dirent.h>
#include <fcntl.h>
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

// An entry is there to act on when access finds it, or when the entry itself
// exists without a reachable target: a dangling symbolic link (or a loop of
// links) is an entry of its directory like any other and goes as a link.
// Left out, it would keep its directory from ever being removed. When the
// entry is absent, errno is the one access gave.
bool ExistsAt(int dir, const char* name)
{
    if (faccessat(dir, name, F_OK, 0) == 0)
        return true;
    const int error = errno;
    struct stat st;
    if (fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0)
        return true;
    errno = error;
    return false;
}

bool PathExists(const char* path)
{
    return ExistsAt(AT_FDCWD, path);
}

// Logs the one line of a failed delete; the errno it came with.
int DeleteFailed(const char* path, const char* why)
{
    const int error = errno;
    Common::CLogger::GetInstance()->Error("delete %s failed: %s", path, why);
    return error;
}

// Deletes the entry name of the directory dir, and everything below it; path
// is its text for the log lines only. The walk goes by descriptors and never
// follows a link: a directory that a module's own process swaps for a link
// while the walk runs cannot lead it out of the tree (the open or the removal
// of the link fails instead).
int RemoveAt(int dir, const char* name, const char* path)
{
    struct stat st;
    if (fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return DeleteFailed(path, "lstat error.");
    if (!S_ISDIR(st.st_mode))
        return unlinkat(dir, name, 0) == 0 ? 0 : DeleteFailed(path, "remove error");
    const int fd = openat(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return DeleteFailed(path, "opendir error");
    DIR* entries = fdopendir(fd);
    if (entries == nullptr) {
        const int error = DeleteFailed(path, "opendir error");
        close(fd);
        return error;
    }
    // This level's child path lives off the stack: a tree nested as deep as
    // a 4096-byte path allows (some 2000 levels) would overflow it otherwise.
    std::vector<char> child(kMaxPath);
    int result = 0;
    while (struct dirent* entry = readdir(entries)) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0)
            continue;
        const int length = snprintf(child.data(), child.size(), "%s/%s", path, entry->d_name);
        // A cut path would name something else (up to the directory itself).
        if (length < 0 || static_cast<size_t>(length) >= child.size()) {
            errno = ENAMETOOLONG;
            result = DeleteFailed(path, "path too long");
            break;
        }
        // Passed over as the top path would be: gone since the listing, say.
        if (!ExistsAt(fd, entry->d_name))
            continue;
        result = RemoveAt(fd, entry->d_name, child.data());
        if (result != 0)
            break;
    }
    closedir(entries);
    if (result != 0)
        return result;
    return unlinkat(dir, name, AT_REMOVEDIR) == 0 ? 0 : DeleteFailed(path, "remove error");
}

// The backup lies beside the module directory only when the text's last
// component names that directory; after "m/", "m/." or "m/.." it lies inside
// the directory that the text names.
bool BackupBesideModule(const std::string& installPath)
{
    const size_t slash = installPath.rfind('/');
    const std::string last = slash == std::string::npos ? installPath : installPath.substr(slash + 1);
    return !last.empty() && last != "." && last != "..";
}

// Moves the backup back over the module directory and logs the outcome; the
// move's result.
int RestoreBackup(CAgent& agent, const std::string& installPath)
{
    const int result = agent.MovePath(BackupPath(installPath).c_str(), installPath.c_str());
    if (result == 0)
        Common::CLogger::GetInstance()->Info("roll back %s succ.", installPath.c_str());
    else
        Common::CLogger::GetInstance()->Error("roll back %s failed.", installPath.c_str());
    return result;
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
    // What is deleted is the last component, never what it links to: "X/"
    // and "X/." name the link X itself here (lstat would resolve them). A
    // parent that cannot be opened fails as the lstat of the path would.
    std::string target = path;
    while (target.size() > 1) {
        if (target.back() == '/' || target.compare(target.size() - 2, 2, "/.") == 0)
            target.pop_back();
        else
            break;
    }
    const size_t slash = target.rfind('/');
    if (slash == std::string::npos || target.size() == 1)
        return RemoveAt(AT_FDCWD, target.c_str(), path);
    // The parent is only looked in: no read permission is needed to hold it.
    const std::string parent = slash == 0 ? "/" : target.substr(0, slash);
    const int dir = open(parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return DeleteFailed(path, "lstat error.");
    const int result = RemoveAt(dir, target.c_str() + slash + 1, path);
    close(dir);
    return result;
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
    // A backup still there is the last copy that passed its guard: an install
    // ended before it finished (the agent killed, or a rollback stopped
    // half-way), and the module directory holds what it left. The backup
    // comes back first, so that moving the directory aside never deletes it.
    int result = 0;
    if (BackupBesideModule(installPath) && PathExists(backup.c_str()))
        result = RestoreBackup(*this, installPath);
    if (result == 0)
        result = MovePath(installPath.c_str(), backup.c_str());
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
    RestoreBackup(*this, installPath);
}
