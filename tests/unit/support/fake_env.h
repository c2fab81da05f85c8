// A test double of the platform seam: a settable clock (standing still, or
// advancing on every reading), recorded sleeps that return at once, commands
// answered from per-command scripts of statuses, and a pid file path of the
// test's choosing. Commands without a script get `systemResult`, or run for
// real when `runCommands` is set.
#ifndef TESTS_UNIT_SUPPORT_FAKE_ENV_H
#define TESTS_UNIT_SUPPORT_FAKE_ENV_H

#include <sys/wait.h>

#include <cerrno>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "common/env.h"

class FakeEnv : public Common::EnvWrapper {
public:
    // What one System call gives: a raw wait status, or -1 with errno set.
    struct Outcome {
        int status;
        int error = 0;
    };
    // The raw status of a command that exited with code, or that a signal ended.
    static int ExitStatus(int code) { return W_EXITCODE(code, 0); }
    static int SignalStatus(int signal) { return W_EXITCODE(0, signal); }
    // A System call that could not create a child.
    static Outcome NoChild(int error) { return Outcome{-1, error}; }

    FakeEnv() : EnvWrapper(Common::Env::Default()) {}

    void SleepSeconds(unsigned int seconds) override
    {
        sleeps.push_back(seconds);
        if (onSleep)
            onSleep(sleeps.size());
    }
    std::time_t Now() override
    {
        const std::time_t reading = now;
        now += clockStep;
        return reading;
    }
    int System(const char* command) override
    {
        commands.emplace_back(command);
        auto script = scripts.find(command);
        if (script != scripts.end() && !script->second.empty()) {
            const Outcome outcome = script->second.front();
            script->second.pop_front();
            if (outcome.status == -1)
                errno = outcome.error;
            return outcome.status;
        }
        return runCommands ? target()->System(command) : systemResult;
    }
    const char* PidFilePath() override { return pidFile.c_str(); }

    // Queues the exit codes that the next runs of command give, in order.
    void ScriptExits(const std::string& command, std::initializer_list<int> codes)
    {
        for (int code : codes)
            scripts[command].push_back(Outcome{ExitStatus(code)});
    }

    std::time_t now = 1700000000;
    // Added to the clock after every reading (0: the clock stands still).
    std::time_t clockStep = 0;
    std::vector<unsigned int> sleeps;
    // Called after each recorded sleep with the number of sleeps so far; a
    // test can throw from it to leave a loop that never returns.
    std::function<void(size_t)> onSleep;
    std::vector<std::string> commands;
    std::map<std::string, std::deque<Outcome>> scripts;
    int systemResult = 0;
    bool runCommands = false;
    std::string pidFile = "/tmp/quillmar-test.pid";
};

#endif
