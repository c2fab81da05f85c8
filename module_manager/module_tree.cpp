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

// A path is there to act on when access finds it, or when the path itself
// exists without a reachable target: a dangling symbolic link (or a loop of
// links) goes as a link. When it is absent, errno is the one access gave.
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

// Whether a directory, as statx described it inside dir, is the root of a
// mount: a volume mounted into the module, or a bind mount of the same file
// system. Kernels without the attribute get the device test, which misses
// only the bind mounts.
bool IsMountRoot(int dir, const struct statx& st)
{
    if ((st.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0)
        return (st.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
    struct statx parent;
    return statx(dir, "", AT_EMPTY_PATH, STATX_TYPE, &parent) == 0 &&
           (parent.stx_dev_major != st.stx_dev_major || parent.stx_dev_minor != st.stx_dev_minor);
}

// Logs the one line of a failed delete; the errno it came with.
int DeleteFailed(const char* path, const char* why)
{
    const int error = errno;
    Common::CLogger::GetInstance()->Error("delete %s failed: %s", path, why);
    return error;
}

int RemoveEntries(int dir, const char* name, const char* path);

// Deletes the entry name of the directory dir, and everything below it; path
// is its text for the log lines only. The walk goes by descriptors and never
// follows a link: a directory that a module's own process swaps for a link
// while the walk runs cannot lead it out of the tree (the open or the removal
// of the link fails instead). An entry is looked at once, itself: no link
// target is resolved and no automount triggered, so a link into a hung
// network mount cannot block the agent. A listed entry that is gone by its
// turn (a module's own process tidying its files) is passed over.
int RemoveAt(int dir, const char* name, const char* path, bool listed)
{
    struct statx st;
    if (statx(dir, name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, STATX_TYPE, &st) != 0) {
        if (listed && errno == ENOENT)
            return 0;
        return DeleteFailed(path, "lstat error.");
    }
    if (!S_ISDIR(st.stx_mode))
        return unlinkat(dir, name, 0) == 0 ? 0 : DeleteFailed(path, "remove error");
    // A file system mounted inside is not the module's to empty (a data
    // volume goes along when the module directory becomes its backup): it is
    // never entered, and its removal fails (EBUSY) as the last step would.
    if (!IsMountRoot(dir, st)) {
        const int result = RemoveEntries(dir, name, path);
        if (result != 0)
            return result;
    }
    return unlinkat(dir, name, AT_REMOVEDIR) == 0 ? 0 : DeleteFailed(path, "remove error");
}

// Deletes everything in the directory name of dir, depth first; the first
// failure stops it.
int RemoveEntries(int dir, const char* name, const char* path)
{
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
    // a 4096-byte path allows (2045 levels) would overflow it otherwise. Each
    // level also holds its directory's descriptor, so the open-file limit
    // bounds the depth as well: a little over 1000 levels under the default
    // soft limit of 1024; deeper, the open fails (EMFILE, "opendir error").
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
        result = RemoveAt(fd, entry->d_name, child.data(), true);
        if (result != 0)
            break;
    }
    closedir(entries);
    return result;
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

// The backups of installPath set aside earlier and still there (what their
// deletes could not remove), in no particular order.
std::vector<std::string> DiscardedBackups(const std::string& installPath)
{
    const std::string prefix = BackupPath(installPath) + kDiscardedInfix;
    const size_t slash = prefix.rfind('/');
    const std::string lead = slash == std::string::npos ? "" : prefix.substr(0, slash + 1);
    const std::string start = prefix.substr(lead.size());
    std::vector<std::string> found;
    DIR* dir = opendir(lead.empty() ? "." : lead.c_str());
    if (dir == nullptr)
        return found;
    while (struct dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.size() > start.size() && name.compare(0, start.size(), start) == 0 &&
            name.find_first_not_of("0123456789", start.size()) == std::string::npos)
            found.push_back(lead + name);
    }
    closedir(dir);
    return found;
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
        return RemoveAt(AT_FDCWD, target.c_str(), path, false);
    // The parent is only looked in: no read permission is needed to hold it.
    const std::string parent = slash == 0 ? "/" : target.substr(0, slash);
    const int dir = open(parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return DeleteFailed(path, "lstat error.");
    const int result = RemoveAt(dir, target.c_str() + slash + 1, path, false);
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
    // A backup still there is the last copy that passed its guard (a guard
    // that passes sets the backup aside before it deletes it): an install
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

void CAgent::DiscardBackup(const std::string& installPath)
{
    const std::string backup = BackupPath(installPath);
    // A backup path inside the module directory is never restored: it goes
    // where it is.
    if (!BackupBesideModule(installPath)) {
        RemovePath(backup.c_str());
        return;
    }
    // Set aside first, by one rename in the same directory: whatever its
    // delete cannot remove, and wherever the agent is stopped, nothing of it
    // is left where the next backup would restore it. What earlier deletes
    // left is tried again.
    std::vector<std::string> discarded = DiscardedBackups(installPath);
    if (PathExists(backup.c_str())) {
        unsigned n = 1;
        std::string aside = DiscardedBackupPath(installPath, n);
        while (PathExists(aside.c_str()))
            aside = DiscardedBackupPath(installPath, ++n);
        // A rename that fails leaves it to be deleted where it is: the best
        // chance left that none of it comes back.
        discarded.push_back(MovePath(backup.c_str(), aside.c_str()) == 0 ? aside : backup);
    }
    for (const std::string& path : discarded)
        RemovePath(path.c_str());
}
