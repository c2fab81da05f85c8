/* LD_PRELOAD stand-in for libcurl's curl_easy_init(), for the end-to-end
 * tests only: the calls it is told to fail get no handle, as libcurl gives
 * none when it cannot allocate one (the only way its curl_easy_init fails
 * once the global initialisation is done); every other call goes to libcurl.
 * libcurl calls it itself during a transfer (for its connection cache);
 * those calls always go through and are not counted.
 *
 *   QUILLMAR_CURL_INIT_FAILS  numbers of the calls that fail, counted from 1
 *                             in call order, separated by commas ("3,4")
 *
 * Read once, when the library is loaded, and then removed from the
 * environment. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdlib.h>

#include <curl/curl.h>

static unsigned long failing[16];
static size_t failing_count;
static unsigned long calls;

__attribute__((constructor)) static void load_settings(void)
{
    const char* text = getenv("QUILLMAR_CURL_INIT_FAILS");
    while (text != NULL && *text != '\0' && failing_count < sizeof failing / sizeof failing[0]) {
        char* end = NULL;
        failing[failing_count++] = strtoul(text, &end, 10);
        text = *end == ',' ? end + 1 : end;
        if (*end != ',' && *end != '\0')
            break;
    }
    unsetenv("QUILLMAR_CURL_INIT_FAILS");
}

CURL* curl_easy_init(void)
{
    CURL* (*real)(void) = (CURL * (*)(void)) dlsym(RTLD_NEXT, "curl_easy_init");
    if (real == NULL)
        return NULL;
    Dl_info caller, library;
    if (dladdr(__builtin_return_address(0), &caller) != 0 && dladdr((void*)real, &library) != 0 &&
        caller.dli_fbase == library.dli_fbase)
        return real();
    ++calls;
    for (size_t i = 0; i < failing_count; ++i) {
        if (failing[i] == calls)
            return NULL;
    }
    return real();
}
