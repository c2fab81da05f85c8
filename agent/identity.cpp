// Host identity: machine UUID, MAC of eth0, local IPv4 address, VM probes and
// the first-run marker. Each lookup caches its first success for the process.
#include "agent/identity.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <curl/curl.h>

#include "agent/exception_report.h"
#include "agent/response_buffer.h"
#include "agent/settings.h"
#include "common/logger.h"

VmProbeTable g_vmProbes;

void InitVmProbes()
{
    g_vmProbes.insert({"/proc/cpuinfo", "hypervisor"});
    g_vmProbes.insert({"/sys/devices/system/clocksource/clocksource0/available_clocksource", "kvm"});
    g_vmProbes.insert({"/sys/class/dmi/id/product_name", "VQX"});
}

namespace {

// Defined after g_vmProbes in this file, so the table exists when it runs.
struct VmProbeInitialiser {
    VmProbeInitialiser() { InitVmProbes(); }
} g_vmProbeInitialiser;

const char kDefaultLocalIp[] = "0:0:0:0";
const char kFirstRunMarker[] = "firstRun";

std::string& UuidCache()
{
    static std::string cache;
    return cache;
}

// The whole file as one text: chunks of up to 1024 bytes until end of file or
// the first read error. False when it cannot be opened.
bool ReadWholeFile(const std::string& path, std::string& text)
{
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) {
        return false;
    }
    char chunk[1024];
    ssize_t n;
    while ((n = read(fd, chunk, sizeof chunk)) > 0) {
        text.append(chunk, static_cast<size_t>(n));
    }
    close(fd);
    return true;
}

// Only ASCII capitals change: the UUID's other bytes go out as they came.
void LowerAscii(std::string& text)
{
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
}

const std::string& StoreUuid(std::string uuid)
{
    LowerAscii(uuid);
    UuidCache() = uuid;
    return UuidCache();
}

// Runs query on a fresh datagram socket, closed again on every path; the
// empty text when no socket can be had.
std::string QueryDatagramSocket(std::string (*query)(int fd))
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        return std::string();
    }
    std::string result = query(fd);
    close(fd);
    return result;
}

std::string ReadEth0Mac(int fd)
{
    struct ifreq request;
    memset(&request, 0, sizeof request);
    strncpy(request.ifr_name, "eth0", IFNAMSIZ - 1);
    if (ioctl(fd, SIOCGIFHWADDR, &request) != 0) {
        return std::string();
    }
    // Unsigned bytes, or a byte from 0x80 up would print as ffffff80.
    const unsigned char* hw = reinterpret_cast<const unsigned char*>(request.ifr_hwaddr.sa_data);
    char text[32];
    snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", hw[0], hw[1], hw[2], hw[3], hw[4], hw[5]);
    return text;
}

// Connecting a datagram socket sends nothing: the kernel only picks the
// route, and with it the local address.
std::string ReadLocalAddress(int fd)
{
    struct sockaddr_in peer;
    memset(&peer, 0, sizeof peer);
    peer.sin_family = AF_INET;
    peer.sin_addr.s_addr = inet_addr("172.0.0.1");
    peer.sin_port = htons(80);
    struct sockaddr_in local;
    memset(&local, 0, sizeof local);
    socklen_t length = sizeof local;
    if (connect(fd, reinterpret_cast<struct sockaddr*>(&peer), sizeof peer) != 0 ||
        getsockname(fd, reinterpret_cast<struct sockaddr*>(&local), &length) != 0) {
        return std::string();
    }
    return inet_ntoa(local.sin_addr);
}

} // namespace

bool IsVirtualMachine(const VmProbeTable& probes)
{
    for (const auto& probe : probes) {
        std::string text;
        if (ReadWholeFile(probe.first, text) && text.find(probe.second) != std::string::npos) {
            return true;
        }
    }
    return false;
}

const std::string& GetUuid(Common::Env* env)
{
    if (!UuidCache().empty()) {
        return UuidCache();
    }
    if (IsVirtualMachine()) {
        std::string uuid = GetUuidFromFile(GetConfValue(kConfPath, "uuid_file_path"));
        if (IsValidUuid(uuid)) {
            Common::CLogger::GetInstance()->Info("get uuid from product_serial ok");
            return StoreUuid(uuid);
        }
    }
    std::string uuid = GetUuidFromUrl(GetConfValue(kConfPath, "metadata_url"));
    if (!IsValidUuid(uuid)) {
        uuid = GetUuidFromUrl(GetConfValue(kConfPath, "vqx_new_metadata_url"));
    }
    if (!IsValidUuid(uuid)) {
        Common::CLogger::GetInstance()->Error("active exit because all remote method get uuid is failed");
        ReportException(1, Json::Value(), env);
        exit(1);
    }
    return StoreUuid(uuid);
}

std::string GetUuidFromFile(const char* path)
{
    if (path == nullptr || *path == '\0') {
        return std::string();
    }
    FILE* file = fopen(path, "r");
    if (file == nullptr) {
        return std::string();
    }
    // The UUID stands on the last line; a long line arrives in pieces and
    // its last piece counts.
    char piece[1024];
    char last[1024];
    last[0] = '\0';
    while (fgets(piece, sizeof piece, file) != nullptr) {
        memcpy(last, piece, strlen(piece) + 1);
    }
    fclose(file);
    return std::string(Trim(last));
}

std::string GetUuidFromUrl(const char* url)
{
    if (url == nullptr || *url == '\0') {
        return std::string();
    }
    CURL* handle = curl_easy_init();
    if (handle == nullptr) {
        return std::string();
    }
    ResponseBuffer body;
    curl_easy_setopt(handle, CURLOPT_URL, url);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, WriteToMemory);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &body);
    curl_easy_setopt(handle, CURLOPT_TIMEOUT, 10L);
    CURLcode rc = curl_easy_perform(handle);
    curl_easy_cleanup(handle);
    if (rc != CURLE_OK) {
        Common::CLogger::GetInstance()->Error("active failed because get uuid error: %s, url %s",
                                              curl_easy_strerror(rc), url);
        return std::string();
    }
    return body.data != nullptr ? std::string(body.data) : std::string();
}

bool IsValidUuid(const std::string& uuid)
{
    return uuid.size() == 36;
}

const std::string& GetMac()
{
    static std::string cache;
    if (cache.empty()) {
        cache = QueryDatagramSocket(ReadEth0Mac);
    }
    return cache;
}

const std::string& GetLocalIp()
{
    static std::string cache;
    static const std::string fallback(kDefaultLocalIp);
    if (cache.empty()) {
        cache = QueryDatagramSocket(ReadLocalAddress);
    }
    return cache.empty() ? fallback : cache;
}

int IsFirstRun()
{
    return access(kFirstRunMarker, F_OK) != 0 ? 1 : 0;
}

void SetFirstRunDone()
{
    int fd = creat(kFirstRunMarker, 0666);
    if (fd >= 0) {
        close(fd);
    }
}
