#include "agent/answer.h"

#include <exception>

#include <json/reader.h>

int ParseAnswerText(Json::Value& root, std::string_view text)
{
    // The classic reader accepts comments, any root value and trailing text,
    // which is what servers have always been able to rely on.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    Json::Reader reader;
#pragma GCC diagnostic pop
    // The range form reads the text in place; the string form would copy
    // the whole body first.
    return reader.parse(text.data(), text.data() + text.size(), root, false) ? 0 : -1;
}

Json::Value& AnswerMember(Json::Value& value, const char* key)
{
    // The StaticString form: its failure text is "in
    // Json::Value::resolveReference(): requires objectValue". Keys here are
    // literals, which that form requires.
    return value[Json::StaticString(key)];
}

Answer ReadAnswer(const ResponseBuffer& buffer)
{
    Answer answer;
    if (buffer.data == nullptr)
        return answer;
    try {
        // Readers stop at the first NUL byte of the body. A view and not a
        // copy: the body can run to many MiB.
        answer.text = buffer.data;
        if (ParseAnswerText(answer.root, answer.text) != 0)
            return answer;
        answer.parsed = true;
        answer.code = AnswerMember(answer.root, "returnCode").asInt();
        if (answer.code == 0) {
            answer.outcome = Answer::kSuccess;
        } else {
            answer.msg = AnswerMember(answer.root, "returnMsg").asString();
            answer.outcome = Answer::kRefused;
        }
    } catch (const std::exception& e) {
        answer.outcome = Answer::kInvalid;
        answer.error = e.what();
    }
    return answer;
}
