// The asynchronous logger: line building in the calling thread, the bounded
// queue, and the writer thread that appends and rotates the log file.
#include "common/logger.h"

#include "common/env.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace Common {

namespace {

const char* const kLevelNames[] = {"TRACE", "DEBUG", "INFO", "WARN", "ERROR", "FATAL"};
constexpr size_t kLevelNameLengths[] = {5, 5, 4, 4, 5, 5};
constexpr uint32_t kLevelCount = sizeof(kLevelNames) / sizeof(kLevelNames[0]);

constexpr size_t kMaxQueued = 1000;
constexpr size_t kMaxText = 1023;
constexpr off_t kRotateSize = 5242880;
// Long enough for a full queue on a slow disk; short enough that an exit never
// hangs on a writer that is stuck.
constexpr unsigned kExitFlushMs = 2000;

// The process that created the logger, and with it the writer thread.
pid_t g_writerPid = 0;

void FlushAtExit()
{
    // A forked child inherits this handler and a copy of the logger, but not
    // the writer: the copy's queue mutex may be held by a thread that does not
    // exist there, and a flush would wait its whole time for no writer.
    if (getpid() == g_writerPid) {
        CLogger::GetInstance()->Flush(kExitFlushMs);
    }
}

// The date and time of the current second, broken down and formatted once per
// second and thread rather than on every line.
const char* CurrentDate(size_t* length)
{
    struct Cache {
        time_t second = static_cast<time_t>(-1);
        char text[20] = "";
        size_t length = 0;
    };
    static thread_local Cache cache;

    time_t now = Env::Default()->Now();
    if (now != cache.second) {
        struct tm tm;
        if (localtime_r(&now, &tm) == nullptr) {
            memset(&tm, 0, sizeof(tm));
        }
        int len = snprintf(cache.text, sizeof(cache.text), "%04d-%02d-%02d %02d:%02d:%02d", tm.tm_year + 1900,
                           tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
        cache.second = len < 0 ? static_cast<time_t>(-1) : now;
        cache.length = strlen(cache.text);  // a year past 9999 is cut, as the buffer bounds it
    }
    *length = cache.length;
    return cache.text;
}

// Writes the whole gather array, continuing after a partial write so that no
// accepted line is lost; an error ends the batch with a message.
void WriteAll(int fd, struct iovec* iov, int count)
{
    while (count > 0) {
        ssize_t written = writev(fd, iov, count);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            fprintf(stderr, "writev log error: %s.\n", strerror(errno));
            return;
        }
        size_t left = static_cast<size_t>(written);
        while (count > 0 && left >= iov->iov_len) {
            left -= iov->iov_len;
            ++iov;
            --count;
        }
        if (count > 0) {
            iov->iov_base = static_cast<char*>(iov->iov_base) + left;
            iov->iov_len -= left;
            if (written == 0) {
                return;  // the file takes nothing more
            }
        }
    }
}

// "<dir>/<file>", or "<dir>/<file>.<generation>" for an older generation, cut
// at the buffer's size.
void FormatPath(char (&path)[512], const char* dir, const char* file, int generation)
{
    int len = generation == 0 ? snprintf(path, sizeof(path), "%s/%s", dir, file)
                              : snprintf(path, sizeof(path), "%s/%s.%d", dir, file, generation);
    if (len < 0) {
        path[0] = '\0';
    }
}

struct timespec DeadlineAfter(unsigned ms)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    ts.tv_sec += ms / 1000;
    ts.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (ts.tv_nsec >= 1000000000L) {
        ts.tv_sec += 1;
        ts.tv_nsec -= 1000000000L;
    }
    return ts;
}

} // namespace

const char* GetLevelName(uint32_t level) { return level < kLevelCount ? kLevelNames[level] : nullptr; }

// ---- CLogger ----

CLogger* CLogger::GetInstance()
{
    static CLogger* instance = [] {
        CLogger* logger = new CLogger("../logs", "quillmar.log", 2);
        g_writerPid = getpid();
        // Several paths log an error and exit at once: their last lines are
        // still queued then.
        atexit(FlushAtExit);
        return logger;
    }();
    return instance;
}

CLogger::CLogger(const char* dir, const char* file, int level) : m_level(level), m_logThread(new CLogThread(dir, file))
{
    m_logThread->Start(true);
}

CLogger::~CLogger() { delete m_logThread; }

bool CLogger::Flush(unsigned timeoutMs) { return m_logThread->Flush(timeoutMs); }

void CLogger::Log(int level, const char* fmt, va_list ap)
{
    const char* name = GetLevelName(static_cast<uint32_t>(level));
    if (name == nullptr) {
        return;
    }
    char text[kMaxText + 1];
    int n = vsnprintf(text, sizeof(text), fmt, ap);
    if (n < 0) {
        return;
    }
    // "[" date "][" name "]": copied rather than formatted, the same bytes.
    size_t dateLen = 0;
    const char* date = CurrentDate(&dateLen);
    size_t nameLen = kLevelNameLengths[level];
    size_t prefixLen = dateLen + nameLen + 4;
    size_t textLen = std::min(static_cast<size_t>(n), kMaxText);
    char* line = static_cast<char*>(malloc(prefixLen + textLen + 2));
    if (line == nullptr) {
        return;
    }
    char* out = line;
    *out++ = '[';
    out = static_cast<char*>(mempcpy(out, date, dateLen));
    *out++ = ']';
    *out++ = '[';
    out = static_cast<char*>(mempcpy(out, name, nameLen));
    *out++ = ']';
    // A NUL produced inside the text ends it there, and the newline follows.
    out = static_cast<char*>(mempcpy(out, text, strnlen(text, textLen)));
    *out++ = '\n';
    *out = '\0';
    m_logThread->Push(line);
}

#define QM_LEVEL_ENTRY(name, lvl)                                                                                     \
    void CLogger::name(const char* fmt, ...)                                                                          \
    {                                                                                                                 \
        if (lvl < m_level) {                                                                                          \
            return;                                                                                                   \
        }                                                                                                             \
        va_list ap;                                                                                                   \
        va_start(ap, fmt);                                                                                            \
        Log(lvl, fmt, ap);                                                                                            \
        va_end(ap);                                                                                                   \
    }
QM_LEVEL_ENTRY(Trace, 0)
QM_LEVEL_ENTRY(Debug, 1)
QM_LEVEL_ENTRY(Info, 2)
QM_LEVEL_ENTRY(Warn, 3)
QM_LEVEL_ENTRY(Error, 4)
QM_LEVEL_ENTRY(Fatal, 5)
#undef QM_LEVEL_ENTRY

// ---- CLogger::CLogThread ----

CLogger::CLogThread::CLogThread(const char* dir, const char* file)
    : m_fd(-1), m_accepted(0), m_handled(0), m_ended(false), m_flushWaiters(0)
{
    snprintf(m_dir, sizeof(m_dir), "%s", dir);
    snprintf(m_file, sizeof(m_file), "%s", file);
    pthread_mutex_init(&m_queueMutex, nullptr);
    pthread_mutex_init(&m_drainMutex, nullptr);
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&m_progress, &attr);
    pthread_condattr_destroy(&attr);
    // Both buffers trade places every batch, so neither grows after this.
    m_queue.reserve(kMaxQueued);
    m_batch.reserve(kMaxQueued);
    m_iov.reserve(kMaxQueued);
}

CLogger::CLogThread::~CLogThread()
{
    // The body uses the members below: it must have returned before they go.
    Stop();
    if (m_fd != -1) {
        close(m_fd);
        m_fd = -1;
    }
    Clear();
    pthread_cond_destroy(&m_progress);
    pthread_mutex_destroy(&m_drainMutex);
    pthread_mutex_destroy(&m_queueMutex);
}

void CLogger::CLogThread::Push(char* line)
{
    pthread_mutex_lock(&m_queueMutex);
    if (m_queue.size() >= kMaxQueued) {
        pthread_mutex_unlock(&m_queueMutex);
        free(line);
        return;
    }
    // Onto a non-empty queue no wake-up is needed: the push that made it
    // non-empty left one, and the writer tests the queue before every sleep.
    bool wake = m_queue.empty();
    m_queue.push_back(line);
    ++m_accepted;
    if (wake) {
        Notify();
    }
    pthread_mutex_unlock(&m_queueMutex);
}

void CLogger::CLogThread::Clear()
{
    pthread_mutex_lock(&m_queueMutex);
    for (char* line : m_queue) {
        free(line);
    }
    m_queue.clear();
    pthread_mutex_unlock(&m_queueMutex);
}

void CLogger::CLogThread::Run()
{
    while (ShouldRun()) {
        // The queue is tested under its mutex, Wait runs outside it: a line
        // queued in between leaves a notification that Wait returns on.
        pthread_mutex_lock(&m_queueMutex);
        bool stop = false;
        while (m_queue.empty() && !stop) {
            stop = !ShouldRun();
            if (!stop) {
                pthread_mutex_unlock(&m_queueMutex);
                Wait();
                pthread_mutex_lock(&m_queueMutex);
            }
        }
        pthread_mutex_unlock(&m_queueMutex);
        if (stop) {
            break;
        }
        if (!WriteQueued()) {
            break;  // the file cannot be opened: the writer ends for good
        }
    }
    pthread_mutex_lock(&m_queueMutex);
    EndLocked();
    pthread_mutex_unlock(&m_queueMutex);
}

void CLogger::CLogThread::EndLocked()
{
    m_ended = true;
    pthread_cond_broadcast(&m_progress);
}

bool CLogger::CLogThread::WriteQueued()
{
    if (m_fd == -1 && !OpenFile()) {
        return false;
    }
    if (NeedRotate()) {
        CloseAndRotate();
    }
    pthread_mutex_lock(&m_queueMutex);
    m_batch.swap(m_queue);
    pthread_mutex_unlock(&m_queueMutex);

    size_t count = m_batch.size();
    WriteBatch();

    pthread_mutex_lock(&m_queueMutex);
    m_handled += count;
    if (m_flushWaiters > 0) {
        pthread_cond_broadcast(&m_progress);
    }
    pthread_mutex_unlock(&m_queueMutex);
    return true;
}

void CLogger::CLogThread::WriteBatch()
{
    // The reopen after a rotation may have failed: the batch is then dropped.
    if (m_fd != -1 && !m_batch.empty()) {
        m_iov.clear();
        for (char* line : m_batch) {
            m_iov.push_back({line, strlen(line)});
        }
        WriteAll(m_fd, m_iov.data(), static_cast<int>(m_iov.size()));
    }
    for (char* line : m_batch) {
        free(line);
    }
    m_batch.clear();
}

bool CLogger::CLogThread::Flush(unsigned timeoutMs)
{
    struct timespec deadline = DeadlineAfter(timeoutMs);
    pthread_mutex_lock(&m_queueMutex);
    uint64_t target = m_accepted;
    ++m_flushWaiters;
    while (m_handled < target && !m_ended && IsRunning()) {
        if (pthread_cond_timedwait(&m_progress, &m_queueMutex, &deadline) == ETIMEDOUT) {
            break;
        }
    }
    --m_flushWaiters;
    bool done = m_handled >= target;
    // Once the body has returned (or never ran) the file is free to use here.
    bool writerGone = m_ended || !IsRunning();
    pthread_mutex_unlock(&m_queueMutex);
    if (done) {
        return true;
    }
    if (!writerGone) {
        return false;
    }
    pthread_mutex_lock(&m_drainMutex);
    bool opened = WriteQueued();
    pthread_mutex_unlock(&m_drainMutex);
    return opened;
}

bool CLogger::CLogThread::OpenFile()
{
    char path[512];
    FormatPath(path, m_dir, m_file, 0);
    // Close-on-exec from the start: commands run from the main thread may be
    // forked while this thread opens, and must not inherit the log.
    m_fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (m_fd == -1) {
        fprintf(stderr, "open file error: %s.\n", strerror(errno));
        return false;
    }
    return true;
}

bool CLogger::CLogThread::NeedRotate()
{
    struct stat st;
    if (m_fd == -1 || fstat(m_fd, &st) != 0) {
        return false;
    }
    return st.st_size > kRotateSize;
}

void CLogger::CLogThread::CloseAndRotate()
{
    if (m_fd == -1) {
        return;
    }
    close(m_fd);
    m_fd = -1;
    Rotate();
}

bool CLogger::CLogThread::Rotate()
{
    char current[512];
    char older[512];
    char oldest[512];
    FormatPath(current, m_dir, m_file, 0);
    FormatPath(older, m_dir, m_file, 1);
    FormatPath(oldest, m_dir, m_file, 2);
    // Failures are ignored: without a generation 1 the first rename fails and
    // the current file still moves up.
    rename(older, oldest);
    rename(current, older);
    return OpenFile();
}

} // namespace Common
