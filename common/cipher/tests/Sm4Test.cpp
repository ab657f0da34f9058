#include <gtest/gtest.h>
#include <openssl/evp.h>

#include "OpenSslReference.h"
#include "common/cipher/Pkcs7.h"
#include "common/cipher/Sm4.h"
#include "framework/encoding/UrlEncode.h"

using common::SM4_DECRYPT;
using common::SM4_ENCRYPT;
using common::paddingForEncryption;
using common::sm4_context;
using common::sm4_crypt_cbc;
using common::sm4_crypt_ecb;
using common::sm4_one_round;
using common::sm4_setkey_dec;
using common::sm4_setkey_enc;
using common::unpaddingForDecryption;

using namespace cipher_test;

namespace {

const Bytes kStandardKey = UrlEncode::stringFromHexString("0123456789abcdeffedcba9876543210");

std::string hex(const Bytes& b) {
    return UrlEncode::convertDataToHexStr(b);
}

TEST(common_cipher_Sm4Block, MatchesTheStandardsExampleVector) {
    sm4_context enc;
    sm4_setkey_enc(enc, first16(kStandardKey));
    Bytes block = kStandardKey;
    ASSERT_TRUE(sm4_crypt_ecb(enc, SM4_ENCRYPT, block, block));
    EXPECT_EQ(hex(block), "681edf34d206965e86b3e94f536e4246");

    sm4_context dec;
    sm4_setkey_dec(dec, first16(kStandardKey));
    ASSERT_TRUE(sm4_crypt_ecb(dec, SM4_DECRYPT, block, block));
    EXPECT_EQ(block, kStandardKey);
}

TEST(common_cipher_Sm4Block, MatchesTheStandardsMillionIterationVector) {
    sm4_context enc;
    sm4_setkey_enc(enc, first16(kStandardKey));
    Bytes block = kStandardKey;
    for (int i = 0; i < 1000000; ++i)
        sm4_one_round(enc.sk, first16(block), std::span<uint8_t, 16>(block.data(), 16));
    EXPECT_EQ(hex(block), "595298c7c6fd271f0402f804c33d3f66");
}

// Random keys, IVs and data of every length up to a few blocks past a 256-byte boundary, plus a large
// buffer, against OpenSSL's SM4 in both directions.
TEST(common_cipher_Sm4Block, EcbAndCbcEqualOpenSslOnRandomData) {
    std::mt19937 rng(20240611);
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 300; ++n) lengths.push_back(n);
    lengths.push_back(65536 + 7);
    for (const size_t n : lengths) {
        SCOPED_TRACE(n);
        const Bytes key = randomBytes(rng, 16);
        const Bytes iv = randomBytes(rng, 16);
        Bytes padded = randomBytes(rng, n);
        const Bytes plain = padded;
        paddingForEncryption(padded);

        sm4_context enc, dec;
        sm4_setkey_enc(enc, first16(key));
        sm4_setkey_dec(dec, first16(key));

        Bytes ecb(padded.size());
        ASSERT_TRUE(sm4_crypt_ecb(enc, SM4_ENCRYPT, padded, ecb));
        EXPECT_EQ(ecb, evp(EVP_sm4_ecb(), key, nullptr, true, true, plain));
        Bytes back(ecb.size());
        ASSERT_TRUE(sm4_crypt_ecb(dec, SM4_DECRYPT, ecb, back));
        EXPECT_EQ(back, padded);

        Bytes chain = iv;
        Bytes cbc(padded.size());
        ASSERT_TRUE(sm4_crypt_cbc(enc, SM4_ENCRYPT, std::span<uint8_t, 16>(chain.data(), 16), padded, cbc));
        EXPECT_EQ(cbc, evp(EVP_sm4_cbc(), key, iv.data(), true, true, plain));
        // The IV ends as the last cipher block, so a following call continues the chain.
        EXPECT_TRUE(std::equal(chain.begin(), chain.end(), cbc.end() - 16));

        // Decrypt in place.
        chain = iv;
        Bytes inPlace = cbc;
        ASSERT_TRUE(
            sm4_crypt_cbc(dec, SM4_DECRYPT, std::span<uint8_t, 16>(chain.data(), 16), inPlace, inPlace));
        EXPECT_EQ(inPlace, padded);
        ASSERT_TRUE(unpaddingForDecryption(inPlace).has_value());
        EXPECT_EQ(inPlace, plain);
    }
}

TEST(common_cipher_Sm4Block, RefusesPartialBlocksAndShortOutputWithoutWriting) {
    sm4_context ctx;
    sm4_setkey_enc(ctx, first16(kStandardKey));
    Bytes iv(16, 0);
    const struct { size_t in, out; } cases[] = {{15, 16}, {17, 32}, {31, 32}, {32, 31}, {16, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.in << " -> " << c.out);
        const Bytes in(c.in, 0xAB);
        Bytes out(c.out, 0x5A);
        EXPECT_FALSE(sm4_crypt_ecb(ctx, SM4_ENCRYPT, in, out));
        EXPECT_FALSE(sm4_crypt_cbc(ctx, SM4_ENCRYPT, std::span<uint8_t, 16>(iv.data(), 16), in, out));
        EXPECT_EQ(out, Bytes(c.out, 0x5A));
        EXPECT_EQ(iv, Bytes(16, 0));
    }
}

TEST(common_cipher_Pkcs7, PadsToTheNextWholeBlock) {
    const struct {
        size_t n, padded;
    } cases[] = {{0, 16}, {1, 16}, {15, 16}, {16, 32}, {17, 32}, {31, 32}, {32, 48}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.n);
        Bytes b(c.n, 0x41);
        EXPECT_EQ(paddingForEncryption(b), c.padded);
        const auto pad = static_cast<uint8_t>(c.padded - c.n);
        EXPECT_EQ(Bytes(b.begin() + static_cast<long>(c.n), b.end()), Bytes(pad, pad));
        EXPECT_EQ(unpaddingForDecryption(b), c.n);
        EXPECT_EQ(b, Bytes(c.n, 0x41));
    }
}

TEST(common_cipher_Pkcs7, RejectsPaddingThatDoesNotFitTheData) {
    const struct {
        const char* name;
        Bytes data;
    } cases[] = {
        {"empty", {}},
        {"last byte zero", Bytes(16, 0)},
        {"last byte above 16", Bytes(32, 17)},
        {"longer than the data", Bytes(3, 4)},
        {"covered bytes differ",
         [] {
             Bytes b(16, 4);
             b[13] = 5;
             return b;
         }()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes b = c.data;
        EXPECT_FALSE(unpaddingForDecryption(b).has_value());
        EXPECT_EQ(b, c.data);
    }
}

}  // namespace
