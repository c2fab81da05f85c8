// The yardstick of bench/idle_bench.py: a program that links what the agent
// links (libcurl, jsoncpp, threads), posts one JSON request to the url in
// argv[1], keeps one idle thread as the agent keeps its log writer, and then
// sleeps argv[2] seconds at a time for ever.
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include <curl/curl.h>
#include <json/reader.h>
#include <json/value.h>
#include <json/writer.h>

namespace {

size_t Collect(void* data, size_t size, size_t count, void* out)
{
    static_cast<std::string*>(out)->append(static_cast<char*>(data), size * count);
    return size * count;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3)
        return 2;
    curl_global_init(CURL_GLOBAL_ALL);
    Json::Value para;
    para["msg"] = "baseline";
    const std::string body = Json::FastWriter().write(para);
    std::string answer;
    CURL* handle = curl_easy_init();
    curl_slist* headers = curl_slist_append(nullptr, "Content-Type:application/json");
    curl_easy_setopt(handle, CURLOPT_URL, argv[1]);
    curl_easy_setopt(handle, CURLOPT_POST, 1L);
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(handle, CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, Collect);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &answer);
    curl_easy_perform(handle);
    curl_easy_cleanup(handle);
    curl_slist_free_all(headers);
    Json::Value root;
    Json::Reader().parse(answer, root);

    std::mutex mutex;
    std::condition_variable idle;
    std::thread([&] {
        std::unique_lock<std::mutex> lock(mutex);
        idle.wait(lock, [] { return false; });
    }).detach();
    const unsigned seconds = static_cast<unsigned>(atoi(argv[2]));
    for (;;)
        sleep(seconds);
}
