#include "md5.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct DigestCase {
    std::string input;
    const char* digest;
};

// RFC 1321's suite, then lengths around the padding branches and the block boundary
// (digests from md5sum).
TEST(MD5Test, MatchesKnownDigests) {
    const DigestCase cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"1234567890123456789012345678901234567890123456789012345678901234567890123456789"
         "0",
         "57edf4a22be3c955ac49da2e2107b67a"},
        {std::string(55, 'a'), "ef1772b6dff9a122358552954ad0df65"},
        {std::string(56, 'a'), "3b0c8ac703f828b04c6c197006d17218"},
        {std::string(63, 'a'), "b06521f39153d618550606be297466d5"},
        {std::string(64, 'a'), "014842d480b571495a4a0363793f7367"},
        {std::string(65, 'a'), "c743a45e0d2e6a95cb859adae0248435"},
        {std::string(1000, 'a'), "cabe45dcc9ae5b66ba86600cca6b8ba8"},
        {"00-11-22-33-44-55", "88440ff9dd5d5c6819d6d4652279a1bc"},
    };
    for (const DigestCase& c : cases) {
        SCOPED_TRACE("length " + std::to_string(c.input.size()));
        EXPECT_EQ(md5(c.input), c.digest);
        EXPECT_EQ(MD5(c.input).hexdigest(), c.digest);
    }
}

TEST(MD5Test, UpdateInPiecesEqualsOneShot) {
    const std::string text(1000, 'a');
    for (unsigned int piece : {1u, 3u, 55u, 64u, 65u, 999u}) {
        MD5 digest;
        for (size_t at = 0; at < text.size(); at += piece) {
            const size_t length = std::min<size_t>(piece, text.size() - at);
            digest.update(text.data() + at, static_cast<unsigned int>(length));
        }
        EXPECT_EQ(digest.finalize().hexdigest(), "cabe45dcc9ae5b66ba86600cca6b8ba8") << piece;
    }
}

TEST(MD5Test, HexdigestIsEmptyBeforeFinalizeAndStableAfterSecondFinalize) {
    MD5 digest;
    digest.update("abc", 3);
    EXPECT_EQ(digest.hexdigest(), "");
    digest.finalize();
    EXPECT_EQ(digest.hexdigest(), "900150983cd24fb0d6963f7d28e17f72");
    digest.finalize();
    EXPECT_EQ(digest.hexdigest(), "900150983cd24fb0d6963f7d28e17f72");
}

}  // namespace
