#include "support/forked_child.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include <gtest/gtest.h>

#include "common/logger.h"

namespace {

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

int RunInChild(const std::function<void()>& body)
{
    // Nothing buffered may be written twice, by parent and child.
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) {
        ADD_FAILURE() << "fork failed";
        return -1;
    }
    if (pid == 0) {
        const int failedBefore = FailedParts();
        body();
        // The child's log lines are in the file before the parent looks.
        Common::CLogger::GetInstance()->Flush(2000);
        fflush(nullptr);
        _exit(FailedParts() > failedBefore ? kChildAssertionFailed : 0);
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}
