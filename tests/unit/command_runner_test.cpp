// The command runner and the module scripts, with real /bin/sh scripts: the
// result of every kind of outcome with its status line in g_message and the
// log, the stop script's pause, the shell quoting of server-given paths, and
// the descriptors a command inherits. Every agent call runs in a forked
// child, whose log lines are read back afterwards.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "agent/agent.h"
#include "agent/message.h"
#include "support/child_log.h"
#include "support/fake_env.h"
#include "support/file_checks.h"
#include "support/script_file.h"
#include "support/temp_root.h"

namespace {

// Settings that the agent reads without a complaint in the log.
const char* const kConf = "checktime=5\ninterval=60\nurl=http://127.0.0.1:9/\ntimeout=5\n";
const char* const kUntouched = "left from before";

std::vector<std::string> Info(const std::string& text)
{
    return {"[INFO]" + text};
}

class CommandRunner : public testing::Test {
protected:
    CommandRunner() { root.WriteConf(kConf); }

    TempRoot root;
};

using Script = int (CAgent::*)(const std::string&);

TEST_F(CommandRunner, ResultMessageAndOneInfoLine)
{
    struct Case {
        const char* name;
        Script run;
        const char* installPath;
        const char* script; // under installPath; null: none written
        const char* body;
        mode_t mode;
        int result;
    };
    const Case cases[] = {
        {"exit 0", &CAgent::TryStart, "../m", "/admin/trystart.sh", "exit 0\n", 0755, 0},
        {"exit 1", &CAgent::TryStart, "../m", "/admin/trystart.sh", "exit 1\n", 0755, 1},
        {"exit 7", &CAgent::TryStart, "../m", "/admin/trystart.sh", "exit 7\n", 0755, 7},
        {"missing", &CAgent::TryStart, "../none", nullptr, "", 0, 127},
        {"not executable", &CAgent::TryStart, "../m", "/admin/trystart.sh", "exit 0\n", 0644, 126},
        // The shell running the script survives it and reports 128 + signal
        // as an exit status of its own.
        {"script killed", &CAgent::TryStart, "../m", "/admin/trystart.sh", "kill -TERM $$\n", 0755, 143},
        {"uninstall's status", &CAgent::Uninstall, "../m", "/admin/uninstall.sh", "exit 5\n", 0755, 5},
        {"every byte of a plain path as it is", &CAgent::TryStart, "../Mod_9.x-Y", "/admin/trystart.sh",
         "exit 2\n", 0755, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = c.installPath;
        if (c.script != nullptr) {
            ASSERT_TRUE(WriteScript(path + c.script, c.body, c.mode));
        }
        const std::string suffix = c.run == &CAgent::TryStart ? "/admin/trystart.sh" : "/admin/uninstall.sh";
        const std::string line = "execute " + path + suffix + ", ret = " + std::to_string(c.result);
        const auto lines = LinesLoggedInChild([&] {
            CAgent agent;
            EXPECT_EQ((agent.*c.run)(path), c.result);
            EXPECT_STREQ(g_message, line.c_str());
        });
        EXPECT_EQ(lines, Info(line));
    }
}

TEST_F(CommandRunner, CommandThatCannotRunOrDoesNotExit)
{
    struct Case {
        const char* name;
        const char* command;
        int result;
        std::function<void(FakeEnv&)> arrange;
    };
    const Case cases[] = {
        // glibc reports a child it could not create as the shell's 127, so
        // system()'s -1 comes only through the seam.
        {"no child: EAGAIN", "../m/admin/trystart.sh", -EAGAIN,
         [](FakeEnv& env) { env.scripts["../m/admin/trystart.sh"].push_back(FakeEnv::NoChild(EAGAIN)); }},
        {"-1 without errno still fails", "../m/admin/trystart.sh", -1,
         [](FakeEnv& env) { env.scripts["../m/admin/trystart.sh"].push_back(FakeEnv::NoChild(0)); }},
        // With SIGCHLD ignored the child is reaped unseen: system() gives -1
        // with ECHILD, for real.
        {"status not collected: ECHILD", "exit 0", -ECHILD,
         [](FakeEnv&) { ASSERT_NE(signal(SIGCHLD, SIG_IGN), SIG_ERR); }},
        // The command's own shell ended by a signal: -(128 + signal).
        {"SIGKILL", "kill -KILL $$", -137, nullptr},
        {"SIGTERM", "kill -TERM $$", -143, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string line = std::string("execute ") + c.command + ", ret = " + std::to_string(c.result);
        const auto lines = LinesLoggedInChild([&] {
            FakeEnv env;
            env.runCommands = true;
            if (c.arrange)
                c.arrange(env);
            CAgent agent(&env);
            EXPECT_EQ(agent.Execute(c.command), c.result);
            EXPECT_STREQ(g_message, line.c_str());
        });
        EXPECT_EQ(lines, Info(line));
    }
}

TEST_F(CommandRunner, LongStatusLineCutAt4095AndLoggedCutFurther)
{
    const std::string command = "exit 0 #" + std::string(5000, 'x');
    const std::string full = "execute " + command + ", ret = 0";
    const auto lines = LinesLoggedInChild([&] {
        CAgent agent;
        EXPECT_EQ(agent.Execute(command.c_str()), 0);
        EXPECT_EQ(std::string(g_message), full.substr(0, 4095));
    });
    EXPECT_EQ(lines, Info(full.substr(0, 1023)));
}

TEST_F(CommandRunner, StopPausesUnlessTheScriptFails)
{
    struct Case {
        const char* name;
        const char* body; // null: no stop script
        mode_t mode;
        int result;
        std::vector<unsigned int> sleeps;
        bool runs;
    };
    const Case cases[] = {
        {"exit 0: stopped, then the pause", "exit 0\n", 0755, 0, {2}, true},
        {"exit 3: failed at once", "exit 3\n", 0755, -1, {}, true},
        {"missing: the pause only", nullptr, 0, 0, {2}, false},
        {"not executable: the pause only", "exit 3\n", 0644, 0, {2}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempRoot fresh;
        fresh.WriteConf(kConf);
        if (c.body != nullptr) {
            ASSERT_TRUE(WriteScript("../m/admin/stop.sh", c.body, c.mode));
        }
        const std::string line = "execute ../m/admin/stop.sh, ret = " + std::string(c.result == 0 ? "0" : "3");
        const auto lines = LinesLoggedInChild([&] {
            FakeEnv env;
            env.runCommands = true;
            CAgent agent(&env);
            SetMessage("%s", kUntouched);
            EXPECT_EQ(agent.Stop("../m"), c.result);
            EXPECT_EQ(env.sleeps, c.sleeps);
            EXPECT_EQ(env.commands.size(), c.runs ? 1u : 0u);
            EXPECT_STREQ(g_message, c.runs ? line.c_str() : kUntouched);
        });
        EXPECT_EQ(lines, c.runs ? Info(line) : std::vector<std::string>());
    }
}

TEST_F(CommandRunner, ServerPathRunsOnlyItsOwnScripts)
{
    // Unquoted, the blank, ';', "$(...)" and the backquotes would each run a
    // touch in the working directory; the embedded quote would end quoting.
    const std::string installPath = "../m x;touch inj1;$(touch inj2)`touch inj3`'q";
    const std::string quoted = R"('../m x;touch inj1;$(touch inj2)`touch inj3`'\''q)";
    for (const char* name : {"trystart", "stop", "uninstall"}) {
        ASSERT_TRUE(WriteScript(installPath + "/admin/" + name + ".sh",
                                std::string("echo ") + name + " >> ../ran\nexit 3\n"));
    }
    const std::vector<std::string> expected = {
        "[INFO]execute " + quoted + "/admin/trystart.sh', ret = 3",
        "[INFO]execute " + quoted + "/admin/stop.sh', ret = 3",
        "[INFO]execute " + quoted + "/admin/uninstall.sh', ret = 3",
    };
    const auto lines = LinesLoggedInChild([&] {
        FakeEnv env;
        env.runCommands = true;
        CAgent agent(&env);
        EXPECT_EQ(agent.TryStart(installPath), 3);
        // Found executable under the path itself, not under its quoted form.
        EXPECT_EQ(agent.Stop(installPath), -1);
        EXPECT_EQ(agent.Uninstall(installPath), 3);
        EXPECT_EQ(std::string(g_message), expected[2].substr(6));
    });
    EXPECT_EQ(lines, expected);
    EXPECT_EQ(ReadFileBytes("../ran"), "trystart\nstop\nuninstall\n");
    for (const char* injected : {"inj1", "inj2", "inj3"})
        EXPECT_NE(access(injected, F_OK), 0) << injected;
}

TEST_F(CommandRunner, ScriptSeesOnlyTheStandardDescriptors)
{
    // ls names its own listing descriptor too: it points at /proc/<pid>/fd.
    ASSERT_TRUE(WriteScript("../m/admin/trystart.sh", "exec ls -l /proc/self/fd > ../fds\n"));
    LinesLoggedInChild([] {
        // Opened as a library might: without close-on-exec.
        const int plain = open("/dev/null", O_RDONLY);
        int pipeFds[2];
        ASSERT_GE(plain, 3);
        ASSERT_EQ(pipe(pipeFds), 0);
        ASSERT_GE(fcntl(plain, F_DUPFD, 200), 200);
        CAgent agent;
        EXPECT_EQ(agent.TryStart("../m"), 0);
    });
    std::istringstream listing(ReadFileBytes("../fds"));
    std::string line;
    int standard = 0;
    while (std::getline(listing, line)) {
        const size_t arrow = line.find(" -> ");
        if (arrow == std::string::npos)
            continue; // "total 0"
        const std::string head = line.substr(0, arrow);
        const std::string fd = head.substr(head.rfind(' ') + 1);
        const std::string target = line.substr(arrow + 4);
        if (fd == "0" || fd == "1" || fd == "2")
            ++standard;
        else
            EXPECT_TRUE(target.rfind("/proc/", 0) == 0 && target.substr(target.size() - 3) == "/fd") << line;
    }
    EXPECT_EQ(standard, 3) << ReadFileBytes("../fds");
}

} // namespace
