// One POST through the agent's own exchange with the transport security rule
// applied, for the TLS tests: tls_probe URL USE_CA CA_PATH. Prints the
// libcurl result as "<code> <text>" and then the answer body.
#include <cstdio>
#include <cstdlib>
#include <string>

#include <curl/curl.h>

#include "agent/post_exchange.h"

int main(int argc, char** argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: %s URL USE_CA CA_PATH\n", argv[0]);
        return 2;
    }
    curl_global_init(CURL_GLOBAL_ALL);
    PostExchange exchange;
    exchange.Setup(argv[1], 10, "{}\n", true, atoi(argv[2]), argv[3]);
    CURLcode rc = exchange.Perform();
    printf("%d %s\n", static_cast<int>(rc), curl_easy_strerror(rc));
    if (exchange.Buffer().data != nullptr)
        printf("%s\n", exchange.Buffer().data);
    return 0;
}
