#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "framework/encoding/MD5.h"
#include "framework/encoding/UrlEncode.h"

namespace {

std::vector<uint8_t> bytes(std::string_view s) {
    return {s.begin(), s.end()};
}

TEST(calix_encoding_Digests, MatchKnownVectors) {
    struct Case {
        std::string in;
        std::string md5, sha1, sha256;
    } cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e", "da39a3ee5e6b4b0d3255bfef95601890afd80709",
         "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72", "a9993e364706816aba3e25717850c26c9cd0d89d",
         "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", "8215ef0796a20bcaaae116d3876c664a",
         "84983e441c3bd26ebaae4aa1f95129e5e54670f1",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(MD5::MD5HexDigest(bytes(c.in)), c.md5) << c.in;
        EXPECT_EQ(MD5::sha1HexDisgest(bytes(c.in)), c.sha1) << c.in;
        EXPECT_EQ(MD5::sha256HexDisgest(bytes(c.in)), c.sha256) << c.in;
        EXPECT_EQ(MD5::MD5Digest(bytes(c.in)), UrlEncode::stringFromHexString(c.md5)) << c.in;
    }
}

TEST(calix_encoding_Digests, PackageCheckComparesMd5IgnoringCase) {
    const auto package = bytes("The quick brown fox jumps over the lazy dog");
    struct Case {
        std::string expected;
        bool accepted;
    } cases[] = {
        {"9e107d9d372bb6826bd81d3542a419d6", true},
        {"9E107D9D372BB6826BD81D3542A419D6", true},
        {"9e107d9d372bb6826bd81d3542a419d7", false},
        {"9e107d9d372bb6826bd81d3542a419d", false},
        {"9e107d9d372bb6826bd81d3542a419d60", false},
        {" 9e107d9d372bb6826bd81d3542a419d6", false},
        {"", false},
    };
    for (const auto& c : cases) EXPECT_EQ(MD5::checkAppMD5(package, c.expected), c.accepted) << c.expected;
    // Empty data is never a valid package, even against the digest of nothing.
    EXPECT_FALSE(MD5::checkAppMD5({}, "d41d8cd98f00b204e9800998ecf8427e"));
}

}  // namespace
