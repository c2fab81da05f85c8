// One item of a "CheckModules" answer read into a module record, and the
// module directory text the server sends turned into the record's path.
#ifndef MODULE_MANAGER_MODULE_ITEM_H
#define MODULE_MANAGER_MODULE_ITEM_H

#include <string>

#include <json/value.h>

#include "module_manager/module_info.h"

// A text of more than two bytes that begins ".." gets "../" in front, so a
// path the server gives relative to the installation root resolves from the
// agent's bin/ directory; any other text is kept as it is.
std::string NormaliseInstallPath(const std::string& sent);

// A text member of an item as the JSON library reads it, up to its first NUL
// byte: "<path>\0.QUILLMAR" must never reach a C call as "<path>".
std::string ItemText(Json::Value& item, const char* key);

// Reads "status", "moduleId", "fileId", "name", "uri", "md5" and
// "installPath", in that order, into record (failCount 0, installPath
// normalised) and returns the status. A missing or null member reads as 0 or
// the empty text; a member the library cannot convert, or an item that is
// neither null nor an object, raises the library's exception. The key is a
// literal kept by the item (see AnswerMember).
int ReadModuleItem(Json::Value& item, ModuleInfo& record);

#endif
