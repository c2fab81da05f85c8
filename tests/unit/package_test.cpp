// The package download and its digest check against a real local HTTP(S)
// server and real files: results, g_message, log lines and the package file
// left behind. Each agent call runs in a forked child (its log lands in its
// root), where mounts and dropped capabilities stay with it.
#include "module_manager/package.h"

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <curl/curl.h>
#include <gtest/gtest.h>

#include "agent/agent.h"
#include "agent/message.h"
#include "common/logger.h"
#include "common/open_descriptors.h"
#include "module_manager/module_paths.h"
#include "support/child_log.h"
#include "support/dac_capabilities.h"
#include "support/fake_env.h"
#include "support/file_checks.h"
#include "support/forked_child.h"
#include "support/local_http_server.h"
#include "support/private_mounts.h"
#include "support/standin_tls_server.h"
#include "support/temp_root.h"

namespace {

// Set in a child: the package file's next close fails, as on a file system
// that reports a late write-back error only there.
bool g_failPackageClose = false;

} // namespace

extern "C" {

int __real_fclose(FILE* stream);

// Closes the stream for real; only the armed package file's close then
// reports EIO.
int __wrap_fclose(FILE* stream)
{
    struct stat file;
    struct stat package;
    const bool fail = g_failPackageClose && fstat(fileno(stream), &file) == 0 && stat(kPackagePath, &package) == 0 &&
                      file.st_dev == package.st_dev && file.st_ino == package.st_ino;
    const int result = __real_fclose(stream);
    if (!fail || result != 0)
        return result;
    g_failPackageClose = false;
    errno = EIO;
    return EOF;
}

} // extern "C"

namespace {

// Settings that the agent reads without a complaint in the log.
const char* const kConf = "checktime=5\ninterval=60\nurl=http://127.0.0.1:9/q\ntimeout=10\n";
const char* const kUntouched = "left from before";

std::string DownloadError(CURLcode code)
{
    return std::string("download file error: ") + curl_easy_strerror(code) + ".";
}

std::vector<std::string> Error(const std::string& text)
{
    return {"[ERROR]" + text};
}

std::vector<std::string> Info(const std::string& text)
{
    return {"[INFO]" + text};
}

// One call on a fresh agent of the current root, in a forked child: it
// expects result and g_message (empty: left untouched) there, and gives the
// log lines the call wrote. arrange runs first in the child.
std::vector<std::string> Expect(const std::function<int(CAgent&)>& call, int result, const std::string& message,
                                const std::function<void()>& arrange = nullptr)
{
    return LinesLoggedInChild([&] {
        if (arrange)
            arrange();
        FakeEnv env;
        CAgent agent(&env);
        SetMessage("%s", kUntouched);
        EXPECT_EQ(result, call(agent));
        EXPECT_EQ(message.empty() ? kUntouched : message, std::string(g_message));
    });
}

HttpReply Reply(int status, const std::string& body, const std::string& headers = std::string())
{
    HttpReply reply;
    reply.status = status;
    reply.body = body;
    reply.headers = headers;
    return reply;
}

class Package : public testing::Test {
protected:
    Package() { root.WriteConf(kConf); }

    std::string PackageFile() const { return root.path() + "/quillmar_install"; }

    TempRoot root;
};

TEST_F(Package, DownloadAnswerStatusDecidesAndTheBodyIsKept)
{
    struct Case {
        const char* name;
        HttpReply reply;
        std::string message; // empty: success
    };
    const std::vector<Case> cases = {
        {"200 with a body", Reply(200, std::string("pkg\0bytes\n", 10)), ""},
        {"200 with an empty body", Reply(200, ""), ""},
        {"204: no content is no package", Reply(204, ""), "download file error, http code: 204."},
        {"206: part of a package is none", Reply(206, "pkg", "Content-Range: bytes 0-2/9\r\n"),
         "download file error, http code: 206."},
        {"404 keeps the error body", Reply(404, "no such package\n"), "download file error, http code: 404."},
        {"a redirect is not followed", Reply(302, "moved", "Location: /elsewhere\r\n"),
         "download file error, http code: 302."},
        {"a server error", Reply(500, ""), "download file error, http code: 500."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LocalHttpServer server([&](const HttpRequest&) { return c.reply; });
        const std::string url = server.Url("/pkg");
        const bool ok = c.message.empty();
        const auto lines = Expect([&](CAgent& agent) { return agent.Download(url); }, ok ? 0 : -1, c.message);
        EXPECT_EQ(ok ? Info("download file " + url + " succ.") : Error(c.message), lines);
        EXPECT_EQ(c.reply.body, ReadFileBytes(PackageFile()));
        if (ok) {
            EXPECT_EQ(0755u, ModeOf(PackageFile()));
        }
        const std::vector<HttpRequest> requests = server.Requests();
        ASSERT_EQ(1u, requests.size());
        EXPECT_EQ("GET", requests[0].method);
        EXPECT_EQ("/pkg", requests[0].target);
    }
}

TEST_F(Package, DownloadTransportFailureCarriesTheLibraryTextAndEmptiesThePackage)
{
    root.WriteFile("quillmar_install", "an older package");
    const std::string url = "http://127.0.0.1:" + std::to_string(RefusingPort()) + "/pkg";
    const std::string message = DownloadError(CURLE_COULDNT_CONNECT);
    EXPECT_EQ(Error(message), Expect([&](CAgent& agent) { return agent.Download(url); }, -1, message));
    EXPECT_EQ("", ReadFileBytes(PackageFile()));
}

TEST_F(Package, DownloadTimeLimitCoversTheTransferAndZeroMeansNone)
{
    LocalHttpServer server([](const HttpRequest&) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1200));
        return Reply(200, "late");
    });
    const std::string url = server.Url("/pkg");
    auto withTimeout = [&](int timeout) {
        return [&, timeout](CAgent& agent) {
            agent.m_timeout = timeout;
            return agent.Download(url);
        };
    };
    Expect(withTimeout(1), -1, DownloadError(CURLE_OPERATION_TIMEDOUT));
    Expect(withTimeout(0), 0, "");
    EXPECT_EQ("late", ReadFileBytes(PackageFile()));
}

TEST_F(Package, DownloadIntoARootThatCannotBeWritten)
{
    LocalHttpServer server([](const HttpRequest&) { return Reply(200, "new"); });
    const std::string url = server.Url("/pkg");
    struct Case {
        const char* name;
        int error;
        const char* older; // the package file left from before; null: none
        std::function<void()> arrange;
    };
    const std::string rootPath = root.path();
    const std::vector<Case> cases = {
        {"read-only mount", EROFS, "an older package",
         [&] {
             // The root read-only, its logs/ writable again beneath it.
             ASSERT_TRUE(EnterPrivateMounts());
             ASSERT_TRUE(BindReadOnly(rootPath));
             const std::string logs = rootPath + "/logs";
             ASSERT_EQ(0, mount(logs.c_str(), logs.c_str(), nullptr, MS_BIND, nullptr));
             ASSERT_EQ(0, mount(nullptr, logs.c_str(), nullptr, MS_BIND | MS_REMOUNT, nullptr));
         }},
        {"mode without write, no file-mode override", EACCES, nullptr,
         [&] {
             ASSERT_EQ(0, chmod(rootPath.c_str(), 0555));
             ASSERT_TRUE(DropDacCapabilities(DacDrop::Effective));
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.older != nullptr)
            root.WriteFile("quillmar_install", c.older);
        else
            remove(PackageFile().c_str());
        const std::string message = "download file error: open local file fail, errno = " +
                                    std::to_string(c.error) + ".";
        EXPECT_EQ(Error(message), Expect([&](CAgent& agent) { return agent.Download(url); }, -1, message, c.arrange));
        if (c.older != nullptr)
            EXPECT_EQ(c.older, ReadFileBytes(PackageFile()));
        else
            EXPECT_NE(0, access(PackageFile().c_str(), F_OK));
        EXPECT_EQ(0u, server.Requests().size());
    }
    chmod(rootPath.c_str(), 0755);
}

// A disk that fills fails the download, whether the bytes that do not fit
// are written during the transfer or still wait in the stream's buffer at its
// end (where a failure would otherwise show only at fclose, unseen).
TEST_F(Package, DownloadOntoAFullDiskFailsWithTheLibraryText)
{
    const size_t capacity = 64 * 1024;
    for (size_t size : {capacity + 100, 4 * capacity}) {
        SCOPED_TRACE(size);
        LocalHttpServer server([&](const HttpRequest&) { return Reply(200, std::string(size, 'p')); });
        const std::string url = server.Url("/pkg");
        const std::string rootPath = root.path();
        const std::string logs = root.area() + "/logs";
        const std::string etc = root.area() + "/etc";
        ASSERT_EQ(0, mkdir(logs.c_str(), 0755));
        ASSERT_EQ(0, mkdir(etc.c_str(), 0755));
        std::ofstream(etc + "/base.conf") << kConf;
        auto onSmallDisk = [&] {
            // The root becomes an empty tmpfs that holds the package alone:
            // its etc/ and logs/ lead outside, logs/ to the real one.
            ASSERT_TRUE(EnterPrivateMounts());
            ASSERT_EQ(0, mount((rootPath + "/logs").c_str(), logs.c_str(), nullptr, MS_BIND, nullptr));
            ASSERT_TRUE(MountTmpfs(rootPath, capacity));
            ASSERT_EQ(0, mkdir((rootPath + "/bin").c_str(), 0755));
            ASSERT_EQ(0, symlink(etc.c_str(), (rootPath + "/etc").c_str()));
            ASSERT_EQ(0, symlink(logs.c_str(), (rootPath + "/logs").c_str()));
            ASSERT_EQ(0, chdir((rootPath + "/bin").c_str()));
        };
        const std::string message = DownloadError(CURLE_WRITE_ERROR);
        EXPECT_EQ(Error(message),
                  Expect([&](CAgent& agent) { return agent.Download(url); }, -1, message, onSmallDisk));
        remove((etc + "/base.conf").c_str());
        rmdir(etc.c_str());
        rmdir(logs.c_str());
    }
}

// Bytes that only the close finds it cannot write back fail the download as
// a short write would, and the package is never made runnable.
TEST_F(Package, DownloadWhoseCloseFailsFailsWithTheLibraryText)
{
    LocalHttpServer server([](const HttpRequest&) { return Reply(200, "pkg"); });
    const std::string url = server.Url("/pkg");
    const std::string message = DownloadError(CURLE_WRITE_ERROR);
    const auto lines = Expect(
        [&](CAgent& agent) {
            g_failPackageClose = true;
            return agent.Download(url);
        },
        -1, message);
    EXPECT_EQ(Error(message), lines);
    EXPECT_NE(0755u, ModeOf(PackageFile()));
}

// The package runs as root once verified: under the daemon's umask 0 it must
// never be writable by others, even when an older package file was.
TEST_F(Package, PackageFileIsNeverWritableByOthers)
{
    int status = 404;
    LocalHttpServer server([&](const HttpRequest&) { return Reply(status, "body"); });
    root.WriteFile("quillmar_install", "old");
    ASSERT_EQ(0, chmod(PackageFile().c_str(), 0666));
    const std::string url = server.Url("/pkg");
    auto download = [&](CAgent& agent) { return agent.Download(url); };
    auto umaskZero = [] { umask(0); };
    Expect(download, -1, "download file error, http code: 404.", umaskZero);
    EXPECT_EQ(0600u, ModeOf(PackageFile()));
    status = 200;
    Expect(download, 0, "", umaskZero);
    EXPECT_EQ(0755u, ModeOf(PackageFile()));
}

TEST_F(Package, HttpsPackagesFollowTheTransportSecurityRule)
{
    const std::string tlsDir = root.area() + "/tls";
    ASSERT_EQ(0, mkdir(tlsDir.c_str(), 0755));
    const std::string body = "package over tls";
    StandinTlsServer server(tlsDir, "/pkg", body);
    const std::string lower = server.HttpsUrl("/pkg");
    const std::string upper = "HTTPS" + lower.substr(5);
    const std::string peerFailed = DownloadError(CURLE_PEER_FAILED_VERIFICATION);
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
        const bool ok = c.message.empty();
        const auto lines = Expect(
            [&](CAgent& agent) {
                agent.m_useCA = c.useCA;
                agent.m_caPath = c.caPath;
                return agent.Download(c.url);
            },
            ok ? 0 : -1, c.message);
        EXPECT_EQ(ok ? Info("download file " + c.url + " succ.") : Error(c.message), lines);
        EXPECT_EQ(ok ? body : "", ReadFileBytes(PackageFile()));
    }
}

TEST_F(Package, CheckMd5ComparesTheDigestByteForByte)
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
        root.WriteFile("quillmar_install", c.content);
        const std::string local = Md5Hex(c.content);
        const std::string mismatch = "md5 check error, local: " + local + ", remote: " + c.md5;
        const auto lines =
            Expect([&](CAgent& agent) { return agent.CheckMd5(c.md5); }, c.match ? 0 : -1, c.match ? "" : mismatch);
        EXPECT_EQ(c.match ? Info("md5 check succ, digest: " + local) : Error(mismatch), lines);
    }
}

TEST_F(Package, CheckMd5WithoutAPackageAndWithAnOverlongDigest)
{
    const std::string noFile = "md5 check error: open local file fail.";
    EXPECT_EQ(Error(noFile), Expect([](CAgent& agent) { return agent.CheckMd5(Md5Hex("")); }, -1, noFile));

    root.WriteFile("quillmar_install", "x");
    const std::string remote(5000, 'a');
    const std::string full = "md5 check error, local: " + Md5Hex("x") + ", remote: " + remote;
    const auto lines = Expect([&](CAgent& agent) { return agent.CheckMd5(remote); }, -1, full.substr(0, 4095));
    EXPECT_EQ(Error(full.substr(0, 1023)), lines);
}

// A daemon that leaked a descriptor per install would end at EMFILE: a check
// or a download, whatever its outcome, leaves the descriptors as it found them.
TEST_F(Package, CheckAndDownloadLeaveNoDescriptorOpen)
{
    LocalHttpServer server([](const HttpRequest& request) { return Reply(request.target == "/pkg" ? 200 : 404, "x"); });
    const std::string refused = "http://127.0.0.1:" + std::to_string(RefusingPort()) + "/pkg";
    const std::string package = PackageFile();
    auto file = [&] { root.WriteFile("quillmar_install", "x"); };
    // An install that passes and leaves its marker: the installer runs, and
    // the new module says "already running" at every guard probe.
    ModuleInfo module;
    module.name = "mod";
    module.installPath = root.area() + "/mod";
    module.uri = server.Url("/pkg");
    module.md5 = Md5Hex("x");
    FakeEnv env;
    env.ScriptExits(kPackagePath, {0});
    env.ScriptExits(ShellCommand(module.installPath + kTryStartScript), {1, 1, 1, 1, 1});
    struct Case {
        const char* name;
        std::function<void()> arrange;
        std::function<int(CAgent&)> call;
    };
    const std::vector<Case> cases = {
        {"check: digests equal", file, [](CAgent& agent) { return agent.CheckMd5(Md5Hex("x")); }},
        {"check: digests differ", file, [](CAgent& agent) { return agent.CheckMd5(Md5Hex("y")); }},
        // Opens, and every read fails (EISDIR).
        {"check: the package cannot be read", [&] {
             remove(package.c_str());
             ASSERT_EQ(0, mkdir(package.c_str(), 0755));
         },
         [](CAgent& agent) { return agent.CheckMd5(Md5Hex("x")); }},
        {"check: no package", [&] { rmdir(package.c_str()); },
         [](CAgent& agent) { return agent.CheckMd5(Md5Hex("x")); }},
        {"download: 200", nullptr, [&](CAgent& agent) { return agent.Download(server.Url("/pkg")); }},
        {"download: 404", nullptr, [&](CAgent& agent) { return agent.Download(server.Url("/none")); }},
        {"download: refused", nullptr, [&](CAgent& agent) { return agent.Download(refused); }},
        {"install: passes and leaves the marker", nullptr,
         [&](CAgent& agent) {
             EXPECT_EQ(0, agent.Install(module)) << g_message;
             return 0;
         }},
    };
    EXPECT_EQ(0, RunInChild([&] {
        CAgent agent(&env);
        // What lives on opens now: the log, anything of the library's own.
        file();
        agent.CheckMd5("");
        agent.Download(server.Url("/pkg"));
        auto open = [] {
            Common::CLogger::GetInstance()->Flush(5000);
            std::vector<int> fds;
            EXPECT_TRUE(Common::OpenDescriptors(&fds));
            std::sort(fds.begin(), fds.end());
            return fds;
        };
        const std::vector<int> before = open();
        for (const Case& c : cases) {
            if (c.arrange)
                c.arrange();
            c.call(agent);
            EXPECT_EQ(before, open()) << c.name;
        }
    }));
    EXPECT_EQ(0, access((root.path() + "/modules/mod").c_str(), F_OK));
}

} // namespace
