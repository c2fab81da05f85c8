// One POST of a request text to the management server with the shared
// options, collecting the answer body; owns handle, header list, buffer and
// the request text.
#ifndef AGENT_POST_EXCHANGE_H
#define AGENT_POST_EXCHANGE_H

#include <string>

#include <curl/curl.h>

#include "agent/response_buffer.h"

class PostExchange {
public:
    PostExchange(); // takes a fresh libcurl handle
    // Releases the buffer's block, then cleans up the handle, then frees the
    // header list; the request text goes last, so it outlives the handle
    // that posts from it.
    ~PostExchange();
    PostExchange(const PostExchange&) = delete;
    PostExchange& operator=(const PostExchange&) = delete;

    bool HasHandle() const { return m_handle != nullptr; }
    CURL* Handle() { return m_handle; }

    // Sets the options in their fixed order, posting `request`, which the
    // exchange keeps unchanged until it ends. tls is applied right after the
    // time limit when set (useCA and caPath of the transport security rule).
    void Setup(const std::string& url, long timeout, std::string request, bool tls = false, int useCA = 0,
               const std::string& caPath = std::string());

    // One attempt; retries reuse the handle and append to the same buffer.
    CURLcode Perform();
    ResponseBuffer& Buffer() { return m_buffer; }
    // The text posted, final newline included.
    const std::string& Request() const { return m_request; }

private:
    std::string m_request;
    ResponseBuffer m_buffer;
    CURL* m_handle;
    curl_slist* m_headers;
};

// True when url begins "https://" (lower case, at its very start).
bool IsHttpsUrl(const std::string& url);
// The plain-http form of url that status reports go to: "https://" becomes
// "http://", host, port and path unchanged; any other url as it is.
std::string PlainHttpUrl(const std::string& url);

// The transport security options for an https target.
void ApplyTransportSecurity(CURL* handle, int useCA, const std::string& caPath);

#endif
