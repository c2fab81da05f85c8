// A test double of the platform seam: a settable clock, recorded sleeps and
// commands, and a pid file path of the test's choosing.
#ifndef TESTS_UNIT_SUPPORT_FAKE_ENV_H
#define TESTS_UNIT_SUPPORT_FAKE_ENV_H

#include <functional>
#include <string>
#include <vector>

#include "common/env.h"

class FakeEnv : public Common::Env {
public:
    void SleepSeconds(unsigned int seconds) override
    {
        sleeps.push_back(seconds);
        if (onSleep)
            onSleep(sleeps.size());
    }
    std::time_t Now() override { return now; }
    int System(const char* command) override
    {
        commands.emplace_back(command);
        return systemResult;
    }
    const char* PidFilePath() override { return pidFile.c_str(); }

    std::time_t now = 1700000000;
    std::vector<unsigned int> sleeps;
    // Called after each recorded sleep with the number of sleeps so far; a
    // test can throw from it to leave a loop that never returns.
    std::function<void(size_t)> onSleep;
    std::vector<std::string> commands;
    int systemResult = 0;
    std::string pidFile = "/tmp/quillmar-test.pid";
};

#endif
