// The real platform seam: what a shell command started through it inherits,
// and a forked child's log lines.
#include <fcntl.h>
#include <unistd.h>

#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "common/env.h"
#include "common/logger.h"
#include "support/file_checks.h"
#include "support/forked_child.h"
#include "support/temp_root.h"

namespace {

TEST(PosixEnvSystem, CommandSeesOnlyTheStandardDescriptors)
{
    TempRoot root;
    // Descriptors opened without close-on-exec, as a library might.
    const int plain = open("/dev/null", O_RDONLY);
    const int high = fcntl(plain, F_DUPFD, 200);
    ASSERT_GE(plain, 3);
    ASSERT_GE(high, 200);
    const std::string listing = root.path() + "/fds";
    const std::string command = "ls /proc/self/fd > " + listing;
    EXPECT_EQ(0, Common::Env::Default()->System(command.c_str()));
    // The shell's own listing descriptor aside: 0, 1 (the redirection), 2.
    std::istringstream names(ReadFileBytes(listing));
    std::string name;
    int others = 0;
    while (names >> name) {
        if (name != "0" && name != "1" && name != "2")
            ++others;
    }
    EXPECT_LE(others, 1) << ReadFileBytes(listing);
    // The agent's own descriptors stay open for it.
    EXPECT_NE(-1, fcntl(plain, F_GETFD));
    EXPECT_NE(-1, fcntl(high, F_GETFD));
    close(high);
    close(plain);
}

TEST(PosixEnvSystem, FailureLeavesErrnoAsSystemLeftIt)
{
    // A command that cannot start at all is the shell's 127, not a -1.
    EXPECT_EQ(127, WEXITSTATUS(Common::Env::Default()->System("/nonexistent/quillmar-command 2>/dev/null")));
}

TEST(ForkedChildLogger, LinesOfAChildForkedAfterTheParentLoggedReachTheFile)
{
    TempRoot root;
    Common::CLogger::GetInstance()->Info("parent line");
    ASSERT_TRUE(Common::CLogger::GetInstance()->Flush(2000));
    EXPECT_EQ(0, RunInChild([] { Common::CLogger::GetInstance()->Info("child line"); }));
    // The child's exit drained its own writer; the parent's line is there once.
    const std::string log = ReadFileBytes(root.path() + "/logs/quillmar.log");
    EXPECT_NE(std::string::npos, log.find("][INFO]child line\n")) << log;
    EXPECT_EQ(log.find("][INFO]parent line\n"), log.rfind("][INFO]parent line\n")) << log;
}

TEST(ForkedChildLogger, AChildOpensTheLogByItsPathAgain)
{
    {
        TempRoot earlier;
        Common::CLogger::GetInstance()->Info("line of an earlier root");
        ASSERT_TRUE(Common::CLogger::GetInstance()->Flush(2000));
    }
    // The parent's log file is gone with its root; the child's line goes to
    // the log of the root it works in.
    TempRoot root;
    EXPECT_EQ(0, RunInChild([] { Common::CLogger::GetInstance()->Info("child line"); }));
    EXPECT_NE(std::string::npos, ReadFileBytes(root.path() + "/logs/quillmar.log").find("][INFO]child line\n"));
}

} // namespace
