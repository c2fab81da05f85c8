// Reading the server's answer object out of a response body: success,
// refusal, no usable text, or a value the JSON library refused to convert.
#ifndef AGENT_ANSWER_H
#define AGENT_ANSWER_H

#include <string>

#include <json/value.h>

#include "agent/response_buffer.h"

struct Answer {
    enum Outcome { kNoText, kSuccess, kRefused, kInvalid };
    Outcome outcome = kNoText;
    int code = 0; // "returnCode" when refused
    std::string msg; // "returnMsg" when refused
    std::string text; // the body as received, up to its first NUL
    std::string error; // the library exception's what() when invalid
    Json::Value root; // the parsed body
};

// Never throws for a std::exception of the JSON library: that becomes kInvalid.
Answer ReadAnswer(const ResponseBuffer& buffer);

#endif
