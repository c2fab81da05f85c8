// Where module management keeps things, relative to the agent's working
// directory, and how a module's paths and script commands are formed.
#ifndef MODULE_MANAGER_MODULE_PATHS_H
#define MODULE_MANAGER_MODULE_PATHS_H

#include <string>

// The downloaded package, later run as the installer.
extern const char* const kPackagePath; // "../quillmar_install"
// The directory of installed-module markers, with its trailing slash.
extern const char* const kModulesDir; // "../modules/"
// Appended to a module directory to name its backup.
extern const char* const kBackupSuffix; // ".QUILLMAR"
// Follows the backup path in the names of backups set aside to be deleted.
extern const char* const kDiscardedInfix; // ".discarded."
// Appended to a module directory to name its administration scripts.
extern const char* const kTryStartScript; // "/admin/trystart.sh"
extern const char* const kStopScript; // "/admin/stop.sh"
extern const char* const kUninstallScript; // "/admin/uninstall.sh"

// "../modules/" followed by the name, unchanged.
std::string MarkerPath(const std::string& name);
// The module directory text with ".QUILLMAR" appended directly.
std::string BackupPath(const std::string& installPath);
// Whether that backup lies beside the module directory: only when the text's
// last component names the directory. After "m/", "m/." or "m/.." it lies
// inside the directory that the text names.
bool BackupBesideModule(const std::string& installPath);
// The text after the last "/" (all of it without one).
std::string LastComponent(const std::string& path);
// The path without its trailing "/" and "/." (never below "/"): "m/", "m/."
// and "m//./" name what "m" names.
std::string WithoutTrailingSlashes(const std::string& path);
// The directory that installPath names, written so that its backup lies
// beside it ("m" for "m/" and "m/."); empty when the text names no module
// directory of its own: a last component ".." or ".", or "/".
std::string ModuleDirectory(const std::string& installPath);

// Backups set aside to be deleted are named "<installPath>.QUILLMAR.discarded.<n>"
// in the backup's directory, where nameMax is the longest name it takes.
// Where that last component would be longer, the module directory's own last
// component is cut at its end just far enough, so the name fits wherever the
// backup's does. Nothing ever restores such a name. installPath is one whose
// backup lies beside it.
std::string DiscardedBackupPath(const std::string& installPath, unsigned n, size_t nameMax);
// Whether an entry name of the backup's directory is one of those names of
// installPath: the module's last component, or a cut of it at exactly
// nameMax bytes, then ".QUILLMAR.discarded." and digits.
bool IsDiscardedBackupName(const std::string& installPath, const std::string& name, size_t nameMax);

// The shell command that runs path. A path made only of the bytes
// [A-Za-z0-9_./-] is the command as it is; any other path comes from the
// server's text and is quoted for the shell (in single quotes, an embedded
// quote as '\''), so a blank, ';', '$(...)' or a backquote in it can never
// run anything but the script itself.
std::string ShellCommand(const std::string& path);

#endif
