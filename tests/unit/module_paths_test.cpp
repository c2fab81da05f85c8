// How a module's path text names its directory and the names its backups
// are set aside under, at the edges: the forms a server writes a directory
// in, and names at the file system's length limit.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "module_manager/module_paths.h"

namespace {

TEST(ModulePaths, TheDirectoryATextNames)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"m", "m"},           {"../t/m", "../t/m"}, {"../t/m/", "../t/m"}, {"../t/m/.", "../t/m"},
        {"../t/m//./", "../t/m"}, {"/opt/m/", "/opt/m"}, {"../t/m/x/..", ""}, {"../t/m/x/../", ""},
        {"..", ""},           {".", ""},            {"./", ""},            {"/", ""},
        {"/.", ""},           {"", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.second, ModuleDirectory(c.first)) << c.first;
}

TEST(ModulePaths, NamesSetAsideFitWhereTheBackupsDo)
{
    const std::string tail = ".QUILLMAR.discarded.";
    struct Case {
        std::string path;
        unsigned n;
        size_t nameMax;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"../t/m", 1, 255, "../t/m" + tail + "1"},
        // 234 + 21 bytes: fits as it is.
        {"/d/" + std::string(234, 'l'), 1, 255, "/d/" + std::string(234, 'l') + tail + "1"},
        {"/d/" + std::string(235, 'l'), 1, 255, "/d/" + std::string(234, 'l') + tail + "1"},
        // The longest whose backup still fits (246 + 9).
        {std::string(246, 'l'), 1, 255, std::string(234, 'l') + tail + "1"},
        {std::string(246, 'l'), 10, 255, std::string(233, 'l') + tail + "10"},
        // Another file system's limit.
        {"/d/" + std::string(130, 'l'), 2, 143, "/d/" + std::string(122, 'l') + tail + "2"},
        // Nothing cut can make it fit: left whole, for its rename to fail.
        {"/d/ab", 1, 14, "/d/ab" + tail + "1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path + " " + std::to_string(c.n));
        const std::string aside = DiscardedBackupPath(c.path, c.n, c.nameMax);
        EXPECT_EQ(c.expected, aside);
        const std::string name = aside.substr(aside.rfind('/') + 1);
        EXPECT_TRUE(IsDiscardedBackupName(c.path, name, c.nameMax));
    }
}

TEST(ModulePaths, WhichNamesAreAModulesSetAsideBackups)
{
    const std::string longName(240, 'l');
    struct Case {
        std::string name;
        bool expected;
    };
    const std::vector<Case> cases = {
        {"m.QUILLMAR.discarded.1", true},
        {"m.QUILLMAR.discarded.0042", true},
        {"m.QUILLMAR.discarded.", false},
        {"m.QUILLMAR.discarded.x", false},
        {"m.QUILLMAR.discarded.1x", false},
        {"m.QUILLMAR", false},
        {"mm.QUILLMAR.discarded.1", false},
        {".QUILLMAR.discarded.1", false},
        {"m.QUILLMAR.discarded.1.QUILLMAR.discarded.2", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.expected, IsDiscardedBackupName("../t/m", c.name, 255)) << c.name;
    // A cut name is one only at the limit: a shorter one is another module's.
    EXPECT_TRUE(IsDiscardedBackupName("/d/" + longName, longName.substr(0, 234) + ".QUILLMAR.discarded.1", 255));
    EXPECT_FALSE(IsDiscardedBackupName("/d/" + longName, longName.substr(0, 200) + ".QUILLMAR.discarded.1", 255));
    EXPECT_FALSE(IsDiscardedBackupName("/d/" + longName, "k" + longName.substr(0, 233) + ".QUILLMAR.discarded.1", 255));
}

} // namespace
