// The install pipeline end to end with a real package from a local HTTP
// server, real /bin/sh installers and administration scripts and real module
// trees: every result with its message, log lines, waits and what it leaves
// on disk (package file, module directory, backup, marker).
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "agent/agent.h"
#include "agent/message.h"
#include "support/child_log.h"
#include "support/fake_env.h"
#include "support/file_checks.h"
#include "support/local_http_server.h"
#include "support/private_mounts.h"
#include "support/script_file.h"
#include "support/temp_root.h"

namespace {

// Settings that the agent reads without a complaint in the log.
const char* const kConf = "checktime=5\ninterval=60\nurl=http://127.0.0.1:9/q\ntimeout=10\n";

// Everything below a directory as lstat and the bytes show it: per relative
// path its type, mode, modification time and content (a link's target, a
// file's bytes).
using Tree = std::map<std::string, std::string>;

void Walk(const std::string& dir, const std::string& relative, Tree& tree)
{
    DIR* d = opendir(dir.c_str());
    if (d == nullptr)
        return;
    while (dirent* entry = readdir(d)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        const std::string path = dir + "/" + name;
        const std::string rel = relative + "/" + name;
        struct stat st;
        lstat(path.c_str(), &st);
        std::string& item = tree[rel];
        item = std::to_string(st.st_mode) + " " + std::to_string(st.st_mtim.tv_sec) + "." +
               std::to_string(st.st_mtim.tv_nsec) + " ";
        if (S_ISLNK(st.st_mode)) {
            char target[4096];
            const ssize_t n = readlink(path.c_str(), target, sizeof target);
            item += std::string(target, n > 0 ? static_cast<size_t>(n) : 0);
        } else if (S_ISDIR(st.st_mode)) {
            Walk(path, rel, tree);
        } else {
            item += ReadFileBytes(path);
        }
    }
    closedir(d);
}

Tree Snapshot(const std::string& dir)
{
    Tree tree;
    Walk(dir, "", tree);
    return tree;
}

// One installation root with a package server, a module directory P beside
// the root (a path of plain bytes, so commands show it as it is), the module
// trees a test lays out and the events their scripts record.
class Scene {
public:
    explicit Scene(const std::string& directoryName = "mod")
        : server([this](const HttpRequest&) {
              HttpReply reply;
              reply.status = status;
              reply.body = package;
              return reply;
          }),
          P(root.area() + "/" + directoryName), url(server.Url("/pkg"))
    {
        root.WriteConf(kConf);
    }

    // The module as it is before the install: files of several modes, a
    // directory and a link, and a stop script that records its run.
    void OldModule(const std::string& stopBody = "exit 0\n")
    {
        ASSERT_TRUE(WriteScript(P + "/admin/stop.sh", "echo old stopped >> " + Events() + "\n" + stopBody));
        ASSERT_TRUE(WriteScript(P + "/conf/app.conf", "old settings\n", 0600));
        ASSERT_TRUE(WriteScript(P + "/data", "old data", 0640));
        ASSERT_EQ(0, symlink("conf", (P + "/current").c_str()));
        old = Snapshot(P);
    }

    // The tree the package installs as P: a start probe that replays
    // statuses (one a line; none: no script at all) and a stop script.
    void NewModule(const std::string& statuses, const std::string& stopBody = "exit 0\n")
    {
        const std::string dir = root.area() + "/new";
        ASSERT_TRUE(WriteScript(dir + "/bin/run", "echo new\n"));
        if (!statuses.empty()) {
            std::ofstream(root.area() + "/statuses") << statuses;
            const std::string list = root.area() + "/statuses";
            ASSERT_TRUE(WriteScript(dir + "/admin/trystart.sh",
                                    "s=$(head -n 1 " + list + "); sed -i 1d " + list + "; exit ${s:-0}\n"));
            ASSERT_TRUE(WriteScript(dir + "/admin/stop.sh", "echo new stopped >> " + Events() + "\n" + stopBody));
        }
    }

    // The package: an installer that copies the new tree to P, records its
    // run and exits with exitCode.
    void Installer(int exitCode = 0)
    {
        package = "#!/bin/sh\necho installer ran >> " + Events() + "\ncp -a " + root.area() + "/new " + P +
                  "\nexit " + std::to_string(exitCode) + "\n";
    }

    ModuleInfo Module() const
    {
        ModuleInfo module;
        module.moduleId = 7;
        module.fileId = 70;
        module.name = "mod";
        module.installPath = P;
        module.uri = url;
        module.md5 = Md5Hex(package);
        return module;
    }

    // Installs module in a forked child: expects result, g_message and the
    // waits there, and gives the log lines.
    std::vector<std::string> Install(const ModuleInfo& module, int result, const std::string& message,
                                     const std::vector<unsigned int>& sleeps, int mask = -1)
    {
        return LinesLoggedInChild([&] {
            if (mask >= 0)
                umask(static_cast<mode_t>(mask));
            FakeEnv env;
            env.runCommands = true;
            if (arrangeEnv)
                arrangeEnv(env);
            CAgent agent(&env);
            EXPECT_EQ(result, agent.Install(module));
            EXPECT_EQ(message, std::string(g_message));
            EXPECT_EQ(sleeps, env.sleeps);
        });
    }

    std::string Events() const { return root.area() + "/events"; }
    std::string PackageFile() const { return root.path() + "/quillmar_install"; }
    std::string Marker() const { return root.path() + "/modules/mod"; }

    // What the lines of the steps that pass look like.
    std::vector<std::string> UpToBackup(const std::string& digest) const
    {
        return {"[INFO]download file " + url + " succ.", "[INFO]md5 check succ, digest: " + digest,
                "[INFO]execute " + P + "/admin/stop.sh, ret = 0", "[INFO]backup " + P + " succ."};
    }
    std::string Probe(int status) const
    {
        return "[INFO]execute " + P + "/admin/trystart.sh, ret = " + std::to_string(status);
    }

    TempRoot root;
    int status = 200;
    std::string package;
    LocalHttpServer server;
    const std::string P;
    const std::string url;
    Tree old;
    // Run on the child's FakeEnv before the install, when set.
    std::function<void(FakeEnv&)> arrangeEnv;
};

std::vector<std::string> Join(std::vector<std::string> a, const std::vector<std::string>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(InstallPipeline, EveryResultWithWhatItLeaves)
{
    const std::string restart = "restart more than 3 times in 5 minute.";
    struct Row {
        const char* name;
        std::function<void(Scene&)> arrange;
        std::function<void(ModuleInfo&)> change; // of the record, may be null
        int result;
        std::function<std::string(const Scene&)> message;
        std::function<std::vector<std::string>(const Scene&, const std::string&)> lines; // with the digest
        std::vector<unsigned int> sleeps;
        bool packageKept; // else removed
        bool moduleIsNew; // else the old module, exactly
        const char* events; // what the scripts recorded, in order
    };
    const std::vector<Row> rows = {
        {"0: all six steps pass (probes 0,0,0,1,1)",
         [](Scene& s) {
             s.OldModule();
             s.NewModule("0\n0\n0\n1\n1\n");
             s.Installer();
         },
         nullptr, 0, [](const Scene&) { return "install succ."; },
         [](const Scene& s, const std::string& d) {
             return Join(s.UpToBackup(d), {"[INFO]execute ../quillmar_install, ret = 0", s.Probe(0), s.Probe(0),
                                           s.Probe(0), s.Probe(1), s.Probe(1)});
         },
         {2, 60, 60, 60, 60, 60}, false, true, "old stopped\ninstaller ran\n"},
        {"1: the download fails (404)",
         [](Scene& s) {
             s.OldModule();
             s.Installer();
             s.status = 404;
         },
         nullptr, 1, [](const Scene&) { return "download file error, http code: 404."; },
         [](const Scene&, const std::string&) {
             return std::vector<std::string>{"[ERROR]download file error, http code: 404."};
         },
         {}, true, false, ""},
        {"2: the digest differs; the package never runs",
         [](Scene& s) {
             s.OldModule();
             s.NewModule("1\n");
             s.Installer();
         },
         [](ModuleInfo& m) { m.md5 = Md5Hex("another package"); }, 2,
         [](const Scene& s) {
             return "md5 check error, local: " + Md5Hex(s.package) + ", remote: " + Md5Hex("another package");
         },
         [](const Scene& s, const std::string& d) {
             return std::vector<std::string>{"[INFO]download file " + s.url + " succ.",
                                             "[ERROR]md5 check error, local: " + d +
                                                 ", remote: " + Md5Hex("another package")};
         },
         {}, true, false, ""},
        {"3: the old module's stop script fails",
         [](Scene& s) {
             s.OldModule("exit 3\n");
             s.NewModule("1\n");
             s.Installer();
         },
         nullptr, 3, [](const Scene& s) { return "execute " + s.P + "/admin/stop.sh, ret = 3"; },
         [](const Scene& s, const std::string& d) {
             return std::vector<std::string>{"[INFO]download file " + s.url + " succ.",
                                             "[INFO]md5 check succ, digest: " + d,
                                             "[INFO]execute " + s.P + "/admin/stop.sh, ret = 3"};
         },
         {}, true, false, "old stopped\n"},
        {"4: the backup fails (a trailing slash: a move into itself)",
         [](Scene& s) {
             s.OldModule();
             s.NewModule("1\n");
             s.Installer();
         },
         [](ModuleInfo& m) { m.installPath += "/"; }, 4,
         [](const Scene& s) { return "backup " + s.P + "/ failed, errno = 22"; },
         [](const Scene& s, const std::string& d) {
             return std::vector<std::string>{
                 "[INFO]download file " + s.url + " succ.", "[INFO]md5 check succ, digest: " + d,
                 "[INFO]execute " + s.P + "//admin/stop.sh, ret = 0",
                 "[ERROR]move from " + s.P + "/ to " + s.P + "/.QUILLMAR failed: rename error",
                 "[ERROR]backup " + s.P + "/ failed, errno = 22"};
         },
         {2}, true, false, "old stopped\n"},
        {"5: the installer fails half-way; rolled back",
         [](Scene& s) {
             s.OldModule();
             s.NewModule("1\n");
             s.Installer(1);
         },
         nullptr, 5, [](const Scene&) { return "execute ../quillmar_install, ret = 1"; },
         [](const Scene& s, const std::string& d) {
             return Join(s.UpToBackup(d),
                         {"[INFO]execute ../quillmar_install, ret = 1", "[INFO]roll back " + s.P + " succ."});
         },
         {2}, false, false, "old stopped\ninstaller ran\n"},
        {"6: the guard fails (probes 1,0,0,0,0); stopped and rolled back",
         [](Scene& s) {
             s.OldModule();
             s.NewModule("1\n0\n0\n0\n0\n");
             s.Installer();
         },
         nullptr, 6, [&](const Scene&) { return restart; },
         [&](const Scene& s, const std::string& d) {
             return Join(s.UpToBackup(d), {"[INFO]execute ../quillmar_install, ret = 0", s.Probe(1), s.Probe(0),
                                           s.Probe(0), s.Probe(0), s.Probe(0),
                                           "[INFO]execute " + s.P + "/admin/stop.sh, ret = 0",
                                           "[INFO]roll back " + s.P + " succ.", "[ERROR]" + restart});
         },
         {2, 60, 60, 60, 60, 2}, false, false, "old stopped\ninstaller ran\nnew stopped\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Scene s;
        row.arrange(s);
        ModuleInfo module = s.Module();
        if (row.change)
            row.change(module);
        const std::string package = s.package;
        const auto lines = s.Install(module, row.result, row.message(s), row.sleeps);
        EXPECT_EQ(row.lines(s, Md5Hex(package)), lines);

        if (row.packageKept)
            EXPECT_EQ(package, ReadFileBytes(s.PackageFile())); // for 1: the error answer's body
        else
            EXPECT_FALSE(Exists(s.PackageFile()));
        if (row.moduleIsNew)
            EXPECT_EQ(Snapshot(s.root.area() + "/new"), Snapshot(s.P));
        else
            EXPECT_EQ(s.old, Snapshot(s.P));
        EXPECT_FALSE(Exists(s.P + ".QUILLMAR"));
        EXPECT_FALSE(Exists(s.P + "/.QUILLMAR"));
        EXPECT_FALSE(Exists(s.P + ".QUILLMAR.discarded.1"));
        EXPECT_EQ(row.result == 0, Exists(s.Marker()));
        EXPECT_EQ(row.result == 0, Exists(s.root.path() + "/modules"));
        EXPECT_EQ(row.events, ReadFileBytes(s.Events()));
    }
}

TEST(InstallPipeline, FirstInstallWithoutADirectory)
{
    for (int installerExit : {0, 1}) {
        SCOPED_TRACE(installerExit);
        Scene s;
        s.NewModule("1\n1\n1\n1\n1\n");
        s.Installer(installerExit);
        const std::string digest = Md5Hex(s.package);
        // No stop script yet: the pause only; nothing to move aside.
        std::vector<std::string> expected = {"[INFO]download file " + s.url + " succ.",
                                             "[INFO]md5 check succ, digest: " + digest,
                                             "[INFO]access(" + s.P + "): No such file or directory",
                                             "[INFO]backup " + s.P + " succ."};
        if (installerExit == 0) {
            expected = Join(expected, {"[INFO]execute ../quillmar_install, ret = 0", s.Probe(1), s.Probe(1),
                                       s.Probe(1), s.Probe(1), s.Probe(1)});
            EXPECT_EQ(expected, s.Install(s.Module(), 0, "install succ.", {2, 60, 60, 60, 60, 60}));
            EXPECT_EQ(Snapshot(s.root.area() + "/new"), Snapshot(s.P));
            EXPECT_TRUE(Exists(s.Marker()));
        } else {
            // The rollback deletes what the installer left: nothing remains.
            expected = Join(expected, {"[INFO]execute ../quillmar_install, ret = 1",
                                       "[INFO]access(" + s.P + ".QUILLMAR): No such file or directory",
                                       "[INFO]roll back " + s.P + " succ."});
            EXPECT_EQ(expected, s.Install(s.Module(), 5, "execute ../quillmar_install, ret = 1", {2}));
            EXPECT_FALSE(Exists(s.P));
            EXPECT_FALSE(Exists(s.root.path() + "/modules"));
        }
        EXPECT_FALSE(Exists(s.P + ".QUILLMAR"));
        EXPECT_FALSE(Exists(s.PackageFile()));
    }
}

// A module that mounts a volume inside its own directory: the old version's
// backup cannot be deleted whole once the new one passes its guard. What is
// left must never come back, not even when a later install fails; nor when
// the directory's name is so long that the name it is set aside under must be
// cut to fit.
TEST(InstallPipeline, APassedGuardIsNotUndoneByWhatItsBackupLeft)
{
    const std::string longName(240, 'l');
    struct Case {
        std::string directoryName;
        std::string asideName; // what the old version's backup is set aside under
    };
    const std::vector<Case> cases = {
        {"mod", "mod.QUILLMAR.discarded.1"},
        // Its backup name (249 bytes) fits; the name set aside is cut to 255.
        {longName, longName.substr(0, 234) + ".QUILLMAR.discarded.1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.directoryName.size());
        Scene s(c.directoryName);
        s.OldModule();
        const std::string outside = s.root.area() + "/outside";
        ASSERT_TRUE(WriteScript(outside + "/volume/data", "kept", 0600));
        const Tree volume = Snapshot(outside);
        ASSERT_EQ(0, mkdir((s.P + "/vol").c_str(), 0755));
        s.NewModule("1\n1\n1\n1\n1\n");
        s.Installer();
        const std::string v2 = s.package;
        const std::string v3 = "#!/bin/sh\nmkdir -p " + s.P + " && echo half > " + s.P + "/v3\nexit 1\n";
        LocalHttpServer packages([&](const HttpRequest& request) {
            HttpReply reply;
            reply.body = request.target == "/v2" ? v2 : v3;
            return reply;
        });
        ModuleInfo second = s.Module();
        second.uri = packages.Url("/v2");
        ModuleInfo third = second;
        third.uri = packages.Url("/v3");
        third.md5 = Md5Hex(v3);
        const std::string discarded = s.root.area() + "/" + c.asideName;
        const auto lines = LinesLoggedInChild([&] {
            ASSERT_TRUE(EnterPrivateMounts() && Bind(outside, s.P + "/vol"));
            FakeEnv env;
            env.runCommands = true;
            CAgent agent(&env);
            EXPECT_EQ(0, agent.Install(second));
            EXPECT_EQ(5, agent.Install(third));
            EXPECT_EQ(Snapshot(s.root.area() + "/new"), Snapshot(s.P));
        });
        EXPECT_EQ(Snapshot(s.root.area() + "/new"), Snapshot(s.P));
        EXPECT_EQ(volume, Snapshot(outside));
        EXPECT_FALSE(Exists(s.P + ".QUILLMAR"));
        EXPECT_TRUE(Exists(discarded + "/vol"));
        // The first install's guard could not delete the volume; the second
        // install moved v2 aside without restoring anything first.
        const std::string backup = "[INFO]backup " + s.P + " succ.";
        const std::string failure = "[ERROR]delete " + discarded + "/vol failed: remove error";
        const auto failed = std::find(lines.begin(), lines.end(), failure);
        ASSERT_NE(lines.end(), failed);
        const auto next = std::find(failed, lines.end(), backup);
        ASSERT_NE(lines.end(), next);
        EXPECT_NE("[INFO]roll back " + s.P + " succ.", *(next - 1));
    }
}

TEST(InstallPipeline, GuardFailsAtTheFourthRestart)
{
    const std::string restart = "restart more than 3 times in 5 minute.";
    struct Case {
        const char* name;
        const char* statuses; // empty: the package installs no start script
        const char* stopBody;
        int probe; // the status every probe gives
        int stop; // the stop script's status; -1: it does not run
        std::vector<unsigned int> sleeps;
        std::function<void(FakeEnv&, const Scene&)> arrangeEnv; // may be null
    };
    const std::vector<Case> cases = {
        // The shell's 127 for a missing script counts like any restart; the
        // stop that follows finds no script and pauses.
        {"no start script", "", "", 127, -1, {2, 60, 60, 60, 2}, nullptr},
        // The earliest failure: right after the fourth probe, and a stop
        // that fails returns at once.
        {"four restarts, a failing stop", "0\n0\n0\n0\n", "exit 3\n", 0, 3, {2, 60, 60, 60}, nullptr},
        // A probe that cannot be run counts like a restart too.
        {"no probe can be run", "1\n", "exit 0\n", -EAGAIN, 0, {2, 60, 60, 60, 2},
         [](FakeEnv& env, const Scene& s) {
             for (int probe = 0; probe < 5; ++probe)
                 env.scripts[s.P + "/admin/trystart.sh"].push_back(FakeEnv::NoChild(EAGAIN));
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Scene s;
        s.OldModule();
        s.NewModule(c.statuses, c.stopBody);
        s.Installer();
        if (c.arrangeEnv)
            s.arrangeEnv = [&](FakeEnv& env) { c.arrangeEnv(env, s); };
        std::vector<std::string> expected = Join(s.UpToBackup(Md5Hex(s.package)),
                                                 {"[INFO]execute ../quillmar_install, ret = 0", s.Probe(c.probe),
                                                  s.Probe(c.probe), s.Probe(c.probe), s.Probe(c.probe)});
        if (c.stop >= 0)
            expected.push_back("[INFO]execute " + s.P + "/admin/stop.sh, ret = " + std::to_string(c.stop));
        expected = Join(expected, {"[INFO]roll back " + s.P + " succ.", "[ERROR]" + restart});
        EXPECT_EQ(expected, s.Install(s.Module(), 6, restart, c.sleeps));
        EXPECT_EQ(s.old, Snapshot(s.P));
        EXPECT_FALSE(Exists(s.P + ".QUILLMAR"));
        EXPECT_FALSE(Exists(s.Marker()));
    }
}

TEST(InstallPipeline, MarkerAndItsDirectory)
{
    struct Case {
        const char* name;
        std::string moduleName;
        int mask;
        bool markerBefore;
    };
    const std::vector<Case> cases = {
        {"a reinstall leaves the marker as it was", "mod", 022, true},
        {"made with exact modes under a test's umask", "mod", 077, false},
        {"made with exact modes under the daemon's umask", "mod", 0, false},
        {"an empty name: the directory is the marker", "", 022, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Scene s;
        s.NewModule("1\n1\n1\n1\n1\n");
        s.Installer();
        ModuleInfo module = s.Module();
        module.name = c.moduleName;
        const std::string modules = s.root.path() + "/modules";
        struct utimbuf longAgo = {1000000000, 1000000000};
        if (c.markerBefore) {
            ASSERT_EQ(0, mkdir(modules.c_str(), 0700));
            std::ofstream(s.Marker()) << "kept";
            ASSERT_EQ(0, chmod(s.Marker().c_str(), 0600));
            ASSERT_EQ(0, utime(s.Marker().c_str(), &longAgo));
        }
        s.Install(module, 0, "install succ.", {2, 60, 60, 60, 60, 60}, c.mask);
        struct stat st;
        if (c.markerBefore) {
            EXPECT_EQ(0700u, ModeOf(modules));
            EXPECT_EQ("kept", ReadFileBytes(s.Marker()));
            EXPECT_EQ(0600u, ModeOf(s.Marker()));
            ASSERT_EQ(0, stat(s.Marker().c_str(), &st));
            EXPECT_EQ(longAgo.modtime, st.st_mtime);
        } else {
            EXPECT_EQ(0755u, ModeOf(modules));
            if (c.moduleName.empty()) {
                EXPECT_EQ(Tree(), Snapshot(modules));
            } else {
                ASSERT_EQ(0, lstat(s.Marker().c_str(), &st));
                EXPECT_TRUE(S_ISREG(st.st_mode));
                EXPECT_EQ(0644u, st.st_mode & 07777);
                EXPECT_EQ(0, st.st_size);
            }
        }
    }
}

} // namespace
