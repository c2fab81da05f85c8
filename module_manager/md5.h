// MD5 message digest (RFC 1321) used to verify downloaded module packages:
// absorbs a byte stream in pieces of any size, finishes once, and gives the
// digest as 32 lower-case hexadecimal digits. Depends on nothing else here.
#ifndef MODULE_MANAGER_MD5_H
#define MODULE_MANAGER_MD5_H

#include <cstdint>
#include <iosfwd>
#include <string>

class MD5 {
public:
    // Byte counts handed to one update call; longer messages take several calls.
    typedef uint32_t size_type;

    MD5();
    // Digests the whole text (zero bytes included) and finishes.
    explicit MD5(const std::string& text);

    // Back to the start state; buffer and digest are left as they are.
    void init();
    void update(const unsigned char* input, size_type length);
    void update(const char* input, size_type length);
    // Pads and computes the digest on the first call; later calls do nothing.
    MD5& finalize();
    // 32 lower-case hex digits, or "" while not finalized.
    std::string hexdigest() const;

private:
    enum { blocksize = 64 };

    void transform(const unsigned char block[blocksize]);
    static void decode(uint32_t output[], const unsigned char input[], size_type length);
    static void encode(unsigned char output[], const uint32_t input[], size_type length);

    bool finalized;
    unsigned char buffer[blocksize]; // bytes of the current block not yet transformed
    uint32_t count[2];               // message length in bits mod 2^64, low word first
    uint32_t state[4];               // chaining values A, B, C, D
    unsigned char digest[16];        // valid only while finalized
};

std::ostream& operator<<(std::ostream& out, const MD5& md5);

// Hex digest of the whole text.
std::string md5(const std::string& text);

#endif
