// Fetching a module's package into the package file and checking it against
// the digest the server gave for it.
#include "module_manager/package.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string>

#include <curl/curl.h>

#include "agent/agent.h"
#include "agent/message.h"
#include "agent/post_exchange.h"
#include "common/logger.h"
#include "module_manager/md5.h"
#include "module_manager/module_paths.h"

namespace {

// Digest reads go through the file in pieces of this size.
constexpr size_t kReadPiece = 4096;
// The package file's stream buffer, in both directions: one system call per
// transfer chunk or per digest piece made a large package's download about
// half as fast and its check a fifth slower.
constexpr size_t kStreamBuffer = 64 * 1024;

// The package file, created or truncated, buffered in buffer (kStreamBuffer
// bytes). It is run as root once verified, so it is never writable by anyone
// but its owner, whatever the umask (the daemon's is 0) or the mode an
// earlier file had.
FILE* OpenPackageForWriting(char* buffer)
{
    const int fd = open(kPackagePath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return nullptr;
    fchmod(fd, 0600);
    FILE* file = fdopen(fd, "wb");
    if (file == nullptr) {
        const int error = errno;
        close(fd);
        errno = error;
        return nullptr;
    }
    setvbuf(file, buffer, _IOFBF, kStreamBuffer);
    return file;
}

} // namespace

size_t WriteToFile(void* data, size_t size, size_t nmemb, FILE* stream)
{
    return fwrite(data, size, nmemb, stream);
}

int CAgent::Download(const std::string& uri)
{
    Common::CLogger* logger = Common::CLogger::GetInstance();
    CURL* handle = curl_easy_init();
    if (handle == nullptr) {
        SetMessage("download file error: curl_easy_init() fail.");
        logger->Error("%s", g_message);
        return -1;
    }
    std::unique_ptr<char[]> buffer(new char[kStreamBuffer]);
    FILE* file = OpenPackageForWriting(buffer.get());
    if (file == nullptr) {
        SetMessage("download file error: open local file fail, errno = %d.", errno);
        logger->Error("%s", g_message);
        curl_easy_cleanup(handle);
        return -1;
    }

    curl_easy_setopt(handle, CURLOPT_URL, uri.c_str());
    curl_easy_setopt(handle, CURLOPT_TIMEOUT, static_cast<long>(m_timeout));
    if (IsHttpsUrl(uri))
        ApplyTransportSecurity(handle, m_useCA, m_caPath);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, WriteToFile);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, file);

    int result = -1;
    CURLcode rc = curl_easy_perform(handle);
    // The package's last bytes reach the file only now, and a file system
    // that writes back late (NFS, a quota) may report its error only at the
    // close: a disk full by then, or a close that fails, fails the download
    // like a short write inside the transfer.
    const bool flushed = fflush(file) == 0 && !ferror(file);
    const bool closed = fclose(file) == 0;
    if (!(flushed && closed) && rc == CURLE_OK)
        rc = CURLE_WRITE_ERROR;
    if (rc != CURLE_OK) {
        SetMessage("download file error: %s.", curl_easy_strerror(rc));
        logger->Error("%s", g_message);
    } else {
        long code = 0;
        curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &code);
        if (code == 200) {
            chmod(kPackagePath, 0755);
            logger->Info("download file %s succ.", uri.c_str());
            result = 0;
        } else {
            SetMessage("download file error, http code: %ld.", code);
            logger->Error("%s", g_message);
        }
    }
    curl_easy_cleanup(handle);
    return result;
}

int CAgent::CheckMd5(const std::string& md5)
{
    Common::CLogger* logger = Common::CLogger::GetInstance();
    FILE* file = fopen(kPackagePath, "rb");
    if (file == nullptr) {
        SetMessage("md5 check error: open local file fail.");
        logger->Error("%s", g_message);
        return -1;
    }
    std::unique_ptr<char[]> buffer(new char[kStreamBuffer]);
    setvbuf(file, buffer.get(), _IOFBF, kStreamBuffer);
    MD5 digest;
    char piece[kReadPiece];
    size_t n;
    while ((n = fread(piece, 1, sizeof piece, file)) > 0)
        digest.update(piece, static_cast<MD5::size_type>(n));
    digest.finalize();
    const std::string local = digest.hexdigest();

    int result = 0;
    if (local == md5) {
        logger->Info("md5 check succ, digest: %s", local.c_str());
    } else {
        SetMessage("md5 check error, local: %s, remote: %s", local.c_str(), md5.c_str());
        logger->Error("%s", g_message);
        result = -1;
    }
    fclose(file);
    return result;
}
