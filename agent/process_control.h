// Process control at start-up: daemon mode, the single-instance pid lock,
// the error output of daemon set-up, and Start, which hands over to the agent.
#ifndef AGENT_PROCESS_CONTROL_H
#define AGENT_PROCESS_CONTROL_H

#include <cstdarg>

#include "common/env.h"

// Returns only in the final daemon process.
void Daemonize(const char* name);
// 0 when this process now holds the pid lock, 1 when another one holds it;
// any other failure ends the process with status 1.
int AlreadyRunning(Common::Env* env = Common::Env::Default());
// Write lock over the whole file, without waiting; fcntl's result.
int LockFile(int fd);

void ErrDoit(const char* fmt, va_list ap);
[[noreturn]] void ErrQuit(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// libcurl, the agent, then the reset (exit 0) or the service loop.
[[noreturn]] void Start(bool reset);

#endif
