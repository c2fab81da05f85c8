// The real platform seam: what a shell command started through it inherits.
#include <fcntl.h>
#include <unistd.h>

#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "common/env.h"
#include "support/file_checks.h"
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

} // namespace
