// The entry point: anchor in the executable's directory, read the command
// line, become a daemon or take the single-instance lock, then Start.
#include <cstdlib>
#include <cstring>
#include <syslog.h>
#include <unistd.h>

#include "agent/process_control.h"

int main(int argc, char** argv)
{
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path);
    if (n < 0 || n >= static_cast<ssize_t>(sizeof path)) {
        syslog(LOG_ERR, "get current working directory failed.");
        exit(1);
    }
    path[n] = '\0';
    char* slash = strrchr(path, '/');
    if (slash != nullptr)
        slash[1] = '\0';
    if (chdir(path) < 0) {
        syslog(LOG_ERR, "can't change directory to %s", path);
        exit(1);
    }

    if (argc > 1) {
        if (strcmp(argv[1], "-d") == 0)
            Daemonize(argv[0]);
        else if (strcmp(argv[1], "-r") == 0)
            Start(true);
    }
    if (AlreadyRunning() != 0) {
        syslog(LOG_ERR, "quillmar already running");
        exit(1);
    }
    Start(false);
}
