// What a test reads back from the files an operation left: whether they are
// there, their bytes, mode and MD5 digest (OpenSSL's, as an oracle independent of the agent's own).
#ifndef TESTS_UNIT_SUPPORT_FILE_CHECKS_H
#define TESTS_UNIT_SUPPORT_FILE_CHECKS_H

#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include <openssl/evp.h>

// The file's bytes; empty when it cannot be read.
inline std::string ReadFileBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Whether path itself exists (a link is not followed).
inline bool Exists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// The permission bits of path (links followed); 0 when it does not exist.
inline mode_t ModeOf(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// 32 lower-case hexadecimal digits.
inline std::string Md5Hex(const std::string& data)
{
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(data.data(), data.size(), out, &len, EVP_md5(), nullptr);
    std::string hex;
    char two[3];
    for (unsigned int i = 0; i < len; ++i) {
        snprintf(two, sizeof two, "%02x", out[i]);
        hex += two;
    }
    return hex;
}

#endif
