#include "support/forked_child.h"

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>

#include <gtest/gtest.h>

#include "common/logger.h"

namespace {

// The process-wide logger exists in this process: created here, or inherited
// from the parent with the rest of the memory. Its writer thread is never
// inherited, so a child forked from such a process must not log.
std::atomic<bool> g_hasLogger(false);
// This process has forked children through RunInChild.
std::atomic<bool> g_forkedChildren(false);

// Failed parts of the running test so far. The child inherits the parent's
// record, so only failures beyond that count are the child's own.
int FailedParts()
{
    const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
    if (test == nullptr)
        return 0;
    int failed = 0;
    for (int i = 0; i < test->result()->total_part_count(); ++i)
        failed += test->result()->GetTestPartResult(i).failed() ? 1 : 0;
    return failed;
}

} // namespace

// The unit tests link with --wrap of Common::CLogger::GetInstance, so every
// call of the product's and the tests' comes here first: the logger's creation
// is recorded, and a process that forks children through RunInChild may not
// create it, whichever of the two comes first.
extern "C" Common::CLogger* __real__ZN6Common7CLogger11GetInstanceEv();
extern "C" Common::CLogger* __wrap__ZN6Common7CLogger11GetInstanceEv()
{
    if (!g_hasLogger.exchange(true) && g_forkedChildren)
        ADD_FAILURE() << "the process-wide logger is created in a process that forks children through "
                         "RunInChild; log only inside the children";
    return __real__ZN6Common7CLogger11GetInstanceEv();
}

int RunInChild(const std::function<void()>& body)
{
    if (g_hasLogger) {
        ADD_FAILURE() << "RunInChild in a process that has the process-wide logger: the child would inherit "
                         "it without its writer thread; log only inside the children";
        return -1;
    }
    g_forkedChildren = true;
    // Nothing buffered may be written twice, by parent and child.
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) {
        ADD_FAILURE() << "fork failed";
        return -1;
    }
    if (pid == 0) {
        g_forkedChildren = false;
        const int failedBefore = FailedParts();
        body();
        // The child's log lines are in the file before the parent looks.
        if (g_hasLogger)
            Common::CLogger::GetInstance()->Flush(2000);
        fflush(nullptr);
        _exit(FailedParts() > failedBefore ? kChildAssertionFailed : 0);
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}
