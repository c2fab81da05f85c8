// Tells the server about a condition that keeps the agent from running,
// just before it exits: up to three attempts, the answer never read.
#ifndef AGENT_EXCEPTION_REPORT_H
#define AGENT_EXCEPTION_REPORT_H

#include <json/value.h>

#include "common/env.h"

void ReportException(int event, const Json::Value& data, Common::Env* env = Common::Env::Default());

#endif
