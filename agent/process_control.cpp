#include "agent/process_control.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <vector>

#include "common/open_descriptors.h"

void ErrDoit(const char* fmt, va_list ap)
{
    char buf[1024];
    // At most 1022 characters, so the newline and the NUL always fit; a
    // format error leaves the empty text.
    if (vsnprintf(buf, sizeof buf - 1, fmt, ap) < 0)
        buf[0] = '\0';
    strcat(buf, "\n");
    fflush(stdout);
    fputs(buf, stderr);
    fflush(nullptr);
}

void ErrQuit(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    ErrDoit(fmt, ap);
    va_end(ap);
    exit(1);
}

namespace {

// Closes every descriptor below limit. A hard limit can be as high as 2^30,
// so one call where the kernel has it, else only the descriptors that are
// open, else one close per number.
void CloseBelow(rlim_t limit)
{
    if (limit == 0)
        return;
    // Descriptors are ints: nothing at or above INT_MAX + 1 can be open.
    const rlim_t bound = std::min<rlim_t>(limit, static_cast<rlim_t>(INT_MAX) + 1);
    if (close_range(0, static_cast<unsigned int>(bound - 1), 0) == 0)
        return;
    std::vector<int> open;
    if (Common::OpenDescriptors(&open)) {
        for (int fd : open) {
            if (static_cast<rlim_t>(fd) < bound)
                close(fd);
        }
        return;
    }
    for (rlim_t fd = 0; fd < bound; ++fd)
        close(static_cast<int>(fd));
}

} // namespace

void Daemonize(const char* name)
{
    umask(0);

    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) < 0)
        ErrQuit("%s: can't get file limit", name);

    pid_t pid = fork();
    if (pid < 0)
        ErrQuit("%s: can't fork", name);
    if (pid != 0)
        exit(0);
    setsid();

    struct sigaction sa;
    sa.sa_handler = SIG_IGN;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    if (sigaction(SIGHUP, &sa, nullptr) < 0)
        ErrQuit("%s: can't ignore SIGHUP", name);
    pid = fork();
    if (pid < 0)
        ErrQuit("%s: can't fork", name);
    if (pid != 0)
        exit(0);

    CloseBelow(rl.rlim_max == RLIM_INFINITY ? 1024 : rl.rlim_max);

    int fd0 = open("/dev/null", O_RDWR);
    int fd1 = dup(0);
    int fd2 = dup(0);
    if (fd0 != 0 || fd1 != 1 || fd2 != 2) {
        syslog(LOG_ERR, "%s: unexpected file descriptors %d %d %d", name, fd0, fd1, fd2);
        exit(1);
    }
}

int LockFile(int fd)
{
    struct flock fl;
    memset(&fl, 0, sizeof fl);
    fl.l_type = F_WRLCK;
    fl.l_start = 0;
    fl.l_whence = SEEK_SET;
    fl.l_len = 0;
    return fcntl(fd, F_SETLK, &fl);
}

int AlreadyRunning(Common::Env* env)
{
    const char* path = env->PidFilePath();
    // The descriptor stays open for the life of the process: it holds the lock.
    // Close-on-exec: scripts and installers that the agent runs must not hold
    // the lock's descriptor.
    int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        syslog(LOG_ERR, "can't open %s: %s", path, strerror(errno));
        exit(1);
    }
    if (LockFile(fd) < 0) {
        if (errno == EACCES || errno == EAGAIN) {
            close(fd);
            return 1;
        }
        syslog(LOG_ERR, "can't lock %s: %s", path, strerror(errno));
        exit(1);
    }
    if (ftruncate(fd, 0) != 0) {
        // Not fatal: the lock, not the content, guards the single instance.
    }
    char buf[32];
    snprintf(buf, sizeof buf, "%ld", static_cast<long>(getpid()));
    ssize_t written = write(fd, buf, strlen(buf) + 1);
    (void)written;
    return 0;
}
