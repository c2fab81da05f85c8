#include "module_manager/md5.h"

#include <cstdio>
#include <cstring>
#include <ostream>

namespace {

// 0x80 then zeros: the padding that starts right after the message.
const unsigned char kPadding[64] = {0x80};

// The longest piece one update call takes.
const std::string::size_type kMaxPiece = 0xFFFFFFFFu;

template <unsigned s>
inline uint32_t rotl(uint32_t x)
{
    return (x << s) | (x >> (32 - s));
}

// One step each for the four rounds. Message word and constant go into `a`
// first: they do not depend on the previous step, so only the round function
// of the freshly computed `b` stays on the critical path.
template <unsigned s>
inline void ff(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, uint32_t t)
{
    a += x + t;
    a += d ^ (b & (c ^ d)); // (b & c) | (~b & d)
    a = rotl<s>(a) + b;
}

template <unsigned s>
inline void gg(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, uint32_t t)
{
    // (b & d) | (c & ~d): the two halves share no bits, so they can be added,
    // and the half without b is ready before b is.
    a += x + t + (c & ~d);
    a += b & d;
    a = rotl<s>(a) + b;
}

template <unsigned s>
inline void hh(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, uint32_t t)
{
    a += x + t;
    a += b ^ (c ^ d);
    a = rotl<s>(a) + b;
}

template <unsigned s>
inline void ii(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, uint32_t t)
{
    a += x + t;
    a += c ^ (b | ~d);
    a = rotl<s>(a) + b;
}

} // namespace

MD5::MD5()
{
    init();
}

MD5::MD5(const std::string& text)
{
    init();
    // One update call counts at most 2^32 - 1 bytes; a longer text goes in
    // several pieces so that all of it is digested.
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
    std::string::size_type left = text.size();
    while (left > 0) {
        std::string::size_type piece = left < kMaxPiece ? left : kMaxPiece;
        update(p, static_cast<size_type>(piece));
        p += piece;
        left -= piece;
    }
    finalize();
}

void MD5::init()
{
    finalized = false;
    count[0] = 0;
    count[1] = 0;
    state[0] = 0x67452301;
    state[1] = 0xefcdab89;
    state[2] = 0x98badcfe;
    state[3] = 0x10325476;
}

// Inline and fully unrolled, the shifts of each word fold into one load in
// transform; left as a loop, the compiler vectorises the byte shuffling.
inline void MD5::decode(uint32_t output[], const unsigned char input[], size_type length)
{
#pragma GCC unroll 16
    for (size_type i = 0, j = 0; j < length; i++, j += 4)
        output[i] = uint32_t(input[j]) | (uint32_t(input[j + 1]) << 8) | (uint32_t(input[j + 2]) << 16) |
                    (uint32_t(input[j + 3]) << 24);
}

inline void MD5::encode(unsigned char output[], const uint32_t input[], size_type length)
{
    for (size_type i = 0, j = 0; j < length; i++, j += 4) {
        output[j] = static_cast<unsigned char>(input[i] & 0xff);
        output[j + 1] = static_cast<unsigned char>((input[i] >> 8) & 0xff);
        output[j + 2] = static_cast<unsigned char>((input[i] >> 16) & 0xff);
        output[j + 3] = static_cast<unsigned char>((input[i] >> 24) & 0xff);
    }
}

void MD5::transform(const unsigned char block[blocksize])
{
    uint32_t x[16];
    decode(x, block, blocksize);
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];

    ff<7>(a, b, c, d, x[0], 0xd76aa478);
    ff<12>(d, a, b, c, x[1], 0xe8c7b756);
    ff<17>(c, d, a, b, x[2], 0x242070db);
    ff<22>(b, c, d, a, x[3], 0xc1bdceee);
    ff<7>(a, b, c, d, x[4], 0xf57c0faf);
    ff<12>(d, a, b, c, x[5], 0x4787c62a);
    ff<17>(c, d, a, b, x[6], 0xa8304613);
    ff<22>(b, c, d, a, x[7], 0xfd469501);
    ff<7>(a, b, c, d, x[8], 0x698098d8);
    ff<12>(d, a, b, c, x[9], 0x8b44f7af);
    ff<17>(c, d, a, b, x[10], 0xffff5bb1);
    ff<22>(b, c, d, a, x[11], 0x895cd7be);
    ff<7>(a, b, c, d, x[12], 0x6b901122);
    ff<12>(d, a, b, c, x[13], 0xfd987193);
    ff<17>(c, d, a, b, x[14], 0xa679438e);
    ff<22>(b, c, d, a, x[15], 0x49b40821);

    gg<5>(a, b, c, d, x[1], 0xf61e2562);
    gg<9>(d, a, b, c, x[6], 0xc040b340);
    gg<14>(c, d, a, b, x[11], 0x265e5a51);
    gg<20>(b, c, d, a, x[0], 0xe9b6c7aa);
    gg<5>(a, b, c, d, x[5], 0xd62f105d);
    gg<9>(d, a, b, c, x[10], 0x02441453);
    gg<14>(c, d, a, b, x[15], 0xd8a1e681);
    gg<20>(b, c, d, a, x[4], 0xe7d3fbc8);
    gg<5>(a, b, c, d, x[9], 0x21e1cde6);
    gg<9>(d, a, b, c, x[14], 0xc33707d6);
    gg<14>(c, d, a, b, x[3], 0xf4d50d87);
    gg<20>(b, c, d, a, x[8], 0x455a14ed);
    gg<5>(a, b, c, d, x[13], 0xa9e3e905);
    gg<9>(d, a, b, c, x[2], 0xfcefa3f8);
    gg<14>(c, d, a, b, x[7], 0x676f02d9);
    gg<20>(b, c, d, a, x[12], 0x8d2a4c8a);

    hh<4>(a, b, c, d, x[5], 0xfffa3942);
    hh<11>(d, a, b, c, x[8], 0x8771f681);
    hh<16>(c, d, a, b, x[11], 0x6d9d6122);
    hh<23>(b, c, d, a, x[14], 0xfde5380c);
    hh<4>(a, b, c, d, x[1], 0xa4beea44);
    hh<11>(d, a, b, c, x[4], 0x4bdecfa9);
    hh<16>(c, d, a, b, x[7], 0xf6bb4b60);
    hh<23>(b, c, d, a, x[10], 0xbebfbc70);
    hh<4>(a, b, c, d, x[13], 0x289b7ec6);
    hh<11>(d, a, b, c, x[0], 0xeaa127fa);
    hh<16>(c, d, a, b, x[3], 0xd4ef3085);
    hh<23>(b, c, d, a, x[6], 0x04881d05);
    hh<4>(a, b, c, d, x[9], 0xd9d4d039);
    hh<11>(d, a, b, c, x[12], 0xe6db99e5);
    hh<16>(c, d, a, b, x[15], 0x1fa27cf8);
    hh<23>(b, c, d, a, x[2], 0xc4ac5665);

    ii<6>(a, b, c, d, x[0], 0xf4292244);
    ii<10>(d, a, b, c, x[7], 0x432aff97);
    ii<15>(c, d, a, b, x[14], 0xab9423a7);
    ii<21>(b, c, d, a, x[5], 0xfc93a039);
    ii<6>(a, b, c, d, x[12], 0x655b59c3);
    ii<10>(d, a, b, c, x[3], 0x8f0ccc92);
    ii<15>(c, d, a, b, x[10], 0xffeff47d);
    ii<21>(b, c, d, a, x[1], 0x85845dd1);
    ii<6>(a, b, c, d, x[8], 0x6fa87e4f);
    ii<10>(d, a, b, c, x[15], 0xfe2ce6e0);
    ii<15>(c, d, a, b, x[6], 0xa3014314);
    ii<21>(b, c, d, a, x[13], 0x4e0811a1);
    ii<6>(a, b, c, d, x[4], 0xf7537e82);
    ii<10>(d, a, b, c, x[11], 0xbd3af235);
    ii<15>(c, d, a, b, x[2], 0x2ad7d2bb);
    ii<21>(b, c, d, a, x[9], 0xeb86d391);

    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
}

void MD5::update(const unsigned char* input, size_type length)
{
    size_type index = (count[0] >> 3) & (blocksize - 1);

    uint32_t bits = length << 3;
    count[0] += bits;
    if (count[0] < bits)
        count[1]++;
    count[1] += length >> 29;

    size_type room = blocksize - index;
    size_type i = 0;
    if (length >= room) {
        std::memcpy(&buffer[index], input, room);
        transform(buffer);
        // Compared as "bytes left" so that a length near 2^32 cannot wrap.
        for (i = room; length - i >= blocksize; i += blocksize)
            transform(&input[i]);
        index = 0;
    }
    if (i < length) // a null pointer with length 0 is fine too
        std::memcpy(&buffer[index], &input[i], length - i);
}

void MD5::update(const char* input, size_type length)
{
    update(reinterpret_cast<const unsigned char*>(input), length);
}

MD5& MD5::finalize()
{
    if (finalized)
        return *this;

    unsigned char bits[8];
    encode(bits, count, 8);

    size_type index = (count[0] >> 3) & (blocksize - 1);
    size_type padLen = index < 56 ? 56 - index : 120 - index;
    update(kPadding, padLen);
    update(bits, 8);

    encode(digest, state, 16);
    std::memset(buffer, 0, sizeof buffer);
    count[0] = 0;
    count[1] = 0;
    finalized = true;
    return *this;
}

std::string MD5::hexdigest() const
{
    if (!finalized)
        return std::string();
    char text[33];
    for (int i = 0; i < 16; i++)
        std::snprintf(text + i * 2, 3, "%02x", digest[i]);
    return std::string(text, 32);
}

std::ostream& operator<<(std::ostream& out, const MD5& md5)
{
    return out << md5.hexdigest();
}

std::string md5(const std::string& text)
{
    return MD5(text).hexdigest();
}
