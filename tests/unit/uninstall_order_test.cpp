// An uninstall order of a "CheckModules" answer, carried out with a real
// uninstall script: the module's history ends with it, so a backup that an
// install cut short left beside the module never comes back with a later
// install, whatever form the order writes the directory in. The backup goes
// only after the script has run, and nothing inside the module is touched.
// The report after it stays the runner's line.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "agent/agent.h"
#include "agent/response_buffer.h"
#include "support/child_log.h"
#include "support/fake_env.h"
#include "support/file_checks.h"
#include "support/local_http_server.h"
#include "support/script_file.h"
#include "support/temp_root.h"

namespace {

const char kUuid[] = "6f1c2a9e-3b47-4d58-9e0a-2c5b7d8e9f10";

TEST(UninstallOrder, EndsTheModulesHistory)
{
    LocalHttpServer server([](const HttpRequest& request) {
        HttpReply reply;
        reply.body = request.method == "GET" ? kUuid : "{\"returnCode\":0}";
        return reply;
    });
    struct Case {
        const char* name;
        std::string sent; // the installPath of the order; "{area}" stands for the test's area
        bool scriptRemovesModule; // else it leaves the module's own files
    };
    const std::vector<Case> cases = {
        {"a path as the installs use it", "{area}/mod", true},
        // The script runs under the path as sent; the installs' module lies
        // one level further up, and so does the backup that goes.
        {"a path that begins \"..\"", "../mod", true},
        // The same directory: its backup beside it goes, while the module's
        // own entries named as a backup inside it stay.
        {"a path ending in \"/\"", "{area}/mod/", false},
        {"a path ending in \"/.\"", "{area}/mod/.", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempRoot root;
        root.WriteConf("checktime=5\ninterval=60\nurl=" + server.Url("/q") + "\ntimeout=10\nmetadata_url=" +
                       server.Url("/uuid") + "\n");
        std::string sent = c.sent;
        if (sent.compare(0, 6, "{area}") == 0)
            sent.replace(0, 6, root.area());
        const std::string module = root.area() + "/mod";
        // An install cut short: the half-written version, the last good
        // copy beside it. The script removes the module's directory.
        ASSERT_TRUE(WriteScript(module + "/half", "v2"));
        ASSERT_TRUE(WriteScript(module + ".QUILLMAR/data", "v1"));
        ASSERT_TRUE(WriteScript(module + "/.QUILLMAR/own", "the module's"));
        ASSERT_TRUE(WriteScript(module + "/..QUILLMAR/own", "the module's"));
        const std::string scriptDir = sent.compare(0, 2, "..") == 0 ? root.path() + "/" + sent.substr(3) : sent;
        const std::string seen = root.area() + "/seen";
        ASSERT_TRUE(WriteScript(scriptDir + "/admin/uninstall.sh",
                                "[ -e " + module + ".QUILLMAR/data ] && echo backup there > " + seen + "\n" +
                                    (c.scriptRemovesModule ? "rm -rf " + module : "rm -f " + module + "/half") +
                                    "\n"));
        const std::string answer = "{\"returnCode\":0,\"returnData\":[{\"status\":-1,\"moduleId\":9,\"fileId\":90,"
                                   "\"name\":\"mod\",\"installPath\":\"" + sent + "\"}]}";
        const std::string script = sent + "/admin/uninstall.sh";
        LinesLoggedInChild([&] {
            FakeEnv env;
            env.runCommands = true;
            CAgent agent(&env);
            ResponseBuffer body;
            WriteToMemory(const_cast<char*>(answer.data()), 1, answer.size(), &body);
            EXPECT_EQ(0, agent.ApplyModulesAnswer(body, 0));
            // What a later install that fails does to the directory.
            agent.Backup(module);
            agent.Rollback(module);
        });
        const std::vector<HttpRequest> requests = server.Requests();
        ASSERT_FALSE(requests.empty());
        EXPECT_NE(std::string::npos, requests.back().body.find("\"msg\":\"execute " + script + ", ret = 0\""))
            << requests.back().body;
        EXPECT_NE(std::string::npos, requests.back().body.find("\"status\":-2")) << requests.back().body;
        EXPECT_EQ("backup there\n", ReadFileBytes(seen));
        if (c.scriptRemovesModule) {
            EXPECT_FALSE(Exists(module));
        } else {
            EXPECT_EQ("#!/bin/sh\nthe module's", ReadFileBytes(module + "/.QUILLMAR/own"));
            EXPECT_EQ("#!/bin/sh\nthe module's", ReadFileBytes(module + "/..QUILLMAR/own"));
            EXPECT_FALSE(Exists(module + "/half"));
            EXPECT_FALSE(Exists(module + "/data"));
        }
        EXPECT_FALSE(Exists(module + ".QUILLMAR"));
        EXPECT_FALSE(Exists(module + ".QUILLMAR.discarded.1"));
    }
}

} // namespace
