// The latest status message, sent as "msg" by the next status report.
#ifndef AGENT_MESSAGE_H
#define AGENT_MESSAGE_H

extern char g_message[4096];

// Bounded printf into g_message; longer texts are cut at 4095 bytes.
void SetMessage(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

#endif
