#include "agent/post_exchange.h"

#include <cstdlib>
#include <utility>

PostExchange::PostExchange() : m_handle(curl_easy_init()), m_headers(nullptr) {}

PostExchange::~PostExchange()
{
    free(m_buffer.data);
    m_buffer.data = nullptr;
    if (m_handle != nullptr)
        curl_easy_cleanup(m_handle);
    curl_slist_free_all(m_headers);
}

void PostExchange::Setup(const std::string& url, long timeout, std::string request, bool tls, int useCA,
                         const std::string& caPath)
{
    m_request = std::move(request);
    m_headers = curl_slist_append(m_headers, "Content-Type:application/json");
    curl_easy_setopt(m_handle, CURLOPT_URL, url.c_str());
    curl_easy_setopt(m_handle, CURLOPT_TIMEOUT, timeout);
    if (tls)
        ApplyTransportSecurity(m_handle, useCA, caPath);
    curl_easy_setopt(m_handle, CURLOPT_POST, 1L);
    curl_easy_setopt(m_handle, CURLOPT_HTTPHEADER, m_headers);
    curl_easy_setopt(m_handle, CURLOPT_POSTFIELDS, m_request.c_str());
    curl_easy_setopt(m_handle, CURLOPT_POSTFIELDSIZE, static_cast<long>(m_request.size()));
    curl_easy_setopt(m_handle, CURLOPT_WRITEFUNCTION, WriteToMemory);
    curl_easy_setopt(m_handle, CURLOPT_WRITEDATA, &m_buffer);
}

CURLcode PostExchange::Perform()
{
    return curl_easy_perform(m_handle);
}

bool IsHttpsUrl(const std::string& url)
{
    return url.compare(0, 8, "https://") == 0;
}

std::string PlainHttpUrl(const std::string& url)
{
    return IsHttpsUrl(url) ? "http" + url.substr(5) : url;
}

void ApplyTransportSecurity(CURL* handle, int useCA, const std::string& caPath)
{
    if (useCA != 0) {
        curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(handle, CURLOPT_CAINFO, caPath.c_str());
        // The named CA file must be the only source of trust: Debian's libcurl
        // also trusts its compiled-in CA directory unless it is switched off.
        curl_easy_setopt(handle, CURLOPT_CAPATH, static_cast<char*>(nullptr));
    } else {
        curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 1L);
    }
}
