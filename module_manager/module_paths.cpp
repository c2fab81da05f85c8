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

std::string LastComponent(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

namespace {

// What follows the module directory's last component in the n-th discarded name.
std::string DiscardedTail(unsigned n)
{
    return kBackupSuffix + (kDiscardedInfix + std::to_string(n));
}

} // namespace

bool BackupBesideModule(const std::string& installPath)
{
    const std::string last = LastComponent(installPath);
    return !last.empty() && last != "." && last != "..";
}

std::string WithoutTrailingSlashes(const std::string& path)
{
    std::string target = path;
    while (target.size() > 1) {
        if (target.back() == '/' || target.compare(target.size() - 2, 2, "/.") == 0)
            target.pop_back();
        else
            break;
    }
    return target;
}

std::string ModuleDirectory(const std::string& installPath)
{
    const std::string directory = WithoutTrailingSlashes(installPath);
    return BackupBesideModule(directory) ? directory : std::string();
}

std::string DiscardedBackupPath(const std::string& installPath, unsigned n, size_t nameMax)
{
    const std::string tail = DiscardedTail(n);
    const size_t last = LastComponent(installPath).size();
    size_t cut = 0;
    // Cut only what can make it fit: a name that cannot is left whole, and
    // its rename fails as the directory says.
    if (last + tail.size() > nameMax && last + tail.size() - nameMax < last)
        cut = last + tail.size() - nameMax;
    return installPath.substr(0, installPath.size() - cut) + tail;
}

bool IsDiscardedBackupName(const std::string& installPath, const std::string& name, size_t nameMax)
{
    const size_t digits = name.find_last_not_of("0123456789") + 1;
    const std::string infix = kBackupSuffix + std::string(kDiscardedInfix);
    if (digits == name.size() || digits < infix.size() || name.compare(digits - infix.size(), infix.size(), infix) != 0)
        return false;
    const std::string own = name.substr(0, digits - infix.size());
    const std::string last = LastComponent(installPath);
    return own == last || (name.size() == nameMax && own.size() < last.size() && last.compare(0, own.size(), own) == 0);
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
