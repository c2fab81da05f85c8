#include "module_manager/module_paths.h"

const char* const kPackagePath = "../quillmar_install";
const char* const kModulesDir = "../modules/";
const char* const kBackupSuffix = ".QUILLMAR";
const char* const kDiscardedInfix = ".discarded.";
const char* const kTryStartScript = "/admin/trystart.sh";
const char* const kStopScript = "/admin/stop.sh";
const char* const kUninstallScript = "/admin/uninstall.sh";

std::string MarkerPath(const std::string& name)
{
    return kModulesDir + name;
}

std::string BackupPath(const std::string& installPath)
{
    return installPath + kBackupSuffix;
}

bool BackupBesideModule(const std::string& installPath)
{
    const size_t slash = installPath.rfind('/');
    const std::string last = slash == std::string::npos ? installPath : installPath.substr(slash + 1);
    return !last.empty() && last != "." && last != "..";
}

std::string DiscardedBackupPath(const std::string& installPath, unsigned n)
{
    return BackupPath(installPath) + kDiscardedInfix + std::to_string(n);
}

namespace {

bool IsShellSafe(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '.' ||
           c == '/' || c == '-';
}

} // namespace

std::string ShellCommand(const std::string& path)
{
    bool safe = true;
    for (unsigned char c : path)
        safe = safe && IsShellSafe(c);
    if (safe)
        return path;
    std::string quoted = "'";
    for (char c : path) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    quoted += '\'';
    return quoted;
}
