// Reading the server's answer object out of a response body: success,
// refusal, no usable text, or a value the JSON library refused to convert.
#ifndef AGENT_ANSWER_H
#define AGENT_ANSWER_H

#include <string>
#include <string_view>

#include <json/value.h>

#include "agent/response_buffer.h"

struct Answer {
    enum Outcome { kNoText, kSuccess, kRefused, kInvalid };
    Outcome outcome = kNoText;
    int code = 0; // "returnCode" when refused
    std::string msg; // "returnMsg" when refused
    // The body as received, up to its first NUL: a view of the buffer, so
    // the buffer must outlive the answer. text.data() is NUL-terminated.
    std::string_view text = "";
    std::string error; // the library exception's what() when invalid
    Json::Value root; // the parsed body
    bool parsed = false; // the text parsed (a body the parser gave up on did not)
};

// 0 when text parses as JSON into root, -1 otherwise: comments are accepted,
// any value may be the root and text after the first complete value is
// ignored. Library exceptions pass through to the caller.
int ParseAnswerText(Json::Value& root, std::string_view text);

// Reads one member of an answer or of one of its items. A value that is
// neither null nor an object raises the JSON library's exception, whose text
// names resolveReference() the way servers have always seen it. The key is
// kept by pointer when the member is added, so it must be a literal.
Json::Value& AnswerMember(Json::Value& value, const char* key);

// Never throws for a std::exception of the JSON library: that becomes kInvalid.
Answer ReadAnswer(const ResponseBuffer& buffer);

#endif
