// The test support that provokes real failures: each helper does what its
// header promises, inside the child only, and leaves the host as it was.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "support/dac_capabilities.h"
#include "support/forked_child.h"
#include "support/private_mounts.h"
#include "support/script_file.h"
#include "support/temp_root.h"

namespace {

mode_t ModeOf(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// errno of creating path, 0 when it could be created.
int CreateError(const std::string& path)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return errno;
    close(fd);
    return 0;
}

TEST(WriteScript, ParentsExactModeAndRuns)
{
    TempRoot root;
    const mode_t old = umask(077);
    ASSERT_TRUE(WriteScript("../m/admin/run.sh", "exit 7\n"));
    ASSERT_TRUE(WriteScript("../m/admin/plain.sh", "exit 0\n", 0644));
    umask(old);
    EXPECT_EQ(ModeOf("../m/admin"), 0755u);
    EXPECT_EQ(ModeOf("../m/admin/run.sh"), 0755u);
    EXPECT_EQ(ModeOf("../m/admin/plain.sh"), 0644u);
    EXPECT_EQ(WEXITSTATUS(system("../m/admin/run.sh")), 7);
}

TEST(PrivateMounts, ReadOnlyAndFullOnlyInTheChild)
{
    TempRoot root;
    ASSERT_EQ(mkdir("../ro", 0755), 0);
    ASSERT_EQ(mkdir("../small", 0755), 0);
    EXPECT_EQ(RunInChild([] {
                  ASSERT_TRUE(EnterPrivateMounts());
                  // The working directory lies below the mount: relative paths see it too.
                  ASSERT_TRUE(BindReadOnly("..") && BindReadOnly("../../root/ro"));
                  EXPECT_EQ(CreateError("../ro/f"), EROFS);
                  EXPECT_EQ(CreateError("../f"), EROFS);
                  ASSERT_TRUE(MountTmpfs("../small", 64 * 1024));
                  EXPECT_EQ(ModeOf("../small"), 0755u);
                  const std::string big(128 * 1024, 'x');
                  const int fd = open("../small/big", O_WRONLY | O_CREAT, 0644);
                  ASSERT_GE(fd, 0);
                  EXPECT_EQ(write(fd, big.data(), big.size()), 64 * 1024);
                  EXPECT_EQ(write(fd, big.data(), big.size()), -1);
                  EXPECT_EQ(errno, ENOSPC);
                  close(fd);
              }),
              0);
    EXPECT_EQ(CreateError("../ro/f"), 0);
    EXPECT_EQ(access("../small/big", F_OK), -1);
}

TEST(DacCapabilities, ModesBindRootEffectiveOnlyOrForGood)
{
    TempRoot root;
    ASSERT_EQ(mkdir("../closed", 0), 0);
    ASSERT_EQ(mkdir("../nosearch", 0600), 0);
    ASSERT_EQ(CreateError("../nosearch/f"), 0);
    EXPECT_EQ(RunInChild([] {
                  ASSERT_TRUE(DropDacCapabilities(DacDrop::Effective));
                  EXPECT_EQ(opendir("../closed"), nullptr);
                  EXPECT_EQ(errno, EACCES);
                  struct stat st;
                  EXPECT_EQ(lstat("../nosearch/f", &st), -1);
                  EXPECT_EQ(errno, EACCES);
                  EXPECT_EQ(access("../nosearch/f", F_OK), 0);
                  // A command starts with every capability again.
                  EXPECT_EQ(system("ls ../closed >/dev/null 2>&1"), 0);
              }),
              0);
    EXPECT_EQ(RunInChild([] {
                  ASSERT_TRUE(DropDacCapabilities());
                  EXPECT_EQ(access("../nosearch/f", F_OK), -1);
                  EXPECT_NE(system("ls ../closed >/dev/null 2>&1"), 0);
              }),
              0);
}

} // namespace
