#include "agent/response_buffer.h"

#include <cstdlib>
#include <cstring>

ResponseBuffer::ResponseBuffer() : data(static_cast<char*>(malloc(1))), size(0)
{
    if (data != nullptr)
        data[0] = '\0';
}

ResponseBuffer::~ResponseBuffer()
{
    free(data);
}

size_t WriteToMemory(void* contents, size_t size, size_t nmemb, void* userp)
{
    ResponseBuffer* buffer = static_cast<ResponseBuffer*>(userp);
    const size_t n = size * nmemb;
    // After a failed growth the old text is gone: start again from the empty
    // text, so a later attempt never reads bytes that were not received.
    const size_t held = buffer->data == nullptr ? 0 : buffer->size;
    if ((size != 0 && n / size != nmemb) || n > static_cast<size_t>(-1) - held - 1) {
        free(buffer->data);
        buffer->data = nullptr;
        buffer->size = 0;
        return 0;
    }
    char* grown = static_cast<char*>(realloc(buffer->data, held + n + 1));
    if (grown == nullptr) {
        free(buffer->data);
        buffer->data = nullptr;
        buffer->size = 0;
        return 0;
    }
    memcpy(grown + held, contents, n);
    grown[held + n] = '\0';
    buffer->data = grown;
    buffer->size = held + n;
    return n;
}
