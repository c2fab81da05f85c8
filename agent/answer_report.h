// The outcome lines of the status report (to the log) and of the state reset
// (to standard output) for an answer read from the server.
#ifndef AGENT_ANSWER_REPORT_H
#define AGENT_ANSWER_REPORT_H

#include <string>

#include "agent/answer.h"

// request is the text that was posted, quoted in the success line.
void LogSendLogsOutcome(const Answer& answer, const std::string& request);
void PrintResetStateOutcome(const Answer& answer);

#endif
