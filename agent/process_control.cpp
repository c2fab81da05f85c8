#include "agent/process_control.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

void ErrDoit(const char* fmt, va_list ap)
{
    char buf[1024];
    vsnprintf(buf, sizeof buf - 1, fmt, ap);
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

    rlim_t limit = rl.rlim_max == RLIM_INFINITY ? 1024 : rl.rlim_max;
    for (rlim_t fd = 0; fd < limit; ++fd)
        close(static_cast<int>(fd));

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
    int fd = open(path, O_RDWR | O_CREAT, 0644);
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
