// A growing, NUL-terminated buffer that collects an HTTP response body
// through libcurl's write callback.
#ifndef AGENT_RESPONSE_BUFFER_H
#define AGENT_RESPONSE_BUFFER_H

#include <cstddef>

struct ResponseBuffer {
    // Starts as the empty text: a one-byte block holding the NUL.
    ResponseBuffer();
    ~ResponseBuffer();
    ResponseBuffer(const ResponseBuffer&) = delete;
    ResponseBuffer& operator=(const ResponseBuffer&) = delete;

    char* data; // null after a failed growth: no usable answer
    size_t size; // body bytes held, the NUL not counted
};

// libcurl write callback; userp is a ResponseBuffer. Returns the bytes taken,
// or 0 when the buffer cannot grow (libcurl then fails with its write error).
size_t WriteToMemory(void* contents, size_t size, size_t nmemb, void* userp);

#endif
