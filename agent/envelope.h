// The request envelope every request to the management server travels in,
// and its compact text: sorted keys, no blanks, raw UTF-8, a final newline.
#ifndef AGENT_ENVELOPE_H
#define AGENT_ENVELOPE_H

#include <string>

#include <json/value.h>

#include "common/env.h"

// One clock reading as requests carry it: a 32-bit signed integer, wrapping
// past 2038.
Json::Int ClockReading(Common::Env* env);

std::string BuildEnvelope(const std::string& interfaceName, const Json::Value& para, Common::Env* env);

// Compact JSON text of value with one newline at the end.
std::string WriteCompact(const Json::Value& value);

#endif
