// The exception report: attempts and pauses, plain http, held settings and
// the request it sends. Each report runs in a forked child, since the url and
// time limit it reads stay held for the process.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <json/reader.h>

#include "agent/exception_report.h"
#include "agent/identity.h"
#include "support/fake_env.h"
#include "support/forked_child.h"
#include "support/local_http_server.h"
#include "support/temp_root.h"

namespace {

// One report of event with null data, from settings conf; the child checks
// the pauses it made against pauses.
void ReportInChild(const TempRoot& root, const std::string& conf, int event, std::vector<unsigned int> pauses)
{
    root.WriteConf(conf);
    const int status = RunInChild([&] {
        FakeEnv env;
        ReportException(event, Json::Value(), &env);
        EXPECT_EQ(env.sleeps, pauses);
    });
    EXPECT_EQ(status, 0) << conf;
}

TEST(ExceptionReport, UnreachableServerThreeAttemptsThreePauses)
{
    TempRoot root;
    ReportInChild(root, "url=http://127.0.0.1:" + std::to_string(RefusingPort()) + "/r\ntimeout=5\n", 1, {5, 5, 5});
}

TEST(ExceptionReport, MissingUrlFailsEachAttempt)
{
    TempRoot root;
    ReportInChild(root, "timeout=5\n", 1, {5, 5, 5});
    ReportInChild(root, "url=\n", 1, {5, 5, 5});
}

TEST(ExceptionReport, AnyAnswerEndsAttempts)
{
    LocalHttpServer server([](const HttpRequest&) {
        HttpReply reply;
        reply.status = 500;
        reply.body = "{\"returnCode\":1}";
        return reply;
    });
    TempRoot root;
    ReportInChild(root, "url=" + server.Url("/report") + "\ntimeout=5\n", 1, {});
    EXPECT_EQ(server.Requests().size(), 1u);
}

TEST(ExceptionReport, HttpsUrlPostedOverHttp)
{
    LocalHttpServer server;
    TempRoot root;
    ReportInChild(root, "url=https://127.0.0.1:" + std::to_string(server.Port()) + "/a/b?c=d\ntimeout=5\n", 1, {});
    const std::vector<HttpRequest> requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].target, "/a/b?c=d");
}

TEST(ExceptionReport, NegativeEventSendsNothingZeroIsSent)
{
    LocalHttpServer server;
    TempRoot root;
    const std::string conf = "url=" + server.Url("/report") + "\ntimeout=5\n";
    ReportInChild(root, conf, -1, {});
    EXPECT_EQ(server.Requests().size(), 0u);
    ReportInChild(root, conf, 0, {});
    EXPECT_EQ(server.Requests().size(), 1u);
}

TEST(ExceptionReport, SettingsHeldAfterFirstRead)
{
    LocalHttpServer server;
    TempRoot root;
    root.WriteConf("url=" + server.Url("/first") + "\ntimeout=5\n");
    const int status = RunInChild([&] {
        FakeEnv env;
        ReportException(1, Json::Value(), &env);
        root.WriteConf("url=" + server.Url("/second") + "\ntimeout=5\n");
        ReportException(2, Json::Value(), &env);
        EXPECT_TRUE(env.sleeps.empty());
    });
    EXPECT_EQ(status, 0);
    const std::vector<HttpRequest> requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].target, "/first");
    EXPECT_EQ(requests[1].target, "/first");
}

// The server answers the first report and then falls silent, so that only a
// time limit ends an attempt; without one the child hangs until its alarm.
TEST(ExceptionReport, TimeLimitReadAgainWhileZeroThenHeld)
{
    std::atomic<int> received{0};
    std::atomic<bool> released{false};
    LocalHttpServer server([&](const HttpRequest&) {
        const bool first = ++received == 1;
        while (!first && !released)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return HttpReply();
    });
    TempRoot root;
    const std::string url = "url=" + server.Url("/report") + "\n";
    root.WriteConf(url + "timeout=0\n");
    const int status = RunInChild([&] {
        alarm(30);
        FakeEnv env;
        ReportException(1, Json::Value(), &env); // answered; the limit held is still 0
        EXPECT_TRUE(env.sleeps.empty());
        root.WriteConf(url + "timeout=1\n");
        ReportException(1, Json::Value(), &env); // read again: three attempts of 1 s
        root.WriteConf(url + "timeout=0\n");
        ReportException(1, Json::Value(), &env); // 1 held: three more
        EXPECT_EQ(env.sleeps, std::vector<unsigned int>(6, 5));
    });
    released = true;
    EXPECT_EQ(status, 0);
}

TEST(ExceptionReport, RequestCarriesHostButNoUuid)
{
    LocalHttpServer server;
    TempRoot root;
    ReportInChild(root, "url=" + server.Url("/report") + "\ntimeout=5\n", 1, {});
    const std::vector<HttpRequest> requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    const HttpRequest& request = requests[0];
    EXPECT_EQ(request.method, "POST");
    EXPECT_NE(request.headers.find("Content-Type:application/json\r\n"), std::string::npos) << request.headers;
    ASSERT_FALSE(request.body.empty());
    EXPECT_EQ(request.body.back(), '\n');

    Json::Value body;
    ASSERT_TRUE(Json::Reader().parse(request.body, body));
    EXPECT_EQ(body["interface"]["interfaceName"], "ReportException");
    const Json::Value& para = body["interface"]["para"];
    EXPECT_EQ(para.getMemberNames(),
              (std::vector<std::string>{"exceptionData", "exceptionEvent", "mac", "osType", "vmIP"}));
    EXPECT_TRUE(para["exceptionData"].isNull());
    EXPECT_EQ(para["exceptionEvent"], 1);
    EXPECT_EQ(para["osType"], 102);
    EXPECT_EQ(para["mac"], GetMac());
    EXPECT_EQ(para["vmIP"], GetLocalIp());
    // Keys in byte order, null data as the literal.
    EXPECT_NE(request.body.find("\"para\":{\"exceptionData\":null,\"exceptionEvent\":1,\"mac\":"), std::string::npos)
        << request.body;
}

} // namespace
