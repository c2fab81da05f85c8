#include "agent/answer.h"

#include <exception>

#include "agent/agent.h"

Answer ReadAnswer(const ResponseBuffer& buffer)
{
    Answer answer;
    if (buffer.data == nullptr)
        return answer;
    try {
        // Readers stop at the first NUL byte of the body.
        answer.text = buffer.data;
        if (CAgent::ParseResponse(answer.root, answer.text) != 0)
            return answer;
        answer.code = answer.root["returnCode"].asInt();
        if (answer.code == 0) {
            answer.outcome = Answer::kSuccess;
        } else {
            answer.msg = answer.root["returnMsg"].asString();
            answer.outcome = Answer::kRefused;
        }
    } catch (const std::exception& e) {
        answer.outcome = Answer::kInvalid;
        answer.error = e.what();
    }
    return answer;
}
