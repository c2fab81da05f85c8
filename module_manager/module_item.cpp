#include "module_manager/module_item.h"

#include "agent/answer.h"

std::string NormaliseInstallPath(const std::string& sent)
{
    if (sent.size() > 2 && sent[0] == '.' && sent[1] == '.')
        return "../" + sent;
    return sent;
}

std::string ItemText(Json::Value& item, const char* key)
{
    std::string text = AnswerMember(item, key).asString();
    const std::string::size_type nul = text.find('\0');
    if (nul != std::string::npos)
        text.resize(nul);
    return text;
}

int ReadModuleItem(Json::Value& item, ModuleInfo& record)
{
    const int status = AnswerMember(item, "status").asInt();
    record.moduleId = AnswerMember(item, "moduleId").asInt();
    record.fileId = AnswerMember(item, "fileId").asInt();
    record.failCount = 0;
    record.name = ItemText(item, "name");
    record.uri = ItemText(item, "uri");
    record.md5 = ItemText(item, "md5");
    record.installPath = NormaliseInstallPath(ItemText(item, "installPath"));
    return status;
}
