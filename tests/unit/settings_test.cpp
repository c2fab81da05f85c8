// The settings reader and the agent's construction from it.
#include <unistd.h>

#include <climits>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "agent/agent.h"
#include "agent/settings.h"
#include "common/logger.h"
#include "common/open_descriptors.h"
#include "support/temp_root.h"

namespace {

// The value the reader gives for key in a file holding text; "<null>" for none.
std::string Lookup(const TempRoot& root, const std::string& text, const char* key)
{
    root.WriteConf(text);
    const char* value = GetConfValue(kConfPath, key);
    return value == nullptr ? "<null>" : value;
}

TEST(Settings, ValueLookupCases)
{
    TempRoot root;
    struct Case {
        const char* text;
        const char* key;
        const char* expected;
    } cases[] = {
        {"url=http://a/\n", "url", "http://a/"},
        {"# url=http://comment/\nurl=http://b/\n", "url", "http://b/"},
        {" #url=http://x/\n", "url", "<null>"},          // a blank before '#' is no comment
        {" #url=http://x/\n", "#url", "http://x/"},      // ...its key starts with '#'
        {"\n\nnothing here\nurl = http://c/ \t\n", "url", "http://c/"},
        {"url=http://d/\r\ntimeout=5\r\n", "url", "http://d/"},
        {"url=http://d/\r\ntimeout=5\r\n", "timeout", "5"},
        {"url=first\nurl=second\n", "url", "first"},
        {"url=http://e/ # remark\n", "url", "http://e/ # remark"},
        {"url=a=b=c\n", "url", "a=b=c"},
        {"url=\n", "url", ""},
        {"URL=upper\n", "url", "<null>"},
        {"interval=60\n", "url", "<null>"},
        {"url=no newline at end", "url", "no newline at end"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Lookup(root, c.text, c.key), c.expected) << "text: " << c.text << " key: " << c.key;
}

TEST(Settings, LongLinesAreReadInPieces)
{
    TempRoot root;
    // The 1023-byte piece ends inside the value; the rest is a line of its own.
    std::string text = "pad=" + std::string(1019, 'x') + "url=tail\n";
    EXPECT_EQ(Lookup(root, text, "url"), "tail");
    EXPECT_EQ(Lookup(root, text, "pad"), std::string(1019, 'x'));
}

TEST(Settings, MissingFileGivesNull)
{
    TempRoot root;
    EXPECT_EQ(GetConfValue(kConfPath, "url"), nullptr);
    EXPECT_EQ(GetConfInt(kConfPath, "timeout"), 0);
}

TEST(Settings, LookupInvalidatesThePreviousValue)
{
    TempRoot root;
    root.WriteConf("a=first\nb=second\n");
    const char* a = GetConfValue(kConfPath, "a");
    ASSERT_NE(a, nullptr);
    const std::string copy = a;
    GetConfValue(kConfPath, "b");
    EXPECT_NE(std::string(a), copy);
}

TEST(Settings, IntegerConversion)
{
    TempRoot root;
    struct Case {
        const char* value;
        int expected;
    } cases[] = {
        {"10", 10},        {"10 # remark", 10}, {"-7", -7},          {"+8", 8},   {"abc", 0}, {"", 0},
        {"12abc", 12},     {"4294967301", 5},   {"4294967296", 0},   // 2^32 + 5 and 2^32 keep their low 32 bits
        {"99999999999999999999", -1},           // saturates at 2^63 - 1 first
        {"2147483648", -2147483647 - 1},
    };
    for (const Case& c : cases) {
        root.WriteConf(std::string("n=") + c.value + "\n");
        EXPECT_EQ(GetConfInt(kConfPath, "n"), c.expected) << c.value;
    }
}

TEST(Settings, TrimCases)
{
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {
        {"", ""}, {" \t\r\n\v\f", ""}, {"  a b  ", "a b"}, {"x", "x"}, {"\xa0y\xa0", "\xa0y\xa0"},
    };
    for (const Case& c : cases) {
        char buf[64];
        strcpy(buf, c.in);
        EXPECT_STREQ(Trim(buf), c.out) << '"' << c.in << '"';
    }
}

// The text of the log file that the process-wide logger writes to. It is
// opened at the first line and kept, so it may lie in an earlier test's root,
// gone by now: it is read through the logger's own descriptor.
std::string LoggedText()
{
    Common::CLogger::GetInstance()->Flush(2000);
    std::vector<int> fds;
    Common::OpenDescriptors(&fds);
    for (int fd : fds) {
        const std::string link = "/proc/self/fd/" + std::to_string(fd);
        char target[PATH_MAX];
        const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        if (n > 0 && std::string(target, static_cast<size_t>(n)).find("/logs/quillmar.log") != std::string::npos) {
            std::ifstream in(link, std::ios::binary);
            std::ostringstream text;
            text << in.rdbuf();
            return text.str();
        }
    }
    return std::string();
}

// The lines logged while body runs, without their date prefix.
template <typename Body>
std::vector<std::string> LinesLoggedBy(Body body)
{
    const size_t before = LoggedText().size();
    body();
    std::vector<std::string> lines;
    std::istringstream added(LoggedText().substr(before));
    for (std::string line; std::getline(added, line);)
        lines.push_back(line.substr(line.find(']') + 1));
    return lines;
}

TEST(Settings, CheckTimeBelowTheMinimumIsLogged)
{
    TempRoot root;
    struct Case {
        const char* checktime;
        const char* line;
    } cases[] = {
        {"4", "[ERROR]invalid check time: 4, use default: 5"},
        {"abc", "[ERROR]invalid check time: 0, use default: 5"},
    };
    for (const Case& c : cases) {
        root.WriteConf(std::string("checktime=") + c.checktime + "\ninterval=60\nurl=http://h/\ntimeout=5\n");
        EXPECT_EQ(LinesLoggedBy([] { CAgent agent; }), std::vector<std::string>{c.line}) << c.checktime;
    }
}

struct AgentCase {
    const char* name;
    const char* conf;
    int checkTime, interval, timeout, useCA;
    const char* url;
    bool isHttps;
    const char* caPath;
    const char* plainUrl;
};

TEST(Settings, AgentConstruction)
{
    const AgentCase cases[] = {
        {"plain http ignores useCA and caPath", "checktime=10\ninterval=120\nurl=http://h:8080/api\ntimeout=7\nuseCA=1\ncaPath=/ca.pem\n",
         10, 120, 7, 0, "http://h:8080/api", false, "", "http://h:8080/api"},
        {"minimums apply", "checktime=4\ninterval=59\nurl=http://h/\ntimeout=0\n", 5, 60, 0, 0, "http://h/", false, "", "http://h/"},
        {"no numbers read as 0, then the minimums", "checktime=abc\ninterval=\nurl=x\ntimeout=-3\n", 5, 60, -3, 0, "x", false, "", "x"},
        {"blanks around key and value", "  interval  =  120  \nchecktime = 10 # every ten\nurl=http://h/\ntimeout=5\n",
         10, 120, 5, 0, "http://h/", false, "", "http://h/"},
        {"checktime narrowed to 32 bits", "checktime=4294967301\ninterval=60\nurl=u\ntimeout=1\n", 5, 60, 1, 0, "u", false, "", "u"},
        {"https with useCA 1 reads caPath", "checktime=5\ninterval=60\nurl=https://h:8443/p?q=1\ntimeout=3\nuseCA=1\ncaPath=/etc/ca.pem\n",
         5, 60, 3, 1, "https://h:8443/p?q=1", true, "/etc/ca.pem", "http://h:8443/p?q=1"},
        {"https with useCA 2 leaves caPath empty", "checktime=5\ninterval=60\nurl=https://h/\ntimeout=3\nuseCA=2\ncaPath=/etc/ca.pem\n",
         5, 60, 3, 2, "https://h/", true, "", "http://h/"},
        {"https with useCA 0", "checktime=5\ninterval=60\nurl=https://h/\ntimeout=3\nuseCA=0\ncaPath=/etc/ca.pem\n",
         5, 60, 3, 0, "https://h/", true, "", "http://h/"},
        {"capital HTTPS is not https", "checktime=5\ninterval=60\nurl=HTTPS://h/\ntimeout=3\nuseCA=1\ncaPath=/ca\n",
         5, 60, 3, 0, "HTTPS://h/", false, "", "HTTPS://h/"},
        {"missing keys read as empty and 0", "checktime=6\n", 6, 60, 0, 0, "", false, "", ""},
        {"https missing useCA", "url=https://h/\n", 5, 60, 0, 0, "https://h/", true, "", "http://h/"},
    };
    for (const AgentCase& c : cases) {
        TempRoot root;
        root.WriteConf(c.conf);
        CAgent agent;
        SCOPED_TRACE(c.name);
        EXPECT_EQ(agent.m_checkTime, c.checkTime);
        EXPECT_EQ(agent.m_interval, c.interval);
        EXPECT_EQ(agent.m_timeout, c.timeout);
        EXPECT_EQ(agent.m_osType, 102);
        EXPECT_EQ(agent.m_url, c.url);
        EXPECT_EQ(agent.m_isHttps, c.isHttps);
        EXPECT_EQ(agent.m_useCA, c.useCA);
        EXPECT_EQ(agent.m_caPath, c.caPath);
        EXPECT_EQ(agent.m_plainUrl, c.plainUrl);
        EXPECT_TRUE(agent.m_modules.empty());
    }
}

TEST(Settings, AgentWithoutSettingsFile)
{
    TempRoot root; // no etc/base.conf at all
    CAgent agent;
    EXPECT_EQ(agent.m_checkTime, 5);
    EXPECT_EQ(agent.m_interval, 60);
    EXPECT_EQ(agent.m_timeout, 0);
    EXPECT_EQ(agent.m_url, "");
    EXPECT_FALSE(agent.m_isHttps);
}

} // namespace
