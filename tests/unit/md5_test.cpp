// MD5 against RFC 1321's test suite and OpenSSL's MD5 as an oracle: streaming
// in pieces of any size, the padding boundaries and the finish-once lifecycle.
#include "module_manager/md5.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string Hex(const unsigned char* bytes, unsigned int length)
{
    std::string hex;
    char two[3];
    for (unsigned int i = 0; i < length; i++) {
        std::snprintf(two, sizeof two, "%02x", bytes[i]);
        hex += two;
    }
    return hex;
}

std::string OpenSslMd5(const std::string& data)
{
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EXPECT_EQ(1, EVP_Digest(data.data(), data.size(), out, &len, EVP_md5(), nullptr));
    return Hex(out, len);
}

// Digest of `data` fed through update in pieces of `piece` bytes.
std::string InPieces(const std::string& data, size_t piece)
{
    MD5 md5;
    for (size_t at = 0; at < data.size(); at += piece) {
        size_t n = std::min(piece, data.size() - at);
        md5.update(data.data() + at, static_cast<MD5::size_type>(n));
    }
    return md5.finalize().hexdigest();
}

std::string Pattern(size_t length)
{
    std::string s(length, '\0');
    for (size_t i = 0; i < length; i++)
        s[i] = static_cast<char>(i * 131 + 7);
    return s;
}

TEST(Md5Test, Rfc1321SuiteInOneCallByteByByteAndIn4096BytePieces)
{
    const struct {
        const char* message;
        const char* digest;
    } suite[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto& c : suite) {
        SCOPED_TRACE(c.message);
        const std::string message = c.message;
        EXPECT_EQ(c.digest, InPieces(message, std::max<size_t>(message.size(), 1)));
        EXPECT_EQ(c.digest, InPieces(message, 1));
        EXPECT_EQ(c.digest, InPieces(message, 4096));
        EXPECT_EQ(c.digest, md5(message));
        EXPECT_EQ(c.digest, MD5(message).hexdigest());
    }
}

TEST(Md5Test, PaddingBoundariesMatchOpenSsl)
{
    // Lengths where the padding goes from 56 to 1 byte, takes a whole extra
    // block, or starts a new one.
    for (size_t length : {0, 1, 55, 56, 57, 63, 64, 65, 119, 120, 127, 128, 129}) {
        SCOPED_TRACE(length);
        const std::string data = Pattern(length);
        const std::string expected = OpenSslMd5(data);
        EXPECT_EQ(expected, md5(data));
        EXPECT_EQ(expected, InPieces(data, 1));
        EXPECT_EQ(expected, InPieces(data, 63));
    }
}

TEST(Md5Test, RandomMessagesInRandomPiecesMatchOpenSsl)
{
    const unsigned seed = 20261210;
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> byte(0, 255);
    for (int n = 0; n < 300; n++) {
        // Mostly short messages around the block sizes, some up to 400 KiB.
        size_t length = n % 5 == 0 ? std::uniform_int_distribution<size_t>(0, 400 << 10)(rng)
                                   : std::uniform_int_distribution<size_t>(0, 300)(rng);
        std::string data(length, '\0');
        for (auto& ch : data)
            ch = static_cast<char>(byte(rng));

        MD5 md5;
        size_t at = 0;
        while (at < data.size()) {
            // Pieces of 0 bytes, under a block, and of many blocks.
            size_t limit = std::uniform_int_distribution<int>(0, 3)(rng) == 0 ? 20000 : 130;
            size_t piece = std::min(std::uniform_int_distribution<size_t>(0, limit)(rng), data.size() - at);
            if (piece % 2)
                md5.update(data.data() + at, static_cast<MD5::size_type>(piece));
            else
                md5.update(reinterpret_cast<const unsigned char*>(data.data()) + at,
                           static_cast<MD5::size_type>(piece));
            at += piece;
        }
        const std::string ours = md5.finalize().hexdigest();
        ASSERT_EQ(OpenSslMd5(data), ours) << "message " << n << ", length " << length;
        ASSERT_EQ(32u, ours.size());
        ASSERT_EQ(std::string::npos, ours.find_first_not_of("0123456789abcdef"));
    }
}

TEST(Md5Test, BitCountCarriesPast512MiB)
{
    // The low word of the bit count wraps after 2^29 bytes; the same 1 MiB
    // piece fed 513 times carries into the high word without a huge buffer.
    const std::string piece = Pattern(1 << 20);
    MD5 md5;
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    ASSERT_EQ(1, EVP_DigestInit_ex(ctx, EVP_md5(), nullptr));
    for (int i = 0; i < 513; i++) {
        md5.update(piece.data(), static_cast<MD5::size_type>(piece.size()));
        EVP_DigestUpdate(ctx, piece.data(), piece.size());
    }
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_DigestFinal_ex(ctx, out, &len);
    EVP_MD_CTX_free(ctx);
    EXPECT_EQ(Hex(out, len), md5.finalize().hexdigest());
}

TEST(Md5Test, FinishesOnce)
{
    MD5 md5;
    md5.update("abc", 3);
    EXPECT_EQ("", md5.hexdigest());
    std::ostringstream before;
    before << md5;
    EXPECT_EQ("", before.str());

    const std::string digest = md5.finalize().hexdigest();
    EXPECT_EQ("900150983cd24fb0d6963f7d28e17f72", digest);
    EXPECT_EQ(digest, md5.finalize().hexdigest());

    // Bytes after the finish never reach the digest.
    md5.update("more bytes", 10);
    EXPECT_EQ(digest, md5.finalize().hexdigest());
    std::ostringstream after;
    after << md5;
    EXPECT_EQ(digest, after.str());

    // init starts a fresh message on the same object.
    md5.init();
    EXPECT_EQ("", md5.hexdigest());
    md5.update("a", 1);
    EXPECT_EQ("0cc175b9c0f1b6a831c399e269772661", md5.finalize().hexdigest());
}

TEST(Md5Test, ZeroBytesInsideATextAreDigested)
{
    const std::string text("ab\0cd\0\0", 7);
    const std::string expected = OpenSslMd5(text);
    EXPECT_EQ(expected, md5(text));
    EXPECT_EQ(expected, MD5(text).hexdigest());
    EXPECT_NE(md5("ab"), md5(text));
}

TEST(Md5Test, ZeroLengthUpdateChangesNothing)
{
    const std::string data = Pattern(100);
    MD5 md5;
    md5.update(static_cast<const char*>(nullptr), 0);
    md5.update(data.data(), 30);
    md5.update(data.data() + 30, 0);
    md5.update(data.data() + 30, 70);
    md5.update(static_cast<const unsigned char*>(nullptr), 0);
    EXPECT_EQ(OpenSslMd5(data), md5.finalize().hexdigest());
}

TEST(Md5Test, CopyContinuesIndependently)
{
    const std::string head = Pattern(100), tail1 = Pattern(37), tail2 = Pattern(200);
    MD5 first;
    first.update(head.data(), static_cast<MD5::size_type>(head.size()));
    MD5 second = first;
    first.update(tail1.data(), static_cast<MD5::size_type>(tail1.size()));
    second.update(tail2.data(), static_cast<MD5::size_type>(tail2.size()));
    EXPECT_EQ(OpenSslMd5(head + tail1), first.finalize().hexdigest());
    EXPECT_EQ(OpenSslMd5(head + tail2), second.finalize().hexdigest());
}

} // namespace
