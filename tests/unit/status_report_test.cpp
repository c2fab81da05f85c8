// "SendLogs" and "ResetState" of an agent built from real settings against a
// loopback server: the order of their clock readings and transfers without a
// time limit. Each runs in a forked child, since the UUID stays cached.
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <json/reader.h>

#include "agent/agent.h"
#include "agent/identity.h"
#include "support/fake_env.h"
#include "support/forked_child.h"
#include "support/local_http_server.h"
#include "support/temp_root.h"

namespace {

const char kUuid[] = "6f1c2a9e-3b47-4d58-9e0a-2c5b7d8e9f10";

// Serves the UUID at /uuid and answers every POST with success, after delayMs.
LocalHttpServer::Handler Server(int delayMs = 0)
{
    return [delayMs](const HttpRequest& request) {
        HttpReply reply;
        if (request.method == "GET") {
            reply.body = kUuid;
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
            reply.body = "{\"returnCode\":0}";
        }
        return reply;
    };
}

std::string Conf(const LocalHttpServer& server, const std::string& timeout)
{
    return "checktime=5\ninterval=60\nurl=" + server.Url("/q") + "\ntimeout=" + timeout +
           "\nmetadata_url=" + server.Url("/uuid") + "\n";
}

ModuleInfo Self()
{
    ModuleInfo self;
    self.moduleId = 5;
    self.fileId = 15;
    return self;
}

TEST(StatusReport, ParaTimestampThenEventIdThenEnvelopeTimestamp)
{
    LocalHttpServer server(Server());
    TempRoot root;
    root.WriteConf(Conf(server, "5"));
    const int status = RunInChild([&] {
        g_vmProbes.clear();
        FakeEnv env;
        env.clockStep = 1; // every reading one second later than the one before
        CAgent agent(&env);
        agent.SendLogs(Self(), 0);
        agent.ResetState();
    });
    ASSERT_EQ(status, 0);

    std::vector<std::string> interfaces;
    for (const HttpRequest& request : server.Requests()) {
        if (request.method != "POST")
            continue;
        Json::Value body;
        ASSERT_TRUE(Json::Reader().parse(request.body, body));
        const std::string name = body["interface"]["interfaceName"].asString();
        interfaces.push_back(name);
        const int para = body["interface"]["para"]["timestamp"].asInt();
        EXPECT_EQ(body["eventId"].asInt(), para + 1) << name;
        EXPECT_EQ(body["timestamp"].asInt(), para + 2) << name;
    }
    EXPECT_EQ(interfaces, (std::vector<std::string>{"SendLogs", "ResetState"}));
}

TEST(StatusReport, TimeoutOfZeroOrBelowSetsNoLimit)
{
    // Each answer comes later than the smallest limit there is, one second.
    LocalHttpServer server(Server(1500));
    TempRoot root;
    for (const char* timeout : {"0", "-1"}) {
        root.WriteConf(Conf(server, timeout));
        const int status = RunInChild([&] {
            g_vmProbes.clear();
            FakeEnv env;
            CAgent agent(&env);
            agent.SendLogs(Self(), 0);
            EXPECT_TRUE(env.sleeps.empty()) << "an attempt failed";
        });
        EXPECT_EQ(status, 0) << "timeout=" << timeout;
    }
    EXPECT_EQ(server.Requests().size(), 4u); // UUID and report, twice
}

} // namespace
