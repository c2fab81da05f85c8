/* LD_PRELOAD stand-in for libc's sleep(), for the end-to-end tests only.
 *
 * The agent's long waits (the loop interval, the retry pauses) all go through
 * one sleep(unsigned) call. This library records each requested duration and
 * sleeps a scaled-down real time instead, so a test can check "five attempts,
 * 60-second pauses" in milliseconds.
 *
 *   QUILLMAR_SLEEP_LOG       file that gets one line "<seconds>\n" per call
 *                            (appended; unset: nothing is recorded)
 *   QUILLMAR_SLEEP_SCALE_MS  real milliseconds slept per requested second
 *                            (default 1; 0 returns at once)
 *
 * Only plain libc calls that are safe in a signal handler or after fork are
 * used: no stdio, no allocation. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static unsigned long scale_ms(void)
{
    const char* text = getenv("QUILLMAR_SLEEP_SCALE_MS");
    if (text == NULL || *text == '\0')
        return 1;
    char* end = NULL;
    unsigned long value = strtoul(text, &end, 10);
    return *end == '\0' ? value : 1;
}

static void record(unsigned int seconds)
{
    const char* path = getenv("QUILLMAR_SLEEP_LOG");
    if (path == NULL || *path == '\0')
        return;
    char line[16];
    size_t n = sizeof line;
    line[--n] = '\n';
    do {
        line[--n] = (char)('0' + seconds % 10);
        seconds /= 10;
    } while (seconds != 0);
    int saved = errno;
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
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
    unsigned long scale = scale_ms();
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
