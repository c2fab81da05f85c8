// Placeholder synchronous logger until the asynchronous writer lands.
#include "common/logger.h"

#include <cstdio>

namespace Common {

CLogger* CLogger::GetInstance()
{
    static CLogger* logger = new CLogger("../logs", "quillmar.log", 2);
    return logger;
}

CLogger::CLogger(const char*, const char*, int level) : m_level(level) {}
CLogger::~CLogger() = default;

void CLogger::Log(int, const char* fmt, va_list ap) { vfprintf(stderr, fmt, ap); fputc('\n', stderr); }

#define QM_LEVEL_ENTRY(name, lvl)                                                                  \
    void CLogger::name(const char* fmt, ...)                                                       \
    {                                                                                              \
        if (lvl < m_level) return;                                                                 \
        va_list ap;                                                                                \
        va_start(ap, fmt);                                                                         \
        Log(lvl, fmt, ap);                                                                         \
        va_end(ap);                                                                                \
    }
QM_LEVEL_ENTRY(Trace, 0)
QM_LEVEL_ENTRY(Debug, 1)
QM_LEVEL_ENTRY(Info, 2)
QM_LEVEL_ENTRY(Warn, 3)
QM_LEVEL_ENTRY(Error, 4)
QM_LEVEL_ENTRY(Fatal, 5)

} // namespace Common
