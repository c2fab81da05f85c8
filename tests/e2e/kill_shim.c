/* LD_PRELOAD wrapper of libc's unlinkat(), for the end-to-end tests only:
 * the process kills itself with SIGKILL when it is about to remove the entry
 * it is told of, as an agent stopped by kill -9 in the middle of a delete
 * would be. The entry is not removed. The agent's recursive delete removes
 * files and directories alike through unlinkat.
 *
 *   QUILLMAR_KILL_AT_UNLINK  the last path component of the entry whose
 *                            removal ends the process (unset or empty:
 *                            every call goes through)
 *
 * Read once, when the library is loaded, and then removed from the
 * environment: the scripts and installers that the agent runs may still
 * load the library, but it does nothing in them. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static char target[256];

__attribute__((constructor)) static void load_settings(void)
{
    const char* name = getenv("QUILLMAR_KILL_AT_UNLINK");
    if (name != NULL && strlen(name) < sizeof target)
        strcpy(target, name);
    unsetenv("QUILLMAR_KILL_AT_UNLINK");
}

int unlinkat(int dir, const char* path, int flags)
{
    if (target[0] != '\0') {
        const char* last = strrchr(path, '/');
        if (strcmp(last ? last + 1 : path, target) == 0)
            kill(getpid(), SIGKILL);
    }
    int (*real)(int, const char*, int) = (int (*)(int, const char*, int))dlsym(RTLD_NEXT, "unlinkat");
    if (real == NULL) {
        errno = ENOSYS;
        return -1;
    }
    return real(dir, path, flags);
}
