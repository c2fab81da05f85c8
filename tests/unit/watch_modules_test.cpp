// The health probe of a watched, installed module whose start script gives a
// negative result: one that could not be run, or whose shell a signal ended.
// Such a probe is passed over: not counted, so no reinstall and no report.
#include <sys/stat.h>

#include <cerrno>
#include <csignal>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "agent/agent.h"
#include "support/child_log.h"
#include "support/fake_env.h"
#include "support/local_http_server.h"
#include "support/script_file.h"
#include "support/temp_root.h"

namespace {

const char kUuid[] = "6f1c2a9e-3b47-4d58-9e0a-2c5b7d8e9f10";

TEST(WatchModules, ANegativeProbeIsPassedOver)
{
    // A reinstall would fetch its package from here and report here.
    LocalHttpServer server([](const HttpRequest& request) {
        HttpReply reply;
        reply.body = request.method == "GET" ? kUuid : "{\"returnCode\":0}";
        return reply;
    });
    TempRoot root;
    root.WriteConf("checktime=5\ninterval=60\nurl=" + server.Url("/q") + "\ntimeout=10\nmetadata_url=" +
                   server.Url("/uuid") + "\n");
    ASSERT_EQ(0, mkdir((root.path() + "/modules").c_str(), 0755));
    root.WriteFile("modules/mod", "");
    const std::string dir = root.area() + "/mod";
    const std::string trystart = dir + "/admin/trystart.sh";
    // Kills the shell that system() started, for real: the script's parent,
    // or the script itself where /bin/sh runs a lone command in its own
    // process.
    ASSERT_TRUE(WriteScript(trystart, "p=$PPID\n[ \"$(cat /proc/$p/comm)\" = sh ] || p=$$\nkill -KILL $p\n"));

    struct Case {
        const char* name;
        bool real; // else system() creates no child
        int result;
    };
    const std::vector<Case> cases = {
        {"system() could not create a child", false, -EAGAIN},
        {"a signal ended the shell that ran the script", true, -(128 + SIGKILL)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto lines = LinesLoggedInChild([&] {
            FakeEnv env;
            if (c.real)
                env.runCommands = true;
            else
                env.scripts[trystart].push_back(FakeEnv::NoChild(EAGAIN));
            CAgent agent(&env);
            ModuleInfo module;
            module.moduleId = 7;
            module.fileId = 70;
            module.name = "mod";
            module.installPath = dir;
            module.uri = server.Url("/pkg");
            module.md5 = "0";
            module.failCount = 2; // the next counted probe reinstalls
            agent.m_modules.push_back(module);
            agent.WatchModules();
            EXPECT_EQ(2, agent.m_modules.front().failCount);
            EXPECT_EQ(std::vector<std::string>{trystart}, env.commands);
        });
        EXPECT_EQ(std::vector<std::string>{"[INFO]execute " + trystart + ", ret = " + std::to_string(c.result)},
                  lines);
        EXPECT_EQ(0u, server.Requests().size());
    }
}

} // namespace
