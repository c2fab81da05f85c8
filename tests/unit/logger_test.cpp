// The asynchronous logger against real files: line format, level filter, text
// cut, queue cap, rotation, a missing directory, many threads, process exit,
// and children forked while threads log.
#include "common/logger.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Common::CLogger;

constexpr unsigned kFlushMs = 10000;
constexpr off_t kLimit = 5242880;

bool Eventually(const std::function<bool()>& done)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        usleep(200);
    }
    return true;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteFile(const std::string& path, const std::string& content, off_t size = -1)
{
    std::ofstream(path, std::ios::binary) << content;
    if (size >= 0) {
        ASSERT_EQ(0, truncate(path.c_str(), size));
    }
}

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

off_t SizeOf(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

std::vector<std::string> SplitLines(const std::string& content)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t nl; (nl = content.find('\n', start)) != std::string::npos; start = nl + 1) {
        lines.push_back(content.substr(start, nl - start));
    }
    EXPECT_EQ(start, content.size()) << "content does not end in a newline";
    return lines;
}

// Checks the "[date time][LEVEL]" prefix of a line and splits it off.
struct Parsed {
    std::string date;
    std::string level;
    std::string text;
};
Parsed Parse(const std::string& line)
{
    // "[" + "dddd-dd-dd dd:dd:dd" + "][" + name + "]"
    const std::string shape = "[dddd-dd-dd dd:dd:dd][";
    bool ok = line.size() > shape.size();
    for (size_t i = 0; ok && i < shape.size(); ++i) {
        ok = shape[i] == 'd' ? isdigit(static_cast<unsigned char>(line[i])) != 0 : shape[i] == line[i];
    }
    size_t close = ok ? line.find(']', shape.size()) : std::string::npos;
    std::string level = close == std::string::npos ? "" : line.substr(shape.size(), close - shape.size());
    const std::set<std::string> names = {"TRACE", "DEBUG", "INFO", "WARN", "ERROR", "FATAL"};
    if (names.count(level) == 0) {
        ADD_FAILURE() << "no prefix in: " << line.substr(0, 40);
        return {};
    }
    return {line.substr(1, 19), level, line.substr(close + 1)};
}

std::string LocalDate(time_t t)
{
    struct tm tm;
    localtime_r(&t, &tm);
    char text[32];
    strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", &tm);
    return text;
}

// When set, the next writev stores only that many bytes of its gather array
// (really, in the file) and reports that count, as a file system may. It is
// armed by the test and taken by the writer thread.
std::atomic<ssize_t> g_shortWrite{-1};
// The next this many writev calls are interrupted by a signal before they
// store anything (EINTR), as on a log directory over a network file system.
std::atomic<int> g_interruptedWrites{0};

} // namespace

extern "C" {

ssize_t __real_writev(int fd, const struct iovec* iov, int count);

ssize_t __wrap_writev(int fd, const struct iovec* iov, int count)
{
    if (g_interruptedWrites > 0) {
        --g_interruptedWrites;
        errno = EINTR;
        return -1;
    }
    const ssize_t cut = g_shortWrite.exchange(-1);
    if (cut < 0) {
        return __real_writev(fd, iov, count);
    }
    std::vector<struct iovec> part;
    for (size_t left = static_cast<size_t>(cut); left > 0 && part.size() < static_cast<size_t>(count);) {
        const struct iovec& whole = iov[part.size()];
        part.push_back({whole.iov_base, std::min(left, whole.iov_len)});
        left -= part.back().iov_len;
    }
    return __real_writev(fd, part.data(), static_cast<int>(part.size()));
}

} // extern "C"

namespace {

class LoggerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string tmpl = (std::filesystem::temp_directory_path() / "quillmar-logger-XXXXXX").string();
        ASSERT_NE(nullptr, mkdtemp(tmpl.data()));
        m_root = std::filesystem::canonical(tmpl).string();
    }
    void TearDown() override { std::filesystem::remove_all(m_root); }

    std::string Path(const std::string& name) const { return m_root + "/" + name; }
    std::string Log() const { return Path("q.log"); }

    std::string m_root;
};

// Sends this thread's standard error to a file until destroyed.
class StderrCapture {
public:
    explicit StderrCapture(const std::string& path) : m_path(path)
    {
        fflush(stderr);
        m_saved = dup(2);
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 2);
        close(fd);
    }
    ~StderrCapture()
    {
        fflush(stderr);
        dup2(m_saved, 2);
        close(m_saved);
    }
    std::string Text() const { return ReadFile(m_path); }

private:
    std::string m_path;
    int m_saved;
};

TEST(LevelNameTest, NamesTheSixLevelsAndNothingElse)
{
    const char* expected[] = {"TRACE", "DEBUG", "INFO", "WARN", "ERROR", "FATAL"};
    for (uint32_t level = 0; level < 6; ++level) {
        EXPECT_STREQ(expected[level], Common::GetLevelName(level));
    }
    EXPECT_EQ(nullptr, Common::GetLevelName(6));
    EXPECT_EQ(nullptr, Common::GetLevelName(0xFFFFFFFFu));
}

TEST_F(LoggerTest, WritesFormattedLinesAtOrAboveTheMinimumLevel)
{
    struct Case {
        int minimum;
        std::vector<std::string> levels;
    };
    const Case cases[] = {
        {2, {"INFO", "WARN", "ERROR", "FATAL"}},
        {0, {"TRACE", "DEBUG", "INFO", "WARN", "ERROR", "FATAL"}},
        {5, {"FATAL"}},
        {6, {}},
    };
    const std::map<std::string, std::string> texts = {
        {"TRACE", "check 0"}, {"DEBUG", "check 1"}, {"INFO", "check 2"},
        {"WARN", "check 3"},  {"ERROR", "invalid check time: 3, use default: 5"}, {"FATAL", "check 5"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("minimum level " + std::to_string(c.minimum));
        std::string file = "level" + std::to_string(c.minimum) + ".log";
        time_t before = time(nullptr);
        {
            CLogger logger(m_root.c_str(), file.c_str(), c.minimum);
            logger.Trace("check %d", 0);
            logger.Debug("check %d", 1);
            logger.Info("check %d", 2);
            logger.Warn("check %d", 3);
            logger.Error("invalid check time: %d, use default: 5", 3);
            logger.Fatal("check %s", "5");
            ASSERT_TRUE(logger.Flush(kFlushMs));
        }
        time_t after = time(nullptr);
        std::set<std::string> dates;
        for (time_t t = before; t <= after; ++t) {
            dates.insert(LocalDate(t));
        }
        if (c.levels.empty()) {
            EXPECT_FALSE(Exists(Path(file)));
            continue;
        }
        std::vector<std::string> lines = SplitLines(ReadFile(Path(file)));
        ASSERT_EQ(c.levels.size(), lines.size());
        for (size_t i = 0; i < lines.size(); ++i) {
            Parsed p = Parse(lines[i]);
            EXPECT_EQ(c.levels[i], p.level);
            EXPECT_EQ(1u, dates.count(p.date)) << p.date;
            EXPECT_EQ(texts.at(p.level), p.text);
        }
    }
}

TEST_F(LoggerTest, CutsTextAt1023BytesAndKeepsNewlinesItHolds)
{
    const struct {
        std::string text;
        std::string written;
    } cases[] = {
        {std::string(1022, 'a'), std::string(1022, 'a')},
        {std::string(1023, 'b'), std::string(1023, 'b')},
        {std::string(1023, 'c') + "d", std::string(1023, 'c')},
        {std::string(5000, 'e'), std::string(1023, 'e')},
        {"two\nlines\n", "two\nlines\n"},
        {"", ""},
    };
    {
        CLogger logger(m_root.c_str(), "q.log", 2);
        for (const auto& c : cases) {
            logger.Info("%s", c.text.c_str());
        }
        ASSERT_TRUE(logger.Flush(kFlushMs));
    }
    std::string content = ReadFile(Log());
    size_t pos = 0;
    for (const auto& c : cases) {
        Parsed p = Parse(content.substr(pos, 40));
        ASSERT_EQ("INFO", p.level);
        pos += 27;  // "[YYYY-MM-DD HH:MM:SS][INFO]"
        EXPECT_EQ(c.written + "\n", content.substr(pos, c.written.size() + 1));
        pos += c.written.size() + 1;
    }
    EXPECT_EQ(content.size(), pos);
}

TEST_F(LoggerTest, OpensTheFileOnlyForTheFirstLineWithCloseOnExec)
{
    CLogger logger(m_root.c_str(), "q.log", 2);
    ASSERT_TRUE(logger.Flush(kFlushMs));
    logger.Debug("below the minimum");
    ASSERT_TRUE(logger.Flush(kFlushMs));
    EXPECT_TRUE(std::filesystem::is_empty(m_root));

    logger.Info("first");
    ASSERT_TRUE(logger.Flush(kFlushMs));
    ASSERT_TRUE(Exists(Log()));
    mode_t mask = umask(022);
    umask(mask);
    struct stat st;
    ASSERT_EQ(0, stat(Log().c_str(), &st));
    EXPECT_EQ(0644u & ~mask, st.st_mode & 0777u);

    int found = -1;
    DIR* fds = opendir("/proc/self/fd");
    ASSERT_NE(nullptr, fds);
    while (dirent* entry = readdir(fds)) {
        char target[4096];
        std::string link = std::string("/proc/self/fd/") + entry->d_name;
        ssize_t n = readlink(link.c_str(), target, sizeof(target) - 1);
        if (n > 0 && std::string(target, static_cast<size_t>(n)) == Log()) {
            found = atoi(entry->d_name);
        }
    }
    closedir(fds);
    ASSERT_NE(-1, found) << "the log file is not held open";
    EXPECT_TRUE(fcntl(found, F_GETFD) & FD_CLOEXEC);
}

TEST_F(LoggerTest, RotatesALeftoverFileOnlyWhenPastTheLimit)
{
    const struct {
        const char* name;
        off_t size;
        bool gen1;
        bool gen2;
        bool rotates;
    } cases[] = {
        {"exactly the limit", kLimit, true, true, false},
        {"one byte more, both generations", kLimit + 1, true, true, true},
        {"one byte more, no generation 1", kLimit + 1, false, true, true},
        {"one byte more, no generations", kLimit + 1, false, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(m_root);
        std::filesystem::create_directory(m_root);
        WriteFile(Log(), "old current\n", c.size);
        if (c.gen1) {
            WriteFile(Log() + ".1", "old gen1\n");
        }
        if (c.gen2) {
            WriteFile(Log() + ".2", "old gen2\n");
        }
        {
            CLogger logger(m_root.c_str(), "q.log", 2);
            logger.Info("fresh");
            ASSERT_TRUE(logger.Flush(kFlushMs));
        }
        std::string fresh = ReadFile(Log());
        if (!c.rotates) {
            EXPECT_EQ(c.size + 33, SizeOf(Log()));  // 27-byte prefix, "fresh", newline
            EXPECT_EQ("old gen1\n", ReadFile(Log() + ".1"));
            EXPECT_EQ("old gen2\n", ReadFile(Log() + ".2"));
            continue;
        }
        std::vector<std::string> lines = SplitLines(fresh);
        ASSERT_EQ(1u, lines.size());
        EXPECT_EQ("fresh", Parse(lines[0]).text);
        EXPECT_EQ(c.size, SizeOf(Log() + ".1"));
        EXPECT_EQ("old current\n", ReadFile(Log() + ".1").substr(0, 12));
        if (c.gen1) {
            EXPECT_EQ("old gen1\n", ReadFile(Log() + ".2"));
        } else if (c.gen2) {
            EXPECT_EQ("old gen2\n", ReadFile(Log() + ".2"));
        } else {
            EXPECT_FALSE(Exists(Log() + ".2"));
        }
    }
}

TEST_F(LoggerTest, RotatesBeforeTheBatchOnceTheOpenFileGrowsPastTheLimit)
{
    CLogger logger(m_root.c_str(), "q.log", 2);
    logger.Info("first");
    ASSERT_TRUE(logger.Flush(kFlushMs));
    ASSERT_EQ(0, truncate(Log().c_str(), kLimit));  // the open file itself grows
    logger.Info("second");
    ASSERT_TRUE(logger.Flush(kFlushMs));
    EXPECT_FALSE(Exists(Log() + ".1"));
    ASSERT_EQ(0, truncate(Log().c_str(), kLimit + 1));
    logger.Info("third");
    ASSERT_TRUE(logger.Flush(kFlushMs));
    logger.Info("fourth");
    ASSERT_TRUE(logger.Flush(kFlushMs));
    EXPECT_EQ(kLimit + 1, SizeOf(Log() + ".1"));
    std::vector<std::string> lines = SplitLines(ReadFile(Log()));
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ("third", Parse(lines[0]).text);
    EXPECT_EQ("fourth", Parse(lines[1]).text);
}

TEST_F(LoggerTest, MissingDirectoryEndsTheWriterAndKeeps1000LinesQueued)
{
    std::string dir = Path("logs");
    StderrCapture capture(Path("stderr.txt"));
    CLogger logger(dir.c_str(), "q.log", 2);
    logger.Info("line %d", 0);
    ASSERT_TRUE(Eventually([&] { return !capture.Text().empty(); }));
    EXPECT_EQ("open file error: No such file or directory.\n", capture.Text());

    for (int i = 1; i < 1500; ++i) {
        logger.Info("line %d", i);
    }
    // Once the directory exists, the flush that an exit makes writes what the
    // ended writer left queued: the first 1000 lines.
    ASSERT_EQ(0, mkdir(dir.c_str(), 0755));
    ASSERT_TRUE(logger.Flush(kFlushMs));
    std::vector<std::string> lines = SplitLines(ReadFile(dir + "/q.log"));
    ASSERT_EQ(1000u, lines.size());
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ("line " + std::to_string(i), Parse(lines[i]).text);
    }
    EXPECT_EQ("open file error: No such file or directory.\n", capture.Text());
}

TEST_F(LoggerTest, DropsThe1001stQueuedLineAndAcceptsAgainAfterABatch)
{
    CLogger::CLogThread writer(m_root.c_str(), "q.log");
    for (int i = 0; i <= 1000; ++i) {
        writer.Push(strdup(("line " + std::to_string(i) + "\n").c_str()));
    }
    ASSERT_TRUE(writer.Start(true));  // the writer takes its first batch only now
    ASSERT_TRUE(writer.Flush(kFlushMs));
    writer.Push(strdup("after\n"));
    ASSERT_TRUE(writer.Flush(kFlushMs));

    std::vector<std::string> lines = SplitLines(ReadFile(Log()));
    ASSERT_EQ(1001u, lines.size());
    for (size_t i = 0; i < 1000; ++i) {
        EXPECT_EQ("line " + std::to_string(i), lines[i]);
    }
    EXPECT_EQ("after", lines[1000]);
}

TEST_F(LoggerTest, ContinuesAWriteThatStoresOnlyPartOfTheBatch)
{
    // A file-size limit makes the kernel store only part of a gathered write.
    // The writer must go on with the rest, which here meets the limit again
    // and fails with a message instead of losing the bytes silently.
    struct rlimit saved;
    ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &saved));
    StderrCapture capture(Path("stderr.txt"));
    {
        CLogger::CLogThread writer(m_root.c_str(), "q.log");
        for (char fill : {'a', 'b', 'c'}) {
            writer.Push(strdup((std::string(399, fill) + "\n").c_str()));
        }
        struct rlimit limited = saved;
        limited.rlim_cur = 1000;
        ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &limited));
        ASSERT_TRUE(writer.Start(true));
        bool flushed = writer.Flush(kFlushMs);
        ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &saved));
        ASSERT_TRUE(flushed);
    }
    EXPECT_EQ(1000, SizeOf(Log()));
    EXPECT_EQ(std::string(399, 'a') + "\n" + std::string(399, 'b') + "\n" + std::string(200, 'c'), ReadFile(Log()));
    EXPECT_EQ("writev log error: File too large.\n", capture.Text());
}

TEST_F(LoggerTest, GoesOnAfterAWriteThatStopsInsideALine)
{
    // The first write stores the first line and half the second; the next
    // must start at the cut and write each remaining byte once.
    const std::string expected =
        std::string(99, 'a') + "\n" + std::string(99, 'b') + "\n" + std::string(99, 'c') + "\n";
    {
        CLogger::CLogThread writer(m_root.c_str(), "q.log");
        for (char fill : {'a', 'b', 'c'}) {
            writer.Push(strdup((std::string(99, fill) + "\n").c_str()));
        }
        g_shortWrite = 150;
        ASSERT_TRUE(writer.Start(true));
        ASSERT_TRUE(writer.Flush(kFlushMs));
    }
    EXPECT_EQ(-1, g_shortWrite.load());  // the short write took place
    EXPECT_EQ(expected, ReadFile(Log()));
}

TEST_F(LoggerTest, AnInterruptedWriteIsMadeAgain)
{
    const std::string expected = "first\nsecond\n";
    StderrCapture capture(Path("stderr.txt"));
    {
        CLogger::CLogThread writer(m_root.c_str(), "q.log");
        writer.Push(strdup("first\n"));
        writer.Push(strdup("second\n"));
        g_interruptedWrites = 2;
        ASSERT_TRUE(writer.Start(true));
        ASSERT_TRUE(writer.Flush(kFlushMs));
    }
    EXPECT_EQ(0, g_interruptedWrites.load());  // both interruptions took place
    EXPECT_EQ(expected, ReadFile(Log()));
    EXPECT_EQ("", capture.Text());
}

TEST_F(LoggerTest, LinesFromManyThreadsAreWholeAndInOrder)
{
    // 8 x 120 lines stay below the queue cap, so every line must arrive.
    constexpr int kThreads = 8;
    constexpr int kPerThread = 120;
    const std::string padding(300, 'x');
    {
        CLogger logger(m_root.c_str(), "q.log", 2);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                for (int n = 0; n < kPerThread; ++n) {
                    logger.Info("t%d n%d %s", t, n, padding.c_str());
                }
            });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
        ASSERT_TRUE(logger.Flush(kFlushMs));
    }
    std::vector<std::string> lines = SplitLines(ReadFile(Log()));
    ASSERT_EQ(static_cast<size_t>(kThreads * kPerThread), lines.size());
    std::vector<int> next(kThreads, 0);
    for (const std::string& line : lines) {
        int t = -1;
        int n = -1;
        char rest[512] = "";
        std::string text = Parse(line).text;
        ASSERT_EQ(3, sscanf(text.c_str(), "t%d n%d %511s", &t, &n, rest)) << text;
        ASSERT_TRUE(t >= 0 && t < kThreads);
        EXPECT_EQ(next[t]++, n);
        EXPECT_EQ(padding, rest);
    }
}

// Runs one of the LoggerImage tests below, which are disabled so that they run
// only this way, in a fresh image of this binary: its process-wide logger is
// its own. It works in <root>/bin with its output in <root>/image.out; the
// result is its exit status, or -1 when it did not exit normally.
int RunImage(const std::string& test, const std::string& root)
{
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (n <= 0) {
        return -1;
    }
    self[n] = '\0';
    std::string filter = "--gtest_filter=LoggerImage.DISABLED_" + test;
    std::string bin = root + "/bin";
    std::string out = root + "/image.out";
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0 || chdir(bin.c_str()) != 0) {
            _exit(126);
        }
        dup2(fd, 1);
        dup2(fd, 2);
        execl(self, self, filter.c_str(), "--gtest_also_run_disabled_tests", static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    if (pid == -1 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

void LogThenExit(int status)
{
    CLogger* log = CLogger::GetInstance();
    for (int i = 0; i < 500; ++i) {
        log->Info("line %d", i);
    }
    log->Error("exit because retry fail");
    exit(status);
}
TEST(LoggerImage, DISABLED_ExitsWith1) { LogThenExit(1); }
TEST(LoggerImage, DISABLED_ExitsWithMinus1) { LogThenExit(-1); }

TEST_F(LoggerTest, LinesLoggedJustBeforeExitReachTheFile)
{
    const struct {
        const char* test;
        int status;
        bool logsDir;
    } cases[] = {
        {"ExitsWith1", 1, true},
        {"ExitsWithMinus1", 255, true},
        {"ExitsWith1", 1, false},  // the writer has ended: the exit must not hang
    };
    int run = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.test) + (c.logsDir ? "" : ", no log directory"));
        std::string root = Path("run" + std::to_string(run++));
        std::filesystem::create_directories(root + "/bin");
        if (c.logsDir) {
            std::filesystem::create_directories(root + "/logs");
        }
        std::string out = root + "/image.out";
        EXPECT_EQ(c.status, RunImage(c.test, root)) << ReadFile(out);
        if (!c.logsDir) {
            EXPECT_NE(std::string::npos, ReadFile(out).find("open file error: No such file or directory.\n"));
            continue;
        }
        std::vector<std::string> lines = SplitLines(ReadFile(root + "/logs/quillmar.log"));
        ASSERT_EQ(501u, lines.size());
        for (size_t i = 0; i < 500; ++i) {
            EXPECT_EQ("line " + std::to_string(i), Parse(lines[i]).text);
        }
        Parsed last = Parse(lines[500]);
        EXPECT_EQ("ERROR", last.level);
        EXPECT_EQ("exit because retry fail", last.text);
    }
}

// 2000 children, every second one ending through exit() and its handlers.
// The sanitizers make every fork much slower. Under AddressSanitizer no child
// calls exit(): its allocator is not locked across fork(), so the exit
// handlers (its leak check among them) could wait for ever on a lock that a
// logging thread held. ThreadSanitizer sleeps a second in each exit of a
// process that had threads.
#if defined(__SANITIZE_ADDRESS__)
constexpr int kForks = 400;
constexpr int kExitEvery = 0;
#elif defined(__SANITIZE_THREAD__)
constexpr int kForks = 1000;
constexpr int kExitEvery = 100;
#else
constexpr int kForks = 2000;
constexpr int kExitEvery = 2;
#endif

// How the child ended, waiting at most ten seconds for it: "exit <status>",
// "signal <number>", or "running" for a child that is then killed.
std::string HowChildEnded(pid_t pid)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return "running";
        }
        usleep(100);
    }
    return WIFEXITED(status) ? "exit " + std::to_string(WEXITSTATUS(status))
                             : "signal " + std::to_string(WTERMSIG(status));
}

// Four threads log through the process-wide logger while this thread forks;
// every child ends at once.
TEST(LoggerImage, DISABLED_ForksWhileThreadsLog)
{
    CLogger* log = CLogger::GetInstance();
    std::atomic<bool> stop(false);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            while (!stop) {
                log->Info("thread %d", t);
            }
        });
    }
    fflush(nullptr);
    for (int i = 0; i < kForks && !testing::Test::HasFailure(); ++i) {
        pid_t pid = fork();
        if (pid == 0) {
            if (kExitEvery != 0 && i % kExitEvery == kExitEvery - 1) {
                exit(0);
            }
            _exit(0);
        }
        if (pid == -1) {
            ADD_FAILURE() << "fork failed";
            break;
        }
        EXPECT_EQ("exit 0", HowChildEnded(pid)) << "child " << i;
    }
    stop = true;
    for (std::thread& thread : threads) {
        thread.join();
    }
}

TEST_F(LoggerTest, ChildrenForkedWhileThreadsLogExitAtOnce)
{
    std::string root = Path("root");
    std::filesystem::create_directories(root + "/bin");
    std::filesystem::create_directories(root + "/logs");
    EXPECT_EQ(0, RunImage("ForksWhileThreadsLog", root)) << ReadFile(root + "/image.out");
    EXPECT_GT(SizeOf(root + "/logs/quillmar.log"), 0);
}

} // namespace
