// The package download and its digest check against a real local HTTP(S)
// server and real files: results, g_message, log lines and the package file
// left behind. Each run is in a forked child, so its log lands in its root.
#include "module_manager/package.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include "agent/agent.h"
#include "agent/message.h"
#include "module_manager/module_paths.h"
#include "support/fake_env.h"
#include "support/forked_child.h"
#include "support/local_http_server.h"
#include "support/log_tail.h"
#include "support/standin_tls_server.h"
#include "support/temp_root.h"

namespace {

const char* const kConf = "checktime=5\ninterval=60\nurl=http://127.0.0.1:1/q\ntimeout=10\n";
const char* const kUntouched = "message before";

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

mode_t ModeOf(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

std::string Md5Hex(const std::string& data)
{
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(data.data(), data.size(), out, &len, EVP_md5(), nullptr);
    std::string hex;
    char two[3];
    for (unsigned int i = 0; i < len; ++i) {
        snprintf(two, sizeof two, "%02x", out[i]);
        hex += two;
    }
    return hex;
}

std::string CurlText(CURLcode code)
{
    return curl_easy_strerror(code);
}

// What one call left: its result, g_message and the log lines it wrote.
struct Outcome {
    int result;
    std::string message;
    std::vector<std::string> lines;
};

// Runs call on a fresh agent of the current root in a child; check sees the
// outcome there (gtest failures in it fail the test).
void InChild(const std::function<int(CAgent&)>& call, const std::function<void(const Outcome&)>& check)
{
    const int status = RunInChild([&] {
        FakeEnv env;
        CAgent agent(&env);
        SetMessage("%s", kUntouched);
        LogTail tail;
        Outcome outcome;
        outcome.result = call(agent);
        outcome.message = g_message;
        outcome.lines = tail.Lines();
        check(outcome);
    });
    EXPECT_EQ(0, status);
}

HttpReply Reply(int status, const std::string& body, const std::string& headers = std::string())
{
    HttpReply reply;
    reply.status = status;
    reply.body = body;
    reply.headers = headers;
    return reply;
}

TEST(Download, AnswerStatusDecidesAndTheBodyIsKept)
{
    struct Case {
        const char* name;
        HttpReply reply;
        int result;
        std::string message; // empty: g_message untouched
    };
    const std::vector<Case> cases = {
        {"200 with a body", Reply(200, std::string("pkg\0bytes\n", 10)), 0, ""},
        {"200 with an empty body", Reply(200, ""), 0, ""},
        {"404 keeps the error body", Reply(404, "no such package\n"), -1, "download file error, http code: 404."},
        {"a redirect is not followed", Reply(302, "moved", "Location: /elsewhere\r\n"), -1,
         "download file error, http code: 302."},
        {"a server error", Reply(500, ""), -1, "download file error, http code: 500."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LocalHttpServer server([&](const HttpRequest&) { return c.reply; });
        TempRoot root;
        root.WriteConf(kConf);
        const std::string url = server.Url("/pkg");
        InChild([&](CAgent& agent) { return agent.Download(url); },
                [&](const Outcome& o) {
                    EXPECT_EQ(c.result, o.result);
                    if (c.result == 0) {
                        EXPECT_EQ(kUntouched, o.message);
                        EXPECT_EQ(std::vector<std::string>{"[INFO]download file " + url + " succ."}, o.lines);
                        EXPECT_EQ(0755u, ModeOf(kPackagePath));
                    } else {
                        EXPECT_EQ(c.message, o.message);
                        EXPECT_EQ(std::vector<std::string>{"[ERROR]" + c.message}, o.lines);
                    }
                    EXPECT_EQ(c.reply.body, ReadFile(kPackagePath));
                });
        const std::vector<HttpRequest> requests = server.Requests();
        ASSERT_EQ(1u, requests.size());
        EXPECT_EQ("GET", requests[0].method);
        EXPECT_EQ("/pkg", requests[0].target);
    }
}

TEST(Download, TransportFailureCarriesTheLibraryTextAndEmptiesThePackage)
{
    TempRoot root;
    root.WriteConf(kConf);
    root.WriteFile("quillmar_install", "an older package");
    const std::string url = "http://127.0.0.1:" + std::to_string(RefusingPort()) + "/pkg";
    const std::string message = "download file error: " + CurlText(CURLE_COULDNT_CONNECT) + ".";
    InChild([&](CAgent& agent) { return agent.Download(url); },
            [&](const Outcome& o) {
                EXPECT_EQ(-1, o.result);
                EXPECT_EQ(message, o.message);
                EXPECT_EQ(std::vector<std::string>{"[ERROR]" + message}, o.lines);
                EXPECT_EQ("", ReadFile(kPackagePath));
            });
}

TEST(Download, TimeLimitCoversTheTransferAndZeroMeansNone)
{
    LocalHttpServer server([](const HttpRequest&) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1200));
        return Reply(200, "late");
    });
    TempRoot root;
    root.WriteConf(kConf);
    const std::string url = server.Url("/pkg");
    const std::string message = "download file error: " + CurlText(CURLE_OPERATION_TIMEDOUT) + ".";
    InChild(
        [&](CAgent& agent) {
            agent.m_timeout = 1;
            return agent.Download(url);
        },
        [&](const Outcome& o) {
            EXPECT_EQ(-1, o.result);
            EXPECT_EQ(message, o.message);
        });
    InChild(
        [&](CAgent& agent) {
            agent.m_timeout = 0;
            return agent.Download(url);
        },
        [&](const Outcome& o) {
            EXPECT_EQ(0, o.result);
            EXPECT_EQ("late", ReadFile(kPackagePath));
        });
}

// The package runs as root once verified: under the daemon's umask 0 it must
// never be writable by others, even when an older package file was.
TEST(Download, PackageFileIsNeverWritableByOthers)
{
    int status = 404;
    LocalHttpServer server([&](const HttpRequest&) { return Reply(status, "body"); });
    TempRoot root;
    root.WriteConf(kConf);
    root.WriteFile("quillmar_install", "old");
    ASSERT_EQ(0, chmod((root.path() + "/quillmar_install").c_str(), 0666));
    const std::string url = server.Url("/pkg");
    auto download = [&](CAgent& agent) {
        umask(0);
        return agent.Download(url);
    };
    InChild(download, [](const Outcome& o) {
        EXPECT_EQ(-1, o.result);
        EXPECT_EQ(0600u, ModeOf(kPackagePath));
    });
    status = 200;
    InChild(download, [](const Outcome& o) {
        EXPECT_EQ(0, o.result);
        EXPECT_EQ(0755u, ModeOf(kPackagePath));
    });
}

TEST(Download, HttpsPackagesFollowTheTransportSecurityRule)
{
    TempRoot root;
    root.WriteConf(kConf);
    const std::string tlsDir = root.area() + "/tls";
    ASSERT_EQ(0, mkdir(tlsDir.c_str(), 0755));
    const std::string body = "package over tls";
    StandinTlsServer server(tlsDir, "/pkg", body);
    const std::string lower = server.HttpsUrl("/pkg");
    const std::string upper = "HTTPS" + lower.substr(5);
    const std::string peerFailed = "download file error: " + CurlText(CURLE_PEER_FAILED_VERIFICATION) + ".";
    struct Case {
        const char* name;
        std::string url;
        int useCA;
        std::string caPath;
        std::string message; // empty: success
    };
    const std::vector<Case> cases = {
        {"useCA 0: chain not verified", lower, 0, "", ""},
        {"useCA 1 with the signing CA", lower, 1, server.CaFile(), ""},
        {"useCA 1 with a wrong CA", lower, 1, server.OtherCaFile(), peerFailed},
        // No option set: the library verifies against its own store, which
        // does not know the test CA, and no CA file is named.
        {"capital scheme, useCA 0", upper, 0, "", peerFailed},
        {"capital scheme, useCA 1 with the signing CA", upper, 1, server.CaFile(), peerFailed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        InChild(
            [&](CAgent& agent) {
                agent.m_useCA = c.useCA;
                agent.m_caPath = c.caPath;
                return agent.Download(c.url);
            },
            [&](const Outcome& o) {
                if (c.message.empty()) {
                    EXPECT_EQ(0, o.result);
                    EXPECT_EQ(body, ReadFile(kPackagePath));
                } else {
                    EXPECT_EQ(-1, o.result);
                    EXPECT_EQ(c.message, o.message);
                    EXPECT_EQ(std::vector<std::string>{"[ERROR]" + c.message}, o.lines);
                }
            });
    }
}

TEST(CheckMd5, DigestComparedByteForByte)
{
    std::mt19937 random(7);
    std::string large(3 * 4096 + 17, '\0');
    for (char& c : large)
        c = static_cast<char>(random());
    const std::string hello = "hello";
    const std::string digest = Md5Hex(hello);
    std::string upper = digest;
    for (char& c : upper)
        c = static_cast<char>(toupper(c));
    struct Case {
        const char* name;
        std::string content;
        std::string md5;
        bool match;
    };
    const std::vector<Case> cases = {
        {"exact lower case", hello, digest, true},
        {"pieces across several reads", large, Md5Hex(large), true},
        {"an empty package", "", "d41d8cd98f00b204e9800998ecf8427e", true},
        {"upper case", hello, upper, false},
        {"a blank before", hello, " " + digest, false},
        {"a blank after", hello, digest + " ", false},
        {"empty", hello, "", false},
        {"another package's digest", hello, Md5Hex("hello\n"), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempRoot root;
        root.WriteConf(kConf);
        root.WriteFile("quillmar_install", c.content);
        const std::string local = Md5Hex(c.content);
        InChild([&](CAgent& agent) { return agent.CheckMd5(c.md5); },
                [&](const Outcome& o) {
                    if (c.match) {
                        EXPECT_EQ(0, o.result);
                        EXPECT_EQ(kUntouched, o.message);
                        EXPECT_EQ(std::vector<std::string>{"[INFO]md5 check succ, digest: " + local}, o.lines);
                    } else {
                        const std::string message = "md5 check error, local: " + local + ", remote: " + c.md5;
                        EXPECT_EQ(-1, o.result);
                        EXPECT_EQ(message, o.message);
                        EXPECT_EQ(std::vector<std::string>{"[ERROR]" + message}, o.lines);
                    }
                });
    }
}

TEST(CheckMd5, MissingPackageAndOverlongDigest)
{
    TempRoot root;
    root.WriteConf(kConf);
    InChild([](CAgent& agent) { return agent.CheckMd5(Md5Hex("")); },
            [](const Outcome& o) {
                EXPECT_EQ(-1, o.result);
                EXPECT_EQ("md5 check error: open local file fail.", o.message);
                EXPECT_EQ(std::vector<std::string>{"[ERROR]md5 check error: open local file fail."}, o.lines);
            });
    root.WriteFile("quillmar_install", "x");
    const std::string remote(5000, 'a');
    InChild([&](CAgent& agent) { return agent.CheckMd5(remote); },
            [&](const Outcome& o) {
                EXPECT_EQ(-1, o.result);
                const std::string full = "md5 check error, local: " + Md5Hex("x") + ", remote: " + remote;
                EXPECT_EQ(full.substr(0, 4095), o.message);
            });
}

} // namespace
