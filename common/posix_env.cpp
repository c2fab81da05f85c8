// The real platform behind Common::Env.
#include "common/env.h"

#include <fcntl.h>
#include <linux/close_range.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "common/open_descriptors.h"

namespace Common {
namespace {

// Marks every descriptor above 2 close-on-exec, so a command started through
// the shell inherits none of them (the pid lock, sockets of libcurl). One call
// where the kernel has it, else a walk of /proc/self/fd.
void CloseOnExecAbove2()
{
    if (close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) == 0)
        return;
    std::vector<int> fds;
    OpenDescriptors(&fds);
    for (int fd : fds) {
        if (fd > 2)
            fcntl(fd, F_SETFD, fcntl(fd, F_GETFD) | FD_CLOEXEC);
    }
}

class PosixEnv : public Env {
public:
    void SleepSeconds(unsigned int seconds) override { ::sleep(seconds); }
    std::time_t Now() override { return ::time(nullptr); }
    int System(const char* command) override
    {
        const int saved = errno;
        CloseOnExecAbove2();
        errno = saved;
        return ::system(command);
    }
    const char* PidFilePath() override { return "/var/run/quillmar.pelmarosti.pid"; }
};

} // namespace

Env* Env::Default()
{
    // Leaked on purpose: the logger and exit paths may use it until the end.
    static Env* env = new PosixEnv;
    return env;
}

} // namespace Common
