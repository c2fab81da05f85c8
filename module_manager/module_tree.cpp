// Module directory operations: the recursive delete, the move that clears its
// destination first, and the backup and rollback of a module directory built
// on them. A failure is logged once, where it happened, and its errno is what
// every level above returns.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
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

// Whether the directory open as fd, an entry of dir, is the root of a mount:
// a volume mounted into the module, or a bind mount of the same file system.
// Asked of the directory as it was opened, so that a mount made since the
// look is seen too. Kernels without the attribute get the device test, which
// misses only the bind mounts.
bool IsMountRoot(int dir, int fd)
{
    struct statx st;
    if (statx(fd, "", AT_EMPTY_PATH, STATX_TYPE, &st) != 0)
        return true; // not known to be the module's own: never entered
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

// What rmdir answers for a path that names no entry of a directory (its
// trailing "/" and "/." dropped): ".." (ENOTEMPTY), "." (EINVAL), "/"
// (EBUSY); 0 for a path that names one. Emptied, such a path would take the
// directory that holds the module, or the agent's own, with it.
int NamesNoEntry(const std::string& target)
{
    if (target == "/")
        return EBUSY;
    const std::string last = LastComponent(target);
    if (last == "..")
        return ENOTEMPTY;
    return last == "." ? EINVAL : 0;
}

int RemoveEntries(int dir, const char* name, const char* path, bool listed);

// Deletes the entry name of the directory dir, and everything below it; path
// is its text for the log lines only. The walk goes by descriptors and never
// follows a link: a directory that a module's own process swaps for a link
// while the walk runs cannot lead it out of the tree (the open or the removal
// of the link fails instead). An entry is looked at once, itself: no link
// target is resolved and no automount triggered, so a link into a hung
// network mount cannot block the agent. A listed entry that is gone by its
// turn (a module's own process tidying its files), or that lies beyond the
// agent's reach (in a directory it may not search), is passed over, as an
// existence test would pass it over.
int RemoveAt(int dir, const char* name, const char* path, bool listed)
{
    struct statx st;
    if (statx(dir, name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, STATX_TYPE, &st) != 0) {
        if (listed && (errno == ENOENT || errno == EACCES))
            return 0;
        return DeleteFailed(path, "lstat error.");
    }
    const bool directory = S_ISDIR(st.stx_mode);
    if (directory) {
        const int result = RemoveEntries(dir, name, path, listed);
        if (result != 0)
            return result;
    }
    if (unlinkat(dir, name, directory ? AT_REMOVEDIR : 0) == 0 || (listed && errno == ENOENT))
        return 0;
    return DeleteFailed(path, "remove error");
}

// Deletes everything in the directory name of dir, depth first; the first
// failure stops it. A file system mounted there is not the module's to empty
// (a data volume goes along when the module directory becomes its backup):
// it is never entered, and its removal fails (EBUSY) as the last step would.
int RemoveEntries(int dir, const char* name, const char* path, bool listed)
{
    const int fd = openat(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return listed && errno == ENOENT ? 0 : DeleteFailed(path, "opendir error");
    if (IsMountRoot(dir, fd)) {
        close(fd);
        return 0;
    }
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

// The text of installPath up to its last "/" with it: where its backup and
// the names it is set aside under lie ("" for the working directory).
std::string Lead(const std::string& installPath)
{
    const size_t slash = installPath.rfind('/');
    return slash == std::string::npos ? "" : installPath.substr(0, slash + 1);
}

// The longest name that the directory of installPath's backup takes.
size_t NameMaxBeside(const std::string& installPath)
{
    const std::string lead = Lead(installPath);
    const long limit = pathconf(lead.empty() ? "." : lead.c_str(), _PC_NAME_MAX);
    return limit > 0 ? static_cast<size_t>(limit) : NAME_MAX;
}

// The backups of installPath set aside earlier and still there (what their
// deletes could not remove), in no particular order.
std::vector<std::string> DiscardedBackups(const std::string& installPath, size_t nameMax)
{
    const std::string lead = Lead(installPath);
    std::vector<std::string> found;
    DIR* dir = opendir(lead.empty() ? "." : lead.c_str());
    if (dir == nullptr)
        return found;
    while (struct dirent* entry = readdir(dir)) {
        if (IsDiscardedBackupName(installPath, entry->d_name, nameMax))
            found.push_back(lead + entry->d_name);
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
    const std::string target = WithoutTrailingSlashes(path);
    const int refused = NamesNoEntry(target);
    if (refused != 0) {
        errno = refused;
        return DeleteFailed(path, "remove error");
    }
    const size_t slash = target.rfind('/');
    if (slash == std::string::npos)
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
    // The backup beside the directory, whatever form the text names it in
    // ("m/" and "m/." are "m", whose backup an install of "m" would put
    // back), is set aside first, by one rename in the same directory:
    // whatever its delete cannot remove, and wherever the agent is stopped
    // from here on, nothing of it is left where the next backup would restore
    // it. What earlier deletes left is tried again.
    std::vector<std::string> discarded;
    const std::string directory = ModuleDirectory(installPath);
    if (!directory.empty()) {
        const std::string backup = BackupPath(directory);
        const size_t nameMax = NameMaxBeside(directory);
        discarded = DiscardedBackups(directory, nameMax);
        if (PathExists(backup.c_str())) {
            unsigned n = 1;
            std::string aside = DiscardedBackupPath(directory, n, nameMax);
            while (PathExists(aside.c_str()))
                aside = DiscardedBackupPath(directory, ++n, nameMax);
            // A rename that fails leaves it to be deleted where it is: the
            // best chance left that none of it comes back.
            discarded.push_back(MovePath(backup.c_str(), aside.c_str()) == 0 ? aside : backup);
        }
    }
    // A backup path inside the module directory is never restored: it goes
    // where it is.
    if (!BackupBesideModule(installPath))
        discarded.push_back(BackupPath(installPath));
    for (const std::string& path : discarded)
        RemovePath(path.c_str());
}
