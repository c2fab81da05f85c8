// The process-wide asynchronous logger: callers format a whole line and queue
// it; one writer thread appends queued lines to the log file in batches and
// rotates the file past 5 MiB.
#ifndef COMMON_LOGGER_H
#define COMMON_LOGGER_H

#include <cstdarg>

namespace Common {

class CLogger {
public:
    // The one process-wide logger: "../logs"/"quillmar.log", minimum level INFO.
    // Created on first use and never destroyed.
    static CLogger* GetInstance();

    CLogger(const char* dir, const char* file, int level);
    ~CLogger();

    void Trace(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void Debug(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void Info(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void Warn(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void Error(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void Fatal(const char* fmt, ...) __attribute__((format(printf, 2, 3)));

private:
    void Log(int level, const char* fmt, va_list ap);
    int m_level;
};

} // namespace Common

#endif
