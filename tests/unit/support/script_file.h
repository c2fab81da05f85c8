// Real /bin/sh scripts for tests: a module's administration scripts, an
// installer, anything the agent runs through the shell.
#ifndef TESTS_UNIT_SUPPORT_SCRIPT_FILE_H
#define TESTS_UNIT_SUPPORT_SCRIPT_FILE_H

#include <sys/types.h>

#include <string>

// Writes "#!/bin/sh\n" followed by body to path, creating the missing parent
// directories (mode 0755), and gives the file exactly mode, whatever the
// umask. False, with a gtest failure added, when any step fails.
bool WriteScript(const std::string& path, const std::string& body, mode_t mode = 0755);

#endif
