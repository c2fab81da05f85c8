#include "agent/message.h"

#include <cstdarg>
#include <cstdio>

char g_message[4096];

void SetMessage(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(g_message, sizeof g_message, fmt, ap);
    va_end(ap);
}
