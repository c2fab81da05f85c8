// Module directory operations over real trees: what each call returns, the
// lines it logs, g_message, and the tree it leaves. Failures are provoked for
// real in a forked child: read-only bind mounts (EROFS) in a private mount
// namespace, bind mounts inside a tree (which a delete never enters), root
// without its file-mode override (EACCES), an append-only directory, and a
// directory swapped for a link, entries removed or a mount made while a
// delete runs (through the delete's own calls, interposed below).
#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "agent/agent.h"
#include "agent/message.h"
#include "common/logger.h"
#include "common/open_descriptors.h"
#include "support/child_log.h"
#include "support/dac_capabilities.h"
#include "support/file_checks.h"
#include "support/private_mounts.h"
#include "support/temp_root.h"

namespace {

// Settings that the agent reads without a complaint in the log.
const char* const kConf = "checktime=5\ninterval=60\nurl=http://127.0.0.1:9/\ntimeout=5\n";
const char* const kUntouched = "left from before";
// Every tree of a case lies under this directory.
const std::string kTree = "../t";

// Lays out entries under kTree, in order: "d/" a directory, "f=text" a file,
// "l->target" a symbolic link; " 0300" at the end of an entry sets its mode,
// once everything is in place.
void Build(const std::vector<std::string>& entries)
{
    ASSERT_EQ(mkdir(kTree.c_str(), 0755), 0);
    std::vector<std::pair<std::string, mode_t>> modes;
    for (std::string entry : entries) {
        const size_t blank = entry.rfind(' ');
        if (blank != std::string::npos && entry.find("->") == std::string::npos) {
            modes.emplace_back(kTree + "/" + entry.substr(0, blank), std::stoul(entry.substr(blank + 1), nullptr, 8));
            entry.resize(blank);
        }
        const size_t arrow = entry.find("->");
        const size_t equals = entry.find('=');
        const std::string path = kTree + "/" + entry.substr(0, std::min(arrow, equals));
        if (arrow != std::string::npos)
            ASSERT_EQ(symlink(entry.substr(arrow + 2).c_str(), path.c_str()), 0) << entry;
        else if (equals != std::string::npos)
            std::ofstream(path, std::ios::binary) << entry.substr(equals + 1);
        else
            ASSERT_EQ(mkdir(path.c_str(), 0755), 0) << entry;
    }
    for (const auto& mode : modes)
        ASSERT_EQ(chmod(mode.first.c_str(), mode.second), 0) << mode.first;
}

// What lies under dir, in the notation of Build (without modes), sorted.
void List(const std::string& dir, const std::string& prefix, std::vector<std::string>* out)
{
    DIR* d = opendir(dir.c_str());
    if (d == nullptr)
        return;
    while (struct dirent* entry = readdir(d)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        const std::string path = dir + "/" + name;
        struct stat st;
        if (lstat(path.c_str(), &st) != 0) {
            out->push_back(prefix + name + " (lstat failed)");
        } else if (S_ISLNK(st.st_mode)) {
            char target[4096] = {};
            if (readlink(path.c_str(), target, sizeof target - 1) < 0)
                target[0] = '?';
            out->push_back(prefix + name + "->" + target);
        } else if (S_ISDIR(st.st_mode)) {
            out->push_back(prefix + name + "/");
            List(path, prefix + name + "/", out);
        } else {
            out->push_back(prefix + name + "=" + ReadFileBytes(path));
        }
    }
    closedir(d);
    std::sort(out->begin(), out->end());
}

std::vector<std::string> Listing()
{
    std::vector<std::string> out;
    List(kTree, "", &out);
    return out;
}

// The name that readdir gives first in dir: the order is the file system's.
std::string FirstEntry(const std::string& dir)
{
    std::string first;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr)
        return first;
    while (struct dirent* entry = readdir(d)) {
        first = entry->d_name;
        if (first != "." && first != "..")
            break;
        first.clear();
    }
    closedir(d);
    return first;
}

// Set-ups run in the child before the agent exists.
std::function<void()> ReadOnly(const std::string& path)
{
    return [path] { ASSERT_TRUE(EnterPrivateMounts() && BindReadOnly(path)); };
}

// The directory source mounted on target, writable.
std::function<void()> Mounted(const std::string& source, const std::string& target)
{
    return [source, target] { ASSERT_TRUE(EnterPrivateMounts() && Bind(source, target)); };
}

// A module's own process swapping a directory of the tree for a link to an
// outside directory while the agent deletes the tree: the directory is
// renamed to ../t/aside and the link ../t/m/d -> ../outside takes its place.
// The test binary is linked with the linker's --wrap on the calls a delete
// makes (tests/CMakeLists.txt), which make the swap once, at the chosen
// moment.
enum class SwapAt {
    FirstDeleteInside, // after the first entry deleted inside it: the walk is in it
    Open,              // just before it is opened: the walk has looked at it
};

struct Swap {
    bool armed = false;
    SwapAt at = SwapAt::Open;
    struct stat dir = {};
};
Swap g_swap;

bool SameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}
const char* const kSwapped = "../t/m/d";

std::function<void()> SwapDirectory(SwapAt at)
{
    return [at] {
        ASSERT_EQ(lstat(kSwapped, &g_swap.dir), 0);
        g_swap.at = at;
        g_swap.armed = true;
    };
}

// Makes the swap when it is armed for the moment `at` and the entry looked at
// is the directory.
void SwapIf(SwapAt at, int looked, const struct stat& st)
{
    if (!g_swap.armed || g_swap.at != at || looked != 0 || !SameFile(st, g_swap.dir))
        return;
    g_swap.armed = false;
    EXPECT_EQ(rename(kSwapped, "../t/aside"), 0);
    EXPECT_EQ(symlink("../outside", kSwapped), 0);
}

// A module's own process tidying its files while the agent deletes them:
// right after the delete's first removal inside ../t/m, the files named here
// go too, while the walk's listing still holds them.
struct Vanish {
    bool armed = false;
    struct stat dir = {};
    std::vector<std::string> names;
};
Vanish g_vanish;

std::function<void()> VanishAfterFirstDelete(const std::vector<std::string>& names)
{
    return [names] {
        ASSERT_EQ(lstat("../t/m", &g_vanish.dir), 0);
        g_vanish.names = names;
        g_vanish.armed = true;
    };
}

// A module's own process removing an entry of ../t/m after the delete looked
// at it: just before the delete opens it (a directory) or unlinks it.
enum class VanishAt { Open, Unlink };
struct VanishAtCall {
    bool armed = false;
    VanishAt at = VanishAt::Unlink;
    struct stat dir = {};
    std::string name;
};
VanishAtCall g_vanishAtCall;

std::function<void()> VanishWhenActedOn(VanishAt at, const std::string& name)
{
    return [at, name] {
        ASSERT_EQ(lstat("../t/m", &g_vanishAtCall.dir), 0);
        g_vanishAtCall.at = at;
        g_vanishAtCall.name = name;
        g_vanishAtCall.armed = true;
    };
}

// Something mounted on a directory of the tree after the delete looked at
// it, just before it opens it.
struct MountAtOpen {
    bool armed = false;
    struct stat dir = {};
    std::string source;
    std::string target;
};
MountAtOpen g_mountAtOpen;

std::function<void()> MountWhenOpened(const std::string& source, const std::string& target)
{
    return [source, target] {
        ASSERT_TRUE(EnterPrivateMounts());
        ASSERT_EQ(lstat(target.c_str(), &g_mountAtOpen.dir), 0);
        g_mountAtOpen.source = source;
        g_mountAtOpen.target = target;
        g_mountAtOpen.armed = true;
    };
}

// Kernels that do not tell a mount's root by its attribute: statx's answers
// lose it while this is set.
bool g_hideMountRoot = false;

// Links whose target an existence test resolved, by the faccessat calls of
// the code under test.
int g_linksResolved = 0;

// Every delete of these tests lies in a TempRoot area; one that gets past its
// rules (a broken rule for "/") is refused there, as a failure, rather than
// let loose on the machine. A directory too deep for its path to be told
// lies in the deep tree of a test.
bool InsideTestArea(int dir, const char* name)
{
    const char* const area = "/tmp/quillmar-unit-";
    char where[4096] = {};
    if (name[0] == '/') {
        snprintf(where, sizeof where, "%s", name);
    } else if (dir == AT_FDCWD) {
        if (getcwd(where, sizeof where) == nullptr)
            return errno == ENAMETOOLONG;
    } else {
        const std::string link = "/proc/self/fd/" + std::to_string(dir);
        if (readlink(link.c_str(), where, sizeof where - 1) < 0)
            return errno == ENAMETOOLONG;
    }
    return strncmp(where, area, strlen(area)) == 0;
}

// chattr +a or -a: entries can be made in the directory, none removed or
// renamed away.
bool SetAppendOnly(const std::string& path, bool on)
{
    const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int flags = 0;
    bool done = fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = on ? flags | FS_APPEND_FL : flags & ~FS_APPEND_FL;
    done = done && ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    if (fd >= 0)
        close(fd);
    EXPECT_TRUE(done) << "chattr " << (on ? "+a " : "-a ") << path << ": " << strerror(errno);
    return done;
}

std::string ParentOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

} // namespace

extern "C" {

int __real_unlinkat(int dir, const char* name, int flags);
int __real_faccessat(int dir, const char* name, int mode, int flags);
int __real_remove(const char* path);
int __real_openat(int dir, const char* name, int flags, ...);
DIR* __real_opendir(const char* path);
int __real_statx(int dir, const char* name, int flags, unsigned int mask, struct statx* st);

// Removes the entry the delete is about to act on when it is the one armed.
void VanishIf(VanishAt at, int dir, const char* name)
{
    struct stat st;
    if (!g_vanishAtCall.armed || g_vanishAtCall.at != at || g_vanishAtCall.name != name || fstat(dir, &st) != 0 ||
        !SameFile(st, g_vanishAtCall.dir))
        return;
    g_vanishAtCall.armed = false;
    EXPECT_EQ(__real_unlinkat(dir, name, at == VanishAt::Open ? AT_REMOVEDIR : 0), 0) << name;
}

int __wrap_unlinkat(int dir, const char* name, int flags)
{
    if (!InsideTestArea(dir, name)) {
        ADD_FAILURE() << "a delete outside the test's area: " << name;
        errno = EPERM;
        return -1;
    }
    VanishIf(VanishAt::Unlink, dir, name);
    const int result = __real_unlinkat(dir, name, flags);
    struct stat st;
    const int looked = fstat(dir, &st);
    SwapIf(SwapAt::FirstDeleteInside, looked, st);
    if (g_vanish.armed && looked == 0 && SameFile(st, g_vanish.dir)) {
        g_vanish.armed = false;
        for (const std::string& gone : g_vanish.names)
            __real_unlinkat(dir, gone.c_str(), 0); // the one just deleted is already gone
    }
    return result;
}

int __wrap_faccessat(int dir, const char* name, int mode, int flags)
{
    struct stat st;
    if ((flags & AT_SYMLINK_NOFOLLOW) == 0 && fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISLNK(st.st_mode))
        ++g_linksResolved;
    return __real_faccessat(dir, name, mode, flags);
}

int __wrap_remove(const char* path)
{
    const int result = __real_remove(path);
    struct stat st;
    SwapIf(SwapAt::FirstDeleteInside, stat(ParentOf(path).c_str(), &st), st);
    return result;
}

int __wrap_openat(int dir, const char* name, int flags, ...)
{
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
        va_list ap;
        va_start(ap, flags);
        mode = va_arg(ap, mode_t);
        va_end(ap);
    }
    struct stat st;
    const int looked = fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW);
    SwapIf(SwapAt::Open, looked, st);
    if (g_mountAtOpen.armed && looked == 0 && SameFile(st, g_mountAtOpen.dir)) {
        g_mountAtOpen.armed = false;
        EXPECT_TRUE(Bind(g_mountAtOpen.source, g_mountAtOpen.target));
    }
    VanishIf(VanishAt::Open, dir, name);
    return __real_openat(dir, name, flags, mode);
}

int __wrap_statx(int dir, const char* name, int flags, unsigned int mask, struct statx* st)
{
    const int result = __real_statx(dir, name, flags, mask, st);
    if (result == 0 && g_hideMountRoot)
        st->stx_attributes_mask &= ~static_cast<__u64>(STATX_ATTR_MOUNT_ROOT);
    return result;
}

DIR* __wrap_opendir(const char* path)
{
    struct stat st;
    SwapIf(SwapAt::Open, lstat(path, &st), st);
    return __real_opendir(path);
}

} // extern "C"

namespace {

void WithoutDacOverride()
{
    ASSERT_TRUE(DropDacCapabilities(DacDrop::Effective));
}

// Without the override in any set: access(2) now meets the modes too.
void WithoutAnyDacOverride()
{
    ASSERT_TRUE(DropDacCapabilities(DacDrop::Everything));
}

// The logger keeps 1023 bytes of a message.
std::string Logged(const std::string& level, const std::string& text)
{
    return "[" + level + "]" + text.substr(0, 1023);
}

// "{first}" in the lines of a case stands for FirstEntry("../t/m").
struct Case {
    std::string name;
    std::vector<std::string> tree;
    std::function<void()> setUp; // in the child; may be empty
    std::function<int(CAgent&)> call;
    int result;
    std::vector<std::string> lines;
    std::vector<std::string> after;
    std::string message = kUntouched; // g_message afterwards
    bool linesInAnyOrder = false; // where they follow a directory listing's order
};

int Remove(CAgent& agent, const std::string& path)
{
    return agent.RemovePath(path.c_str());
}

TEST(ModuleTree, OperationsOverRealTrees)
{
    // A directory text of 3900 bytes ("./" repeated) over a short real path:
    // its "/m" has children of 4095 bytes (the most that fits) at 192 bytes
    // of name.
    std::string top = kTree + "/";
    while (top.size() < 3897)
        top += "./";
    top += "top";
    const std::string fits(4095 - top.size() - 3, 'n');
    const std::string tooLong = fits + "n";
    const std::string missing = "No such file or directory";
    const std::string longName(240, 'l');
    const std::string longAside = longName.substr(0, 234) + ".QUILLMAR.discarded.1";
    const std::string otherModulesAside = longName.substr(0, 200) + ".QUILLMAR.discarded.1";

    const std::vector<Case> cases = {
        {"a missing path: nothing done or logged", {"keep=1"},
         nullptr, [](CAgent& a) { return Remove(a, "../t/none"); }, 0, {}, {"keep=1"}},
        {"a tree with files, links and an empty directory", {"m/", "m/f=1", "m/e/", "m/d/", "m/d/g=2", "m/d/l->../f"},
         nullptr, [](CAgent& a) { return Remove(a, "../t/m"); }, 0, {}, {}},
        {"a link to a directory goes as a link, the target keeps its files",
         {"keep/", "keep/g=2", "m/", "m/l->../keep", "l->keep"}, nullptr,
         [](CAgent& a) { return Remove(a, "../t/l") + Remove(a, "../t/m"); }, 0, {}, {"keep/", "keep/g=2"}},
        {"a trailing \"/\" or \"/.\" names the link itself, not its target; \"file/\" and a dangling \"link/\" are absent",
         {"keep/", "keep/g=2", "l->keep", "k->keep", "m/", "m/f=1", "f=1", "dl->gone"}, nullptr,
         [](CAgent& a) {
             return Remove(a, "../t/l/") + Remove(a, "../t/k//./") + Remove(a, "../t/m/./") + Remove(a, "../t/f/") +
                    Remove(a, "../t/dl/");
         },
         0, {}, {"dl->gone", "f=1", "keep/", "keep/g=2"}},
        {"a trailing \"/\" stays in the lines as given", {"m/", "m/a/", "m/a/f=x"}, ReadOnly(kTree),
         [](CAgent& a) { return Remove(a, "../t/m/"); }, EROFS,
         {"[ERROR]delete ../t/m//a/f failed: remove error"}, {"m/", "m/a/", "m/a/f=x"}},
        {"a dangling link and a link loop go as links", {"m/", "m/stale->../gone", "m/loop->loop", "gone->nowhere"},
         nullptr, [](CAgent& a) { return Remove(a, "../t/m") + Remove(a, "../t/gone"); }, 0, {}, {}},
        // Beyond reach, as an existence test finds it: passed over, so the
        // directory cannot be removed.
        {"an entry in a directory the agent may not search is passed over: its directory's removal fails (ENOTEMPTY)",
         {"m/", "m/a/", "m/a/b/ 0600", "m/a/b/f=x"}, WithoutAnyDacOverride,
         [](CAgent& a) { return Remove(a, "../t/m"); }, ENOTEMPTY,
         {"[ERROR]delete ../t/m/a/b failed: remove error"}, {"m/", "m/a/", "m/a/b/", "m/a/b/f=x"}},
        {"the same with only the effective set dropped", {"m/", "m/a/", "m/a/b/ 0600", "m/a/b/f=x"},
         WithoutDacOverride, [](CAgent& a) { return Remove(a, "../t/m"); }, ENOTEMPTY,
         {"[ERROR]delete ../t/m/a/b failed: remove error"}, {"m/", "m/a/", "m/a/b/", "m/a/b/f=x"}},
        {"a backup that cannot delete what is beyond reach: the directory's errno in g_message",
         {"m/", "m/a/", "m/a/b/ 0600", "m/a/b/f=x", "m.QUILLMAR/", "m.QUILLMAR/f=old"}, WithoutAnyDacOverride,
         [](CAgent& a) { return a.Backup("../t/m"); }, -1,
         {"[ERROR]delete ../t/m/a/b failed: remove error", "[ERROR]move failed, rmdir ../t/m error.",
          "[ERROR]roll back ../t/m failed.", "[ERROR]backup ../t/m failed, errno = 39"},
         {"m.QUILLMAR/", "m.QUILLMAR/f=old", "m/", "m/a/", "m/a/b/", "m/a/b/f=x"}, "backup ../t/m failed, errno = 39"},
        // access(2) passes by the permitted set; the look itself does not.
        {"a top path that access finds and the look cannot reach: the lstat line (EACCES)",
         {"m/", "m/a/", "m/a/b/ 0600", "m/a/b/f=x"}, WithoutDacOverride,
         [](CAgent& a) { return Remove(a, "../t/m/a/b/f"); }, EACCES,
         {"[ERROR]delete ../t/m/a/b/f failed: lstat error."}, {"m/", "m/a/", "m/a/b/", "m/a/b/f=x"}},
        {"opendir failing", {"m/", "m/a/", "m/a/c/ 0300", "m/a/c/f=x"}, WithoutDacOverride,
         [](CAgent& a) { return Remove(a, "../t/m"); }, EACCES,
         {"[ERROR]delete ../t/m/a/c failed: opendir error"}, {"m/", "m/a/", "m/a/c/", "m/a/c/f=x"}},
        {"removing a file failing", {"m/", "m/a/", "m/a/f=x"}, ReadOnly(kTree),
         [](CAgent& a) { return Remove(a, "../t/m"); }, EROFS,
         {"[ERROR]delete ../t/m/a/f failed: remove error"}, {"m/", "m/a/", "m/a/f=x"}},
        {"removing a directory failing", {"m/", "m/e/"}, ReadOnly(kTree),
         [](CAgent& a) { return Remove(a, "../t/m"); }, EROFS,
         {"[ERROR]delete ../t/m/e failed: remove error"}, {"m/", "m/e/"}},
        {"the first failure stops a delete: the siblings after it stay",
         {"m/", "m/a/", "m/a/f=1", "m/b/", "m/b/f=2", "m/c/", "m/c/f=3", "m/d/", "m/d/f=4"},
         ReadOnly(kTree), [](CAgent& a) { return Remove(a, "../t/m"); }, EROFS,
         {"[ERROR]delete ../t/m/{first}/f failed: remove error"},
         {"m/", "m/a/", "m/a/f=1", "m/b/", "m/b/f=2", "m/c/", "m/c/f=3", "m/d/", "m/d/f=4"}},
        {"a directory the walk is in swapped for a link: nothing outside goes (ENOTDIR)",
         {"m/", "m/d/", "m/d/a=1", "m/d/b=2", "m/d/c=3", "outside/", "outside/a=o", "outside/b=o", "outside/c=o"},
         SwapDirectory(SwapAt::FirstDeleteInside), [](CAgent& a) { return Remove(a, "../t/m"); }, ENOTDIR,
         {"[ERROR]delete ../t/m/d failed: remove error"},
         {"aside/", "m/", "m/d->../outside", "outside/", "outside/a=o", "outside/b=o", "outside/c=o"}},
        {"a directory swapped for a link before it is opened: nothing outside goes (ENOTDIR)",
         {"m/", "m/d/", "m/d/a=1", "m/d/b=2", "outside/", "outside/a=o", "outside/b=o"},
         SwapDirectory(SwapAt::Open), [](CAgent& a) { return Remove(a, "../t/m"); }, ENOTDIR,
         {"[ERROR]delete ../t/m/d failed: opendir error"},
         {"aside/", "aside/a=1", "aside/b=2", "m/", "m/d->../outside", "outside/", "outside/a=o", "outside/b=o"}},
        {"an entry gone by its turn (the module tidying up) is passed over",
         {"m/", "m/a=1", "m/b=2", "m/c=3"}, VanishAfterFirstDelete({"a", "b", "c"}),
         [](CAgent& a) { return Remove(a, "../t/m"); }, 0, {}, {}},
        {"a file gone between the look and its unlink is passed over", {"m/", "m/f=1"},
         VanishWhenActedOn(VanishAt::Unlink, "f"), [](CAgent& a) { return Remove(a, "../t/m"); }, 0, {}, {}},
        {"a directory gone between the look and its open is passed over", {"m/", "m/e/"},
         VanishWhenActedOn(VanishAt::Open, "e"), [](CAgent& a) { return Remove(a, "../t/m"); }, 0, {}, {}},
        {"links inside are looked at themselves: no target is resolved",
         {"far/", "far/g=2", "m/", "m/l->../far", "m/dl->gone", "m/d/", "m/d/g->../../far/g"}, nullptr,
         [](CAgent& a) {
             const int result = Remove(a, "../t/m");
             EXPECT_EQ(g_linksResolved, 0);
             return result;
         },
         0, {}, {"far/", "far/g=2"}},
        // A bind mount of the same file system: the device alone would not tell.
        {"a directory mounted inside is never entered: its files stay, the remove step fails (EBUSY)",
         {"m/", "m/vol/", "outside/", "outside/a=o", "outside/d/", "outside/d/b=o"},
         Mounted("../t/outside", "../t/m/vol"), [](CAgent& a) { return Remove(a, "../t/m"); }, EBUSY,
         {"[ERROR]delete ../t/m/vol failed: remove error"},
         {"m/", "m/vol/", "outside/", "outside/a=o", "outside/d/", "outside/d/b=o"}},
        {"the same at the top path", {"m/", "outside/", "outside/a=o"}, Mounted("../t/outside", "../t/m"),
         [](CAgent& a) { return Remove(a, "../t/m/"); }, EBUSY, {"[ERROR]delete ../t/m/ failed: remove error"},
         {"m/", "outside/", "outside/a=o"}},
        {"a directory mounted on after the look, before the open, is not entered either",
         {"m/", "m/d/", "outside/", "outside/a=o"}, MountWhenOpened("../t/outside", "../t/m/d"),
         [](CAgent& a) { return Remove(a, "../t/m"); }, EBUSY, {"[ERROR]delete ../t/m/d failed: remove error"},
         {"m/", "m/d/", "outside/", "outside/a=o"}},
        // The device tells another file system; the files are the mount's
        // own, seen only from inside the child.
        {"without the mount attribute, another file system mounted inside is told by its device",
         {"m/", "m/vol/"},
         [] {
             ASSERT_TRUE(EnterPrivateMounts() && MountTmpfs("../t/m/vol", 1 << 20));
             std::ofstream("../t/m/vol/a") << "o";
             g_hideMountRoot = true;
         },
         [](CAgent& a) {
             const int result = Remove(a, "../t/m");
             EXPECT_EQ(ReadFileBytes("../t/m/vol/a"), "o");
             return result;
         },
         EBUSY, {"[ERROR]delete ../t/m/vol failed: remove error"}, {"m/", "m/vol/"}},
        // Emptied, these would take the directory that holds the module, or
        // the agent's own: nothing is entered or removed.
        {"a path ending in \"..\" is never deleted (ENOTEMPTY)",
         {"m/", "m/x/", "m/x/f=1", "m/f=2", "sibling/", "sibling/g=3"}, nullptr,
         [](CAgent& a) { return Remove(a, "../t/m/x/.."); }, ENOTEMPTY,
         {"[ERROR]delete ../t/m/x/.. failed: remove error"},
         {"m/", "m/f=2", "m/x/", "m/x/f=1", "sibling/", "sibling/g=3"}},
        {"nor one ending in \"../\"", {"m/", "m/x/", "m/x/f=1", "m/f=2", "sibling/", "sibling/g=3"}, nullptr,
         [](CAgent& a) { return Remove(a, "../t/m/x/../"); }, ENOTEMPTY,
         {"[ERROR]delete ../t/m/x/../ failed: remove error"},
         {"m/", "m/f=2", "m/x/", "m/x/f=1", "sibling/", "sibling/g=3"}},
        {"nor \".\", the agent's own directory (EINVAL)", {"keep=1"}, nullptr,
         [](CAgent& a) {
             std::ofstream("own") << "agent";
             const int result = Remove(a, ".");
             EXPECT_EQ(ReadFileBytes("own"), "agent");
             return result;
         },
         EINVAL, {"[ERROR]delete . failed: remove error"}, {"keep=1"}},
        {"nor \"/\" (EBUSY)", {"keep=1"}, nullptr, [](CAgent& a) { return Remove(a, "/"); }, EBUSY,
         {"[ERROR]delete / failed: remove error"}, {"keep=1"}},
        {"a rollback to a path ending in \"..\" fails at its clearing step: the directory above stays",
         {"m/", "m/x/", "m/x/half=v2", "m/f=2", "sibling/", "sibling/g=3"}, nullptr,
         [](CAgent& a) { return a.Rollback("../t/m/x/.."), 0; }, 0,
         {"[ERROR]delete ../t/m/x/.. failed: remove error", "[ERROR]move failed, rmdir ../t/m/x/.. error.",
          "[ERROR]roll back ../t/m/x/.. failed."},
         {"m/", "m/f=2", "m/x/", "m/x/half=v2", "sibling/", "sibling/g=3"}},
        {"a child path of 4095 bytes is deleted", {"top/", "top/m/", "top/m/" + fits + "=x"}, nullptr,
         [top](CAgent& a) { return Remove(a, top); }, 0, {}, {}},
        {"a child path of 4096 bytes is never acted on: ENAMETOOLONG from the top",
         {"top/", "top/m/", "top/m/" + tooLong + "=x"}, nullptr, [top](CAgent& a) { return Remove(a, top); },
         ENAMETOOLONG, {Logged("ERROR", "delete " + top + "/m failed: path too long")},
         {"top/", "top/m/", "top/m/" + tooLong + "=x"}},
        {"backup of a missing directory: the older backup comes back and is backed up again",
         {"m.QUILLMAR/", "m.QUILLMAR/f=old"}, nullptr, [](CAgent& a) { return a.Backup("../t/m"); }, 0,
         {"[INFO]roll back ../t/m succ.", "[INFO]backup ../t/m succ."}, {"m.QUILLMAR/", "m.QUILLMAR/f=old"}},
        {"backup beside an older backup: the half-written directory goes, the older backup stays",
         {"m/", "m/f=new", "m/half/", "m/half/g=new", "m.QUILLMAR/", "m.QUILLMAR/f=old", "m.QUILLMAR/d/",
          "m.QUILLMAR/d/g=old", "m.QUILLMAR/l->d", "m.QUILLMAR/current->gone"},
         nullptr, [](CAgent& a) { return a.Backup("../t/m"); }, 0,
         {"[INFO]roll back ../t/m succ.", "[INFO]backup ../t/m succ."},
         {"m.QUILLMAR/", "m.QUILLMAR/current->gone", "m.QUILLMAR/d/", "m.QUILLMAR/d/g=old", "m.QUILLMAR/f=old",
          "m.QUILLMAR/l->d"}},
        {"backup of a dangling link moves the link", {"m->gone"}, nullptr,
         [](CAgent& a) { return a.Backup("../t/m"); }, 0, {"[INFO]backup ../t/m succ."}, {"m.QUILLMAR->gone"}},
        // Its backup path lies inside: an older backup there is deleted, never restored.
        {"backup of a path ending in \"/\": a rename into itself", {"m/", "m/f=1", "m/.QUILLMAR/", "m/.QUILLMAR/f=old"},
         nullptr, [](CAgent& a) { return a.Backup("../t/m/"); }, -1,
         {"[ERROR]move from ../t/m/ to ../t/m/.QUILLMAR failed: rename error",
          "[ERROR]backup ../t/m/ failed, errno = 22"},
         {"m/", "m/f=1"}, "backup ../t/m/ failed, errno = 22"},
        {"backup of a path ending in \"/.\": the same", {"m/", "m/f=1", "m/..QUILLMAR/", "m/..QUILLMAR/f=old"},
         nullptr, [](CAgent& a) { return a.Backup("../t/m/."); }, -1,
         {"[ERROR]move from ../t/m/. to ../t/m/..QUILLMAR failed: rename error",
          "[ERROR]backup ../t/m/. failed, errno = 16"},
         {"m/", "m/f=1"}, "backup ../t/m/. failed, errno = 16"},
        // Restored, "m/..QUILLMAR" would take the place of "m/..": the whole
        // of ../t, sibling modules and all, would go.
        {"backup of a path ending in \"/..\": never restored, the siblings stay",
         {"m/", "m/f=1", "m/...QUILLMAR/", "m/...QUILLMAR/f=old", "sibling/", "sibling/g=2"}, nullptr,
         [](CAgent& a) { return a.Backup("../t/m/.."); }, -1,
         {"[ERROR]move from ../t/m/.. to ../t/m/...QUILLMAR failed: rename error",
          "[ERROR]backup ../t/m/.. failed, errno = 16"},
         {"m/", "m/f=1", "sibling/", "sibling/g=2"}, "backup ../t/m/.. failed, errno = 16"},
        {"backup whose rename fails", {"m/", "m/f=1"}, ReadOnly(kTree),
         [](CAgent& a) { return a.Backup("../t/m"); }, -1,
         {"[ERROR]move from ../t/m to ../t/m.QUILLMAR failed: rename error",
          "[ERROR]backup ../t/m failed, errno = 30"},
         {"m/", "m/f=1"}, "backup ../t/m failed, errno = 30"},
        {"backup whose restore cannot delete the half-written directory: nothing more goes",
         {"m/", "m/f=new", "m.QUILLMAR/", "m.QUILLMAR/f=old"}, ReadOnly(kTree),
         [](CAgent& a) { return a.Backup("../t/m"); }, -1,
         {"[ERROR]delete ../t/m/f failed: remove error", "[ERROR]move failed, rmdir ../t/m error.",
          "[ERROR]roll back ../t/m failed.", "[ERROR]backup ../t/m failed, errno = 30"},
         {"m.QUILLMAR/", "m.QUILLMAR/f=old", "m/", "m/f=new"}, "backup ../t/m failed, errno = 30"},
        // The older backup is a mount point here, which rename refuses (EBUSY).
        {"backup whose restore cannot rename the older backup back: it stays",
         {"m/", "m/f=new", "m.QUILLMAR/", "m.QUILLMAR/f=old"}, ReadOnly("../t/m.QUILLMAR"),
         [](CAgent& a) { return a.Backup("../t/m"); }, -1,
         {"[ERROR]move from ../t/m.QUILLMAR to ../t/m failed: rename error", "[ERROR]roll back ../t/m failed.",
          "[ERROR]backup ../t/m failed, errno = 16"},
         {"m.QUILLMAR/", "m.QUILLMAR/f=old"}, "backup ../t/m failed, errno = 16"},
        {"rollback puts the backup back", {"m/", "m/f=new", "m.QUILLMAR/", "m.QUILLMAR/f=old"}, nullptr,
         [](CAgent& a) { return a.Rollback("../t/m"), 0; }, 0, {"[INFO]roll back ../t/m succ."}, {"m/", "m/f=old"}},
        {"rollback without a backup deletes the directory", {"m/", "m/f=new"}, nullptr,
         [](CAgent& a) { return a.Rollback("../t/m"), 0; }, 0,
         {"[INFO]access(../t/m.QUILLMAR): " + missing, "[INFO]roll back ../t/m succ."}, {}},
        {"rollback of \"X/\" after a first install left X a link to a directory: the link goes, not its files",
         {"keep/", "keep/g=2"}, nullptr,
         [](CAgent& a) {
             const int backup = a.Backup("../t/m/");
             EXPECT_EQ(symlink("keep", "../t/m"), 0);
             a.Rollback("../t/m/");
             return backup;
         },
         0,
         {"[INFO]access(../t/m/): " + missing, "[INFO]backup ../t/m/ succ.",
          "[INFO]access(../t/m/.QUILLMAR): " + missing, "[INFO]roll back ../t/m/ succ."},
         {"keep/", "keep/g=2"}},
        {"rollback of a dangling link", {"m/", "m/f=new", "m.QUILLMAR->gone"}, nullptr,
         [](CAgent& a) { return a.Rollback("../t/m"), 0; }, 0, {"[INFO]roll back ../t/m succ."}, {"m->gone"}},
        {"rollback that cannot delete the new directory", {"m/", "m/f=new", "m.QUILLMAR/", "m.QUILLMAR/f=old"},
         ReadOnly(kTree), [](CAgent& a) { return a.Rollback("../t/m"), 0; }, 0,
         {"[ERROR]delete ../t/m/f failed: remove error", "[ERROR]move failed, rmdir ../t/m error.",
          "[ERROR]roll back ../t/m failed."},
         {"m.QUILLMAR/", "m.QUILLMAR/f=old", "m/", "m/f=new"}},
        // The backup is a mount point here, which rename refuses (EBUSY).
        {"rollback whose rename fails: the directory gone, the backup beside it",
         {"m/", "m/f=new", "m.QUILLMAR/", "m.QUILLMAR/f=old"}, ReadOnly("../t/m.QUILLMAR"),
         [](CAgent& a) { return a.Rollback("../t/m"), 0; }, 0,
         {"[ERROR]move from ../t/m.QUILLMAR to ../t/m failed: rename error", "[ERROR]roll back ../t/m failed."},
         {"m.QUILLMAR/", "m.QUILLMAR/f=old"}},
        {"discarding a backup: nothing is left of it", {"m/", "m/f=new", "m.QUILLMAR/", "m.QUILLMAR/f=old",
                                                      "m.QUILLMAR/l->f"},
         nullptr, [](CAgent& a) { return a.DiscardBackup("../t/m"), 0; }, 0, {}, {"m/", "m/f=new"}},
        {"what a discard cannot delete lies aside, and the next backup does not restore it",
         {"m/", "m/f=new", "m.QUILLMAR/", "m.QUILLMAR/vol/", "outside/", "outside/a=o"},
         Mounted("../t/outside", "../t/m.QUILLMAR/vol"),
         [](CAgent& a) { return a.DiscardBackup("../t/m"), a.Backup("../t/m"); }, 0,
         {"[ERROR]delete ../t/m.QUILLMAR.discarded.1/vol failed: remove error", "[INFO]backup ../t/m succ."},
         {"m.QUILLMAR.discarded.1/", "m.QUILLMAR.discarded.1/vol/", "m.QUILLMAR/", "m.QUILLMAR/f=new", "outside/",
          "outside/a=o"}},
        {"while a discarded name still holds something, the next discard takes another; all are tried again",
         {"m.QUILLMAR/", "m.QUILLMAR/vol/", "m.QUILLMAR.discarded.1/", "m.QUILLMAR.discarded.1/vol/",
          "m.QUILLMAR.discarded.3/", "m.QUILLMAR.discarded.3/g=left", "m.QUILLMAR.discarded.x/",
          "m.QUILLMAR.discarded.x/h=kept", "outside/", "outside/a=o"},
         [] {
             Mounted("../t/outside", "../t/m.QUILLMAR/vol")();
             ASSERT_TRUE(Bind("../t/outside", "../t/m.QUILLMAR.discarded.1/vol"));
         },
         [](CAgent& a) { return a.DiscardBackup("../t/m"), 0; }, 0,
         {"[ERROR]delete ../t/m.QUILLMAR.discarded.1/vol failed: remove error",
          "[ERROR]delete ../t/m.QUILLMAR.discarded.2/vol failed: remove error"},
         {"m.QUILLMAR.discarded.1/", "m.QUILLMAR.discarded.1/vol/", "m.QUILLMAR.discarded.2/",
          "m.QUILLMAR.discarded.2/vol/", "m.QUILLMAR.discarded.x/", "m.QUILLMAR.discarded.x/h=kept",
          "outside/", "outside/a=o"}},
        {"discarding a backup path inside the module deletes it there", {"m/", "m/f=1", "m/.QUILLMAR/",
                                                                         "m/.QUILLMAR/f=old"},
         nullptr, [](CAgent& a) { return a.DiscardBackup("../t/m/"), 0; }, 0, {}, {"m/", "m/f=1"}},
        // "m/" is the directory "m": the backup an install of "m" made goes
        // as that install's guard would discard it.
        {"discarding the backup of \"m/\" also discards the one beside \"m\"",
         {"m/", "m/f=1", "m/.QUILLMAR/", "m/.QUILLMAR/f=old", "m/..QUILLMAR/", "m/..QUILLMAR/f=own", "m.QUILLMAR/",
          "m.QUILLMAR/f=v1", "m.QUILLMAR.discarded.1/", "m.QUILLMAR.discarded.1/g=left"},
         nullptr, [](CAgent& a) { return a.DiscardBackup("../t/m/"), 0; }, 0, {},
         {"m/", "m/..QUILLMAR/", "m/..QUILLMAR/f=own", "m/f=1"}},
        {"and so does that of \"m/.\"",
         {"m/", "m/f=1", "m/.QUILLMAR/", "m/.QUILLMAR/f=own", "m/..QUILLMAR/", "m/..QUILLMAR/f=old", "m.QUILLMAR/",
          "m.QUILLMAR/f=v1"},
         nullptr, [](CAgent& a) { return a.DiscardBackup("../t/m/."), 0; }, 0, {},
         {"m/", "m/.QUILLMAR/", "m/.QUILLMAR/f=own", "m/f=1"}},
        {"a path ending in \"..\" names no directory of its own: nothing beside goes",
         {"m/", "m/x/", "m/x/...QUILLMAR/", "m/x/...QUILLMAR/f=old", "m.QUILLMAR/", "m.QUILLMAR/f=v1"}, nullptr,
         [](CAgent& a) { return a.DiscardBackup("../t/m/x/.."), 0; }, 0, {},
         {"m.QUILLMAR/", "m.QUILLMAR/f=v1", "m/", "m/x/"}},
        // Renamed aside where the parent refuses: the last resort.
        {"a discard whose rename the parent refuses (append-only) deletes the backup where it is",
         {"m/", "m/f=new", "m.QUILLMAR/", "m.QUILLMAR/f=old", "m.QUILLMAR/d/", "m.QUILLMAR/d/g=old"}, nullptr,
         [](CAgent& a) {
             if (SetAppendOnly(kTree, true)) {
                 a.DiscardBackup("../t/m");
                 SetAppendOnly(kTree, false);
             }
             return 0;
         },
         0,
         {"[ERROR]move from ../t/m.QUILLMAR to ../t/m.QUILLMAR.discarded.1 failed: rename error",
          "[ERROR]delete ../t/m.QUILLMAR failed: remove error"},
         {"m.QUILLMAR/", "m/", "m/f=new"}},
        {"while two earlier discards still hold something, the next takes the third name",
         {"m/", "m/f=new", "m.QUILLMAR/", "m.QUILLMAR/vol/", "m.QUILLMAR.discarded.1/", "m.QUILLMAR.discarded.1/vol/",
          "m.QUILLMAR.discarded.2/", "m.QUILLMAR.discarded.2/vol/", "outside/", "outside/a=o"},
         [] {
             Mounted("../t/outside", "../t/m.QUILLMAR/vol")();
             ASSERT_TRUE(Bind("../t/outside", "../t/m.QUILLMAR.discarded.1/vol"));
             ASSERT_TRUE(Bind("../t/outside", "../t/m.QUILLMAR.discarded.2/vol"));
         },
         [](CAgent& a) { return a.DiscardBackup("../t/m"), 0; }, 0,
         {"[ERROR]delete ../t/m.QUILLMAR.discarded.1/vol failed: remove error",
          "[ERROR]delete ../t/m.QUILLMAR.discarded.2/vol failed: remove error",
          "[ERROR]delete ../t/m.QUILLMAR.discarded.3/vol failed: remove error"},
         {"m.QUILLMAR.discarded.1/", "m.QUILLMAR.discarded.1/vol/", "m.QUILLMAR.discarded.2/",
          "m.QUILLMAR.discarded.2/vol/", "m.QUILLMAR.discarded.3/", "m.QUILLMAR.discarded.3/vol/", "m/", "m/f=new",
          "outside/", "outside/a=o"},
         kUntouched, true},
        {"a module path without \"/\": the backup and leftovers in the agent's own directory go",
         {"keep=1"},
         [] {
             ASSERT_EQ(mkdir("m.QUILLMAR", 0755), 0);
             ASSERT_EQ(mkdir("m.QUILLMAR.discarded.4", 0755), 0);
             std::ofstream("m.QUILLMAR.discarded.4/g") << "left";
         },
         [](CAgent& a) {
             a.DiscardBackup("m");
             EXPECT_FALSE(Exists("m.QUILLMAR"));
             EXPECT_FALSE(Exists("m.QUILLMAR.discarded.1"));
             EXPECT_FALSE(Exists("m.QUILLMAR.discarded.4"));
             return 0;
         },
         0, {}, {"keep=1"}},
        // Its backup name (249 bytes) fits; "<name>.QUILLMAR.discarded.1"
        // would not, and is cut to the 255 bytes a name may have.
        {"a long module name: the backup is set aside under a name cut to fit, and the next backup restores nothing",
         {longName + "/", longName + "/f=new", longName + ".QUILLMAR/", longName + ".QUILLMAR/vol/", "outside/",
          "outside/a=o"},
         Mounted("../t/outside", "../t/" + longName + ".QUILLMAR/vol"),
         [longName](CAgent& a) { return a.DiscardBackup("../t/" + longName), a.Backup("../t/" + longName); }, 0,
         {"[ERROR]delete ../t/" + longAside + "/vol failed: remove error", "[INFO]backup ../t/" + longName + " succ."},
         {longAside + "/", longAside + "/vol/", longName + ".QUILLMAR/", longName + ".QUILLMAR/f=new", "outside/",
          "outside/a=o"}},
        // A name of another module that shares the start of this one is not
        // cut (shorter than 255 bytes): it stays.
        {"leftovers under the cut name are tried again",
         {longAside + "/", longAside + "/g=left", otherModulesAside + "/", otherModulesAside + "/h=kept"}, nullptr,
         [longName](CAgent& a) { return a.DiscardBackup("../t/" + longName), 0; }, 0, {},
         {otherModulesAside + "/", otherModulesAside + "/h=kept"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempRoot root;
        root.WriteConf(kConf);
        Build(c.tree);
        std::vector<std::string> expected = c.lines;
        for (std::string& line : expected) {
            const size_t at = line.find("{first}");
            if (at != std::string::npos)
                line.replace(at, 7, FirstEntry(kTree + "/m"));
        }
        const auto lines = LinesLoggedInChild([&] {
            if (c.setUp)
                c.setUp();
            CAgent agent;
            SetMessage("%s", kUntouched);
            EXPECT_EQ(c.call(agent), c.result);
            EXPECT_EQ(std::string(g_message), c.message);
        });
        std::vector<std::string> got = lines;
        if (c.linesInAnyOrder) {
            std::sort(got.begin(), got.end());
            std::sort(expected.begin(), expected.end());
        }
        EXPECT_EQ(got, expected);
        EXPECT_EQ(Listing(), c.after);
    }
}

TEST(ModuleTree, TreeAsDeepAsAPathAllows)
{
    // "../t" and 2045 levels of "/d": a 4094-byte path at the bottom. The
    // walk holds a descriptor per level, more than a default soft limit of
    // 1024 allows: the test raises its own, as far as it needs.
    constexpr rlim_t kDescriptors = 2045 + 64;
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    ASSERT_GE(saved.rlim_max, kDescriptors) << "the hard limit on open files is too low for this test";
    struct rlimit raised = saved;
    raised.rlim_cur = std::max(saved.rlim_cur, kDescriptors);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);
    struct Restore {
        const struct rlimit& limit;
        ~Restore() { setrlimit(RLIMIT_NOFILE, &limit); }
    } restore{saved};
    TempRoot root;
    root.WriteConf(kConf);
    std::string bottom = kTree;
    ASSERT_EQ(mkdir(kTree.c_str(), 0755), 0);
    ASSERT_EQ(chdir(kTree.c_str()), 0);
    while (bottom.size() + 2 < 4096) {
        ASSERT_EQ(mkdir("d", 0755), 0);
        ASSERT_EQ(chdir("d"), 0);
        bottom += "/d";
    }
    ASSERT_EQ(chdir((root.path() + "/bin").c_str()), 0);
    const auto lines = LinesLoggedInChild([] {
        CAgent agent;
        EXPECT_EQ(agent.RemovePath(kTree.c_str()), 0);
    });
    EXPECT_EQ(lines, std::vector<std::string>());
    EXPECT_NE(access(kTree.c_str(), F_OK), 0);
}

// A resident agent deletes on every install: a descriptor left open per
// delete would end at EMFILE.
TEST(ModuleTree, DeletesLeaveNoDescriptorOpen)
{
    TempRoot root;
    root.WriteConf(kConf);
    Build({"m/", "m/a/", "m/a/b/", "m/a/b/f=1", "m/a/l->b", "n/", "n/a/", "n/a/b/", "n/a/b/f=1"});
    const auto lines = LinesLoggedInChild([] {
        ASSERT_TRUE(EnterPrivateMounts() && BindReadOnly("../t/n/a/b"));
        CAgent agent;
        // The log's own descriptor is open from here on.
        Common::CLogger::GetInstance()->Info("start");
        Common::CLogger::GetInstance()->Flush(2000);
        std::vector<int> before;
        ASSERT_TRUE(Common::OpenDescriptors(&before));
        EXPECT_EQ(agent.RemovePath("../t/m"), 0);
        EXPECT_EQ(agent.RemovePath("../t/n/"), EBUSY);
        std::vector<int> after;
        ASSERT_TRUE(Common::OpenDescriptors(&after));
        EXPECT_EQ(after, before);
    });
    EXPECT_EQ(lines, std::vector<std::string>({"[INFO]start", "[ERROR]delete ../t/n//a/b failed: remove error"}));
}

} // namespace
