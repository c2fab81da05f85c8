#include "support/forked_child.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include <gtest/gtest.h>

#include "common/logger.h"

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
        body();
        // The child's log lines are in the file before the parent looks.
        Common::CLogger::GetInstance()->Flush(2000);
        fflush(nullptr);
        _exit(testing::Test::HasFailure() ? kChildAssertionFailed : 0);
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}
