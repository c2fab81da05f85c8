// The agent's side of the request envelope and of parsing answers.
#include "agent/agent.h"
#include "agent/answer.h"
#include "agent/envelope.h"
#include "agent/identity.h"

std::string CAgent::BuildRequest(const std::string& interfaceName, const Json::Value& para)
{
    return BuildEnvelope(interfaceName, para, m_env);
}

int CAgent::ParseResponse(Json::Value& root, const std::string& text)
{
    return ParseAnswerText(root, text);
}

std::string CAgent::BuildIdentifiedRequest(const std::string& interfaceName,
                                           const std::function<void(Json::Value&)>& addMembers)
{
    Json::Value para;
    para["uuid"] = GetUuid(m_env);
    para["mac"] = GetMac();
    addMembers(para);
    return BuildRequest(interfaceName, para);
}
