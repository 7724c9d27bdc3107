#ifndef MD5_H
#define MD5_H

#include <ostream>
#include <string>

// The MD5 message digest of RFC 1321.
class MD5 {
public:
    MD5();
    // Digests the whole text and finalizes at once.
    explicit MD5(const std::string& text);

    void update(const unsigned char* input, unsigned int length);
    void update(const char* input, unsigned int length);
    // Completes the digest; later calls do nothing.
    MD5& finalize();
    // 32 lower-case hex digits, or empty before finalize.
    std::string hexdigest() const;

private:
    static constexpr unsigned int BLOCK_SIZE = 64;

    void init();
    void transform(const unsigned char block[BLOCK_SIZE]);
    static void decode(unsigned int* output, const unsigned char* input, unsigned int length);
    static void encode(unsigned char* output, const unsigned int* input, unsigned int length);

    bool m_finalized;
    unsigned char m_buffer[BLOCK_SIZE];
    unsigned int m_count[2];  // message length in bits, low word first
    unsigned int m_state[4];
    unsigned char m_digest[16];
};

// Inline so that the stream code is linked only into programs that print a digest. The digest
// object is taken by value, as callers of this operator have always passed it.
// cppcheck-suppress passedByValue
inline std::ostream& operator<<(std::ostream& out, MD5 md5) { return out << md5.hexdigest(); }

// The digest of the text as 32 lower-case hex digits.
std::string md5(const std::string& text);

#endif
