// The process-wide asynchronous logger: callers format a whole line and queue
// it; one writer thread appends queued lines to the log file in batches and
// rotates the file past 5 MiB.
#ifndef COMMON_LOGGER_H
#define COMMON_LOGGER_H

#include "common/thread.h"

#include <sys/types.h>
#include <sys/uio.h>

#include <cstdarg>
#include <cstdint>
#include <vector>

namespace Common {

// The level's name for 0 to 5 ("TRACE" .. "FATAL"); null for any other number.
const char* GetLevelName(uint32_t level);

class CLogger {
public:
    // The writer; reachable from outside so that it can be driven on its own.
    class CLogThread;

    // The one process-wide logger: "../logs"/"quillmar.log", minimum level INFO.
    // Created on first use and never destroyed; lines still queued when the
    // process exits are written from an exit handler. Its writer thread does
    // not survive fork(): a child forked once it exists must not log.
    static CLogger* GetInstance();

    // Starts the writer for "<dir>/<file>"; calls below `level` produce nothing.
    CLogger(const char* dir, const char* file, int level);
    // Stops the writer, then releases it with every line it still holds.
    ~CLogger();

    CLogger(const CLogger&) = delete;
    CLogger& operator=(const CLogger&) = delete;

    void Trace(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void Debug(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void Info(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void Warn(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void Error(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void Fatal(const char* fmt, ...) __attribute__((format(printf, 2, 3)));

    // Waits, at most `timeoutMs`, until every line accepted before the call has
    // been through a write; see CLogThread::Flush.
    bool Flush(unsigned timeoutMs);

private:
    void Log(int level, const char* fmt, va_list ap);

    int m_level;
    CLogThread* m_logThread;
};

// The writer: lines queue here (at most 1000, later ones are dropped) and the
// thread appends everything queued with one gathered write per batch.
class CLogger::CLogThread : public CThread {
public:
    CLogThread(const char* dir, const char* file);
    ~CLogThread() override;

    // Takes ownership of a malloc'ed, NUL-terminated line: queues it, or frees
    // it when 1000 lines are already waiting.
    void Push(char* line);

    // Waits, at most `timeoutMs`, until every line accepted before the call has
    // been through a write (written, or given up on after an error). When the
    // writer has ended, or never started, writes the queued lines itself.
    // False on timeout, or when the file cannot be opened.
    bool Flush(unsigned timeoutMs);

    // Releases every line still queued.
    void Clear();

protected:
    void Run() override;

private:
    // One batch: opens the file if needed, rotates if due, takes the whole queue
    // and writes it. False when the file could not be opened (nothing is taken).
    bool WriteQueued();
    void WriteBatch();
    bool OpenFile();
    bool NeedRotate();
    void CloseAndRotate();
    bool Rotate();
    // Marks the writer as ended and wakes any Flush; called with m_queueMutex held.
    void EndLocked();

    std::vector<char*> m_queue;  // oldest first; swapped out whole by the writer
    pthread_mutex_t m_queueMutex;
    char m_dir[256];
    char m_file[256];
    int m_fd;

    // Writer-only buffers, kept across batches so a batch allocates nothing.
    std::vector<char*> m_batch;
    std::vector<struct iovec> m_iov;

    // Progress for Flush, guarded by m_queueMutex.
    pthread_cond_t m_progress;
    uint64_t m_accepted;  // lines ever queued
    uint64_t m_handled;   // lines ever taken and written (or given up on)
    bool m_ended;         // the writer body has returned
    unsigned m_flushWaiters;
    pthread_mutex_t m_drainMutex;  // one Flush at a time writes for an ended writer
};

} // namespace Common

#endif
