// Reading one "CheckModules" item into a module record, and the module
// directory the server sends turned into the record's path.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "agent/answer.h"
#include "module_manager/module_item.h"

namespace {

const char kNotObject[] = "in Json::Value::resolveReference(): requires objectValue";
const char kNotInt[] = "Value is not convertible to Int.";
const char kNotString[] = "Type is not convertible to string";

TEST(ModuleItem, InstallPathNormalisation)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"../m", "../../m"}, {"..m", "../..m"}, {"...", "../..."}, {"..", ".."},
        {"./m", "./m"},      {"/opt/m", "/opt/m"}, {"", ""},      {".", "."},
        {"m/..", "m/.."},    {"../", "../../"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(NormaliseInstallPath(c.first), c.second) << c.first;
}

struct ItemCase {
    const char* json;
    // Expected record fields, or the library's exception text.
    int status, moduleId, fileId;
    const char *name, *uri, *md5, *installPath;
    const char* error;
};

TEST(ModuleItem, ReadsEveryMemberLenientlyOrRaisesTheLibrarysException)
{
    const std::vector<ItemCase> cases = {
        {R"({"status":1,"moduleId":7,"fileId":70,"name":"mod-b","uri":"http://h/p","md5":"ab",)"
         R"("installPath":"../mod-b","extra":[1]})",
         1, 7, 70, "mod-b", "http://h/p", "ab", "../../mod-b", nullptr},
        {"null", 0, 0, 0, "", "", "", "", nullptr},
        {"{}", 0, 0, 0, "", "", "", "", nullptr},
        {R"({"status":-1,"moduleId":3.9,"fileId":true,"name":7,"uri":false,"md5":2.5,"installPath":null})",
         -1, 3, 1, "7", "false", "2.5", "", nullptr},
        {R"({"moduleId":-3.9,"status":0.5})", 0, -3, 0, "", "", "", "", nullptr},
        // A text is taken up to its first NUL byte, as a C call would see it.
        {R"({"name":"a\u0000b","uri":"u\u0000","md5":"\u0000x","installPath":"../m\u0000.QUILLMAR"})",
         0, 0, 0, "a", "u", "", "../../m", nullptr},
        {R"({"moduleId":"3"})", 0, 0, 0, "", "", "", "", kNotInt},
        {R"({"status":[0]})", 0, 0, 0, "", "", "", "", kNotInt},
        {R"({"fileId":{"a":1}})", 0, 0, 0, "", "", "", "", kNotInt},
        {R"({"moduleId":2147483648})", 0, 0, 0, "", "", "", "", "LargestUInt out of Int range"},
        {R"({"moduleId":-2147483649})", 0, 0, 0, "", "", "", "", "LargestInt out of Int range"},
        {R"({"fileId":1e10})", 0, 0, 0, "", "", "", "", "double out of Int range"},
        {R"({"name":["a"]})", 0, 0, 0, "", "", "", "", kNotString},
        {R"({"installPath":{}})", 0, 0, 0, "", "", "", "", kNotString},
        // Members are read in order: the status's failure comes first.
        {R"({"name":[],"status":"1"})", 0, 0, 0, "", "", "", "", kNotInt},
        {"7", 0, 0, 0, "", "", "", "", kNotObject},
        {"[1]", 0, 0, 0, "", "", "", "", kNotObject},
        {R"("text")", 0, 0, 0, "", "", "", "", kNotObject},
    };
    for (const ItemCase& c : cases) {
        SCOPED_TRACE(c.json);
        Json::Value item;
        ASSERT_EQ(ParseAnswerText(item, c.json), 0);
        ModuleInfo record;
        record.failCount = 9;
        if (c.error != nullptr) {
            try {
                ReadModuleItem(item, record);
                ADD_FAILURE() << "no exception";
            } catch (const std::exception& e) {
                EXPECT_STREQ(e.what(), c.error);
            }
            continue;
        }
        EXPECT_EQ(ReadModuleItem(item, record), c.status);
        EXPECT_EQ(record.moduleId, c.moduleId);
        EXPECT_EQ(record.fileId, c.fileId);
        EXPECT_EQ(record.failCount, 0);
        EXPECT_EQ(record.name, c.name);
        EXPECT_EQ(record.uri, c.uri);
        EXPECT_EQ(record.md5, c.md5);
        EXPECT_EQ(record.installPath, c.installPath);
    }
}

TEST(ModuleItem, ItemTextStopsAtTheFirstNul)
{
    Json::Value item;
    ASSERT_EQ(ParseAnswerText(item, R"({"installPath":"/opt/m\u0000.QUILLMAR","n":12})"), 0);
    EXPECT_EQ(ItemText(item, "installPath"), "/opt/m");
    EXPECT_EQ(ItemText(item, "n"), "12");
    EXPECT_EQ(ItemText(item, "missing"), "");
}

} // namespace
