// Host identity: VM probes, UUID sources and their order, MAC, local address,
// first-run marker. Lookups that cache run in forked children.
#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <json/reader.h>

#include "agent/identity.h"
#include "support/fake_env.h"
#include "support/forked_child.h"
#include "support/local_http_server.h"
#include "support/temp_root.h"

namespace {

const char kUpperUuid[] = "6F1C2A9E-3B47-4D58-9E0A-2C5B7D8E9F10";
const char kLowerUuid[] = "6f1c2a9e-3b47-4d58-9e0a-2c5b7d8e9f10";
const char kOtherUuid[] = "aaaaaaaa-bbbb-cccc-dddd-eeeeeeeeeeee";

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Sends this process's standard error to <root>/logs/stderr.txt, so a log line
// can be found whether the logger writes there or to "../logs/quillmar.log".
class LogWatch {
public:
    LogWatch()
    {
        int fd = open("../logs/stderr.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
            dup2(fd, 2);
            close(fd);
        }
    }
    // The logger's writer may still be on its way: wait a little for text.
    bool Shows(const std::string& text) const
    {
        for (int i = 0; i < 100; ++i) {
            if (ReadFile("../logs/stderr.txt").find(text) != std::string::npos ||
                ReadFile("../logs/quillmar.log").find(text) != std::string::npos)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
};

TEST(VmProbes, FixedTableInPathOrder)
{
    std::vector<std::pair<std::string, std::string>> entries(g_vmProbes.begin(), g_vmProbes.end());
    std::vector<std::pair<std::string, std::string>> expected = {
        {"/proc/cpuinfo", "hypervisor"},
        {"/sys/class/dmi/id/product_name", "VQX"},
        {"/sys/devices/system/clocksource/clocksource0/available_clocksource", "kvm"},
    };
    EXPECT_EQ(entries, expected);
}

TEST(VmProbes, MarkerSearch)
{
    TempRoot root;
    const std::string dir = root.path() + "/";
    root.WriteFile("plain", std::string(3000, 'x'));
    // "hypervisor" starts two bytes before the end of the first 1024-byte chunk.
    root.WriteFile("straddle", std::string(1022, 'x') + "hypervisor" + std::string(10, 'x'));
    root.WriteFile("capital", "flags: fpu Hypervisor vme\n");
    root.WriteFile("late", std::string(5000, 'y') + "kvm");
    struct Case {
        const char* name;
        VmProbeTable probes;
        bool expected;
    } cases[] = {
        {"no marker anywhere", {{dir + "plain", "kvm"}}, false},
        {"marker across a chunk boundary", {{dir + "straddle", "hypervisor"}}, true},
        {"capitalised marker", {{dir + "capital", "hypervisor"}}, false},
        {"marker in the last chunk", {{dir + "late", "kvm"}}, true},
        {"missing file skipped, next probed", {{dir + "a-missing", "kvm"}, {dir + "late", "kvm"}}, true},
        {"directory skipped", {{dir + "bin", "kvm"}}, false},
        {"empty table", {}, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(IsVirtualMachine(c.probes), c.expected) << c.name;
}

TEST(VmProbes, FirstMatchEndsProbing)
{
    TempRoot root;
    root.WriteFile("1-match", "kvm");
    // Opening a FIFO without a writer blocks: probing it would hang the child.
    ASSERT_EQ(mkfifo((root.path() + "/2-fifo").c_str(), 0600), 0);
    const VmProbeTable probes = {{root.path() + "/2-fifo", "kvm"}, {root.path() + "/1-match", "kvm"}};
    const int status = RunInChild([&] {
        alarm(10);
        EXPECT_TRUE(IsVirtualMachine(probes));
    });
    EXPECT_EQ(status, 0) << "probing went on past the first match";
}

TEST(UuidFile, LastPieceTrimmed)
{
    TempRoot root;
    const std::string longLine(1023, 'x');
    struct Case {
        const char* name;
        const char* content; // null: no file
        std::string expected;
    } cases[] = {
        {"missing file", nullptr, ""},
        {"empty file", "", ""},
        {"last line between blanks", "first line\n \t6F1C2A9E-3B47-4D58-9E0A-2C5B7D8E9F10 \r\n", kUpperUuid},
        {"no final newline", "6f1c2a9e-3b47-4d58-9e0a-2c5b7d8e9f10", kLowerUuid},
        {"trailing blank line", "6f1c2a9e-3b47-4d58-9e0a-2c5b7d8e9f10\n\n", ""},
        {"trailing blank-only line", "6f1c2a9e-3b47-4d58-9e0a-2c5b7d8e9f10\n   \n", ""},
    };
    for (const Case& c : cases) {
        const std::string path = root.path() + "/uuid";
        unlink(path.c_str());
        if (c.content != nullptr)
            root.WriteFile("uuid", c.content);
        EXPECT_EQ(GetUuidFromFile(path.c_str()), c.expected) << c.name;
    }
    // A line beyond 1023 bytes arrives in pieces; only the last one counts.
    root.WriteFile("uuid", longLine + kLowerUuid + "\n");
    EXPECT_EQ(GetUuidFromFile((root.path() + "/uuid").c_str()), kLowerUuid);
    root.WriteFile("uuid", std::string(kLowerUuid) + longLine + "\n");
    EXPECT_EQ(GetUuidFromFile((root.path() + "/uuid").c_str()), std::string(36, 'x'));

    EXPECT_EQ(GetUuidFromFile(nullptr), "");
    EXPECT_EQ(GetUuidFromFile(""), "");
}

TEST(Uuid, ValidMeansExactly36Bytes)
{
    EXPECT_TRUE(IsValidUuid(kLowerUuid));
    EXPECT_TRUE(IsValidUuid(std::string(36, '!')));
    EXPECT_FALSE(IsValidUuid(std::string(kLowerUuid) + "\n"));
    EXPECT_FALSE(IsValidUuid(std::string(kLowerUuid).substr(1)));
    EXPECT_FALSE(IsValidUuid(""));
}

TEST(UuidUrl, BodyAsSentWhateverTheStatus)
{
    LocalHttpServer server([](const HttpRequest& request) {
        HttpReply reply;
        if (request.target == "/missing") {
            reply.status = 404;
            reply.body = kUpperUuid;
        } else if (request.target == "/nul") {
            reply.body = std::string("abc\0def", 7);
        } else if (request.target == "/newline") {
            reply.body = std::string(kLowerUuid) + "\n";
        }
        return reply;
    });
    EXPECT_EQ(GetUuidFromUrl(server.Url("/missing").c_str()), kUpperUuid);
    EXPECT_EQ(GetUuidFromUrl(server.Url("/nul").c_str()), "abc");
    EXPECT_EQ(GetUuidFromUrl(server.Url("/newline").c_str()), std::string(kLowerUuid) + "\n");
    EXPECT_EQ(GetUuidFromUrl(server.Url("/empty").c_str()), "");
    EXPECT_EQ(GetUuidFromUrl(nullptr), "");
    EXPECT_EQ(GetUuidFromUrl(""), "");

    const std::vector<HttpRequest> requests = server.Requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].target, "/missing");
}

TEST(UuidUrl, RefusedConnectionLogsError)
{
    const std::string url = "http://127.0.0.1:" + std::to_string(RefusingPort()) + "/uuid";
    const int status = RunInChild([&] {
        TempRoot root;
        LogWatch log;
        EXPECT_EQ(GetUuidFromUrl(url.c_str()), "");
        EXPECT_TRUE(log.Shows("active failed because get uuid error: " +
                              std::string(curl_easy_strerror(CURLE_COULDNT_CONNECT)) + ", url " + url));
    });
    EXPECT_EQ(status, 0);
}

// One GetUuid run in a child: probes, UUID file and two metadata endpoints.
struct UuidScenario {
    const char* name;
    bool vm;
    const char* file; // content of the UUID file
    const char* first; // body of "metadata_url"; null: key absent
    const char* second; // body of "vqx_new_metadata_url"; null: key absent
    const char* expected;
    std::vector<std::string> asked; // metadata paths requested, in order
};

TEST(Uuid, SourcesInOrderAndCached)
{
    const std::string upperNewline = std::string(kUpperUuid) + "\n";
    const UuidScenario scenarios[] = {
        {"vm: file wins", true, "\n  6F1C2A9E-3B47-4D58-9E0A-2C5B7D8E9F10 \n", kOtherUuid, kOtherUuid, kLowerUuid, {}},
        {"vm: file ends in a blank line", true, "6F1C2A9E-3B47-4D58-9E0A-2C5B7D8E9F10\n\n", kUpperUuid, kOtherUuid,
         kLowerUuid, {"/first"}},
        {"no vm: file never read", false, kOtherUuid, upperNewline.c_str(), kUpperUuid, kLowerUuid,
         {"/first", "/second"}},
        {"first key absent", false, "", nullptr, kUpperUuid, kLowerUuid, {"/second"}},
    };
    for (const UuidScenario& s : scenarios) {
        LocalHttpServer server([&](const HttpRequest& request) {
            HttpReply reply;
            reply.body = request.target == "/first" ? s.first : s.second;
            return reply;
        });
        TempRoot root;
        root.WriteFile("probe", "model: VQX\n");
        root.WriteFile("uuid", s.file);
        std::string conf = "uuid_file_path=" + root.path() + "/uuid\n";
        if (s.first != nullptr)
            conf += "metadata_url=" + server.Url("/first") + "\n";
        if (s.second != nullptr)
            conf += "vqx_new_metadata_url=" + server.Url("/second") + "\n";
        root.WriteConf(conf);
        const int status = RunInChild([&] {
            LogWatch log;
            g_vmProbes = {{root.path() + "/probe", s.vm ? "VQX" : "KVM"}};
            FakeEnv env;
            const std::string& uuid = GetUuid(&env);
            EXPECT_EQ(uuid, s.expected);
            if (s.vm && s.asked.empty()) {
                EXPECT_TRUE(log.Shows("get uuid from product_serial ok"));
            }
            // Cached: a second call opens neither the probe nor the UUID file
            // (both are now FIFOs without a writer, so opening one hangs until
            // the alarm) and makes no transfer (the requests checked below).
            for (const char* name : {"/probe", "/uuid"}) {
                const std::string path = root.path() + name;
                unlink(path.c_str());
                ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
            }
            alarm(10);
            EXPECT_EQ(GetUuid(&env), std::string(s.expected));
        });
        EXPECT_EQ(status, 0) << s.name;
        std::vector<std::string> asked;
        for (const HttpRequest& request : server.Requests())
            asked.push_back(request.target);
        EXPECT_EQ(asked, s.asked) << s.name;
    }
}

TEST(Uuid, NoSourceReportsAndExits)
{
    LocalHttpServer server([](const HttpRequest& request) {
        HttpReply reply;
        reply.body = request.target == "/second" ? "not a uuid" : "{}";
        return reply;
    });
    TempRoot root;
    root.WriteConf("metadata_url=http://127.0.0.1:" + std::to_string(RefusingPort()) + "/first\n" +
                   "vqx_new_metadata_url=" + server.Url("/second") + "\n" + "url=" + server.Url("/report") +
                   "\ntimeout=5\n");
    const int status = RunInChild([&] {
        g_vmProbes.clear();
        FakeEnv env;
        GetUuid(&env);
        ADD_FAILURE() << "GetUuid returned without a UUID";
    });
    EXPECT_EQ(status, 1);

    const std::vector<HttpRequest> requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].target, "/second");
    EXPECT_EQ(requests[1].target, "/report");
    EXPECT_EQ(requests[1].method, "POST");
    Json::Value body;
    ASSERT_TRUE(Json::Reader().parse(requests[1].body, body));
    EXPECT_EQ(body["interface"]["interfaceName"], "ReportException");
    const Json::Value& para = body["interface"]["para"];
    EXPECT_EQ(para["exceptionEvent"], 1);
    EXPECT_TRUE(para.isMember("exceptionData"));
    EXPECT_TRUE(para["exceptionData"].isNull());
    EXPECT_FALSE(para.isMember("uuid"));
}

// In a network namespace of its own the child starts without eth0 and without
// a route; eth0 then appears (bytes from 0x80 up in its MAC), then changes its
// addresses.
TEST(NetworkIdentity, TriedAgainUntilFoundThenKept)
{
    const int status = RunInChild([] {
        ASSERT_EQ(unshare(CLONE_NEWNET), 0) << strerror(errno);
        EXPECT_EQ(GetMac(), "");
        EXPECT_EQ(GetLocalIp(), "0:0:0:0");

        ASSERT_EQ(system("ip link add eth0 type veth peer name peer0 && ip link set eth0 address 02:a0:5e:80:c1:ff"
                         " && ip link set eth0 up && ip link set peer0 up && ip addr add 10.1.2.3/24 dev eth0"
                         " && ip route add default via 10.1.2.1"),
                  0);
        EXPECT_EQ(GetMac(), "02:a0:5e:80:c1:ff");
        EXPECT_EQ(GetLocalIp(), "10.1.2.3");

        ASSERT_EQ(system("ip link set eth0 address 02:00:5e:00:00:02 && ip addr flush dev eth0"
                         " && ip addr add 10.4.5.6/24 dev eth0 && ip route replace default via 10.4.5.1"),
                  0);
        EXPECT_EQ(GetMac(), "02:a0:5e:80:c1:ff");
        EXPECT_EQ(GetLocalIp(), "10.1.2.3");
    });
    EXPECT_EQ(status, 0);
}

TEST(FirstRun, MarkerLifecycle)
{
    TempRoot root;
    EXPECT_EQ(IsFirstRun(), 1);
    SetFirstRunDone();
    EXPECT_EQ(IsFirstRun(), 0);
    root.WriteFile("bin/firstRun", "left by someone");
    SetFirstRunDone(); // truncates, stays a marker
    EXPECT_EQ(IsFirstRun(), 0);
    EXPECT_EQ(ReadFile("firstRun"), "");
}

} // namespace
