// The agent's side of the request envelope and of parsing answers.
#include "agent/agent.h"
#include "agent/envelope.h"

#include <json/reader.h>

std::string CAgent::BuildRequest(const std::string& interfaceName, const Json::Value& para)
{
    return BuildEnvelope(interfaceName, para, m_env);
}

int CAgent::ParseResponse(Json::Value& root, const std::string& text)
{
    // The classic reader accepts comments, any root value and trailing text,
    // which is what servers have always been able to rely on.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    Json::Reader reader;
#pragma GCC diagnostic pop
    return reader.parse(text, root, false) ? 0 : -1;
}
