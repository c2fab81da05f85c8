/* LD_PRELOAD stand-in for libc's sleep(), for the end-to-end tests only.
 *
 * The agent's long waits (the loop interval, the retry pauses, the install
 * pipeline's probes) all go through one sleep(unsigned) call. This library
 * records each requested duration and sleeps a scaled-down real time
 * instead, so a test can check "five attempts, 60-second pauses" in
 * milliseconds.
 *
 *   QUILLMAR_SLEEP_LOG       file that gets one line "<seconds>\n" per call
 *                            (appended; unset: nothing is recorded)
 *   QUILLMAR_SLEEP_SCALE_MS  real milliseconds slept per requested second
 *                            (default 1; 0 returns at once)
 *
 * Both are read once, when the library is loaded, and then removed from the
 * environment together with the library's own entry in LD_PRELOAD: the
 * scripts and installers that the agent runs start clean, sleep for real, and
 * the log holds only the agent's own waits (a daemon keeps the library, since
 * fork does not reload it).
 *
 * sleep() itself uses only plain libc calls that are safe in a signal handler
 * or after fork: no stdio, no allocation. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static char log_path[4096];
static unsigned long scale = 1;

/* LD_PRELOAD without the entry that names this library (entries are
 * separated by blanks or colons); unset when nothing else is left. */
static void drop_own_preload(void)
{
    const char* preload = getenv("LD_PRELOAD");
    Dl_info info;
    if (preload == NULL || dladdr((void*)drop_own_preload, &info) == 0 || info.dli_fname == NULL)
        return;
    const char* own_name = strrchr(info.dli_fname, '/');
    own_name = own_name ? own_name + 1 : info.dli_fname;
    size_t length = strlen(preload);
    char* kept = malloc(length + 1);
    if (kept == NULL)
        return;
    size_t used = 0;
    const char* entry = preload;
    while (*entry != '\0') {
        size_t n = strcspn(entry, ": ");
        const char* base = entry;
        for (size_t i = 0; i < n; ++i) {
            if (entry[i] == '/')
                base = entry + i + 1;
        }
        size_t base_len = n - (size_t)(base - entry);
        int own = (n == strlen(info.dli_fname) && strncmp(entry, info.dli_fname, n) == 0) ||
                  (base_len == strlen(own_name) && strncmp(base, own_name, base_len) == 0);
        if (n > 0 && !own) {
            if (used > 0)
                kept[used++] = ':';
            memcpy(kept + used, entry, n);
            used += n;
        }
        entry += n;
        if (*entry != '\0')
            ++entry;
    }
    kept[used] = '\0';
    if (used == 0)
        unsetenv("LD_PRELOAD");
    else
        setenv("LD_PRELOAD", kept, 1);
    free(kept);
}

__attribute__((constructor)) static void load_settings(void)
{
    const char* path = getenv("QUILLMAR_SLEEP_LOG");
    if (path != NULL && strlen(path) < sizeof log_path)
        strcpy(log_path, path);
    const char* text = getenv("QUILLMAR_SLEEP_SCALE_MS");
    if (text != NULL && *text != '\0') {
        char* end = NULL;
        unsigned long value = strtoul(text, &end, 10);
        if (*end == '\0')
            scale = value;
    }
    unsetenv("QUILLMAR_SLEEP_LOG");
    unsetenv("QUILLMAR_SLEEP_SCALE_MS");
    drop_own_preload();
}

static void record(unsigned int seconds)
{
    if (log_path[0] == '\0')
        return;
    char line[16];
    size_t n = sizeof line;
    line[--n] = '\n';
    do {
        line[--n] = (char)('0' + seconds % 10);
        seconds /= 10;
    } while (seconds != 0);
    int saved = errno;
    int fd = open(log_path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd >= 0) {
        /* One write of a short line, so lines of several processes never mix. */
        ssize_t ignored = write(fd, line + n, sizeof line - n);
        (void)ignored;
        close(fd);
    }
    errno = saved;
}

unsigned int sleep(unsigned int seconds)
{
    record(seconds);
    unsigned long long total_ms = (unsigned long long)seconds * scale;
    struct timespec want = {(time_t)(total_ms / 1000), (long)(total_ms % 1000) * 1000000L};
    struct timespec left = {0, 0};
    if (total_ms == 0 || nanosleep(&want, &left) == 0)
        return 0;
    /* Interrupted: report the unslept part in requested seconds, rounded up,
     * as the real sleep would. */
    unsigned long long left_ms = (unsigned long long)left.tv_sec * 1000 + (unsigned long long)left.tv_nsec / 1000000;
    return (unsigned int)((left_ms + scale - 1) / scale);
}
