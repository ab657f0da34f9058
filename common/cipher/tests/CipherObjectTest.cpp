#include <gtest/gtest.h>
#include <openssl/evp.h>

#include "OpenSslReference.h"
#include "common/cipher/WqAlgorithmSM4.h"
#include "framework/encoding/Base64.h"

using common::WqAlgorithmSM4;

using namespace cipher_test;

namespace {

const std::string kKey = "k3Y!sixteen-char";
const std::string kIv = "iv#0123456789abc";

Bytes unbase64(const std::optional<std::string>& text) {
    if (!text) return {};
    return Base64::dataWithBase64EncodedString(*text).value_or(Bytes{});
}

std::string base64(const Bytes& data) {
    return Base64::base64EncodedStringWithWrapWidth(data, 64).value_or("");
}

TEST(common_cipher_WqAlgorithmSM4Object, FactoriesSetKeyIvAndMode) {
    const WqAlgorithmSM4 plain;
    EXPECT_EQ(plain.type, 0u);
    EXPECT_TRUE(plain.key.empty());
    EXPECT_FALSE(plain.encryption("text").has_value());

    const auto ctr = WqAlgorithmSM4::ctrSM4WithKey(kKey, kIv);
    const auto cbc = WqAlgorithmSM4::cbcSM4WithKey(kKey, kIv);
    const auto ecb = WqAlgorithmSM4::ecbSM4WithKey(kKey);
    EXPECT_EQ(ctr.type, 0u);
    EXPECT_EQ(cbc.type, 1u);
    EXPECT_EQ(ecb.type, 2u);
    EXPECT_EQ(cbc.iv, kIv);

    // Each dispatches to its own mode, and decryption() reverses encryption().
    const std::string text = "dispatch me, 16+";
    EXPECT_EQ(ctr.encryption(text), WqAlgorithmSM4::encryptionWithSM4CTRKey(kKey, kIv, text));
    EXPECT_EQ(cbc.encryption(text), WqAlgorithmSM4::encryptionWithSM4Key(kKey, kIv, text));
    EXPECT_EQ(ecb.encryption(text), WqAlgorithmSM4::encryptionWithSM4Key(kKey, text));
    for (const auto* o : {&ctr, &cbc, &ecb}) {
        SCOPED_TRACE(o->type);
        const auto sealed = o->encryption(text);
        ASSERT_TRUE(sealed.has_value());
        EXPECT_EQ(o->decryption(*sealed), text);
    }

    WqAlgorithmSM4 unknown = ecb;
    unknown.type = 3;
    EXPECT_FALSE(unknown.encryption(text).has_value());
    EXPECT_FALSE(unknown.decryption(*ecb.encryption(text)).has_value());
}

// The object's three modes against OpenSSL's SM4 with the key's and IV's bytes, for text of many
// lengths (CTR must handle any length, and its counter must carry across bytes).
TEST(common_cipher_WqAlgorithmSM4Object, ModesEqualOpenSslSm4) {
    std::mt19937 rng(7);
    std::vector<size_t> lengths;
    for (size_t n = 1; n <= 80; ++n) lengths.push_back(n);
    lengths.insert(lengths.end(), {255, 256, 4097, 16 * 300 + 3, (size_t{1} << 20) + 16 * 3 + 9});
    const Bytes key = bytesOf(kKey);
    const Bytes iv = bytesOf(kIv);
    for (const size_t n : lengths) {
        SCOPED_TRACE(n);
        const std::string text = randomAscii(rng, n);
        const Bytes plain = bytesOf(text);

        const auto ctr = WqAlgorithmSM4::encryptionWithSM4CTRKey(kKey, kIv, text);
        ASSERT_EQ(unbase64(ctr), evp(EVP_sm4_ctr(), key, iv.data(), true, false, plain));
        EXPECT_EQ(WqAlgorithmSM4::decryptionWithSM4CTRKey(kKey, kIv, *ctr), text);

        const auto cbc = WqAlgorithmSM4::encryptionWithSM4Key(kKey, kIv, text);
        ASSERT_EQ(unbase64(cbc), evp(EVP_sm4_cbc(), key, iv.data(), true, true, plain));
        EXPECT_EQ(WqAlgorithmSM4::decryptionWithSM4Key(kKey, kIv, *cbc), text);

        const auto ecb = WqAlgorithmSM4::encryptionWithSM4Key(kKey, text);
        ASSERT_EQ(unbase64(ecb), evp(EVP_sm4_ecb(), key, nullptr, true, true, plain));
        EXPECT_EQ(WqAlgorithmSM4::decryptionWithSM4Key(kKey, *ecb), text);
    }
}

TEST(common_cipher_WqAlgorithmSM4Object, CounterCarriesFromTheLowBytes) {
    // The counter's low byte starts at 0x7f and wraps after 129 blocks, carrying into the next byte.
    const std::string iv = std::string(15, 'a') + "\x7f";
    std::mt19937 rng(11);
    const std::string text = randomAscii(rng, 16 * 200 + 5);
    const auto ctr = WqAlgorithmSM4::encryptionWithSM4CTRKey(kKey, iv, text);
    EXPECT_EQ(unbase64(ctr),
              evp(EVP_sm4_ctr(), bytesOf(kKey), bytesOf(iv).data(), true, false, bytesOf(text)));
}

TEST(common_cipher_WqAlgorithmSM4Object, CipherLengthsFollowThePadding) {
    const struct {
        size_t text, ecbCbc, ctr;
    } cases[] = {{1, 16, 1}, {5, 16, 5}, {15, 16, 15}, {16, 32, 16}, {17, 32, 17}, {32, 48, 32}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const std::string text(c.text, 'x');
        EXPECT_EQ(unbase64(WqAlgorithmSM4::encryptionWithSM4Key(kKey, text)).size(), c.ecbCbc);
        EXPECT_EQ(unbase64(WqAlgorithmSM4::encryptionWithSM4Key(kKey, kIv, text)).size(), c.ecbCbc);
        EXPECT_EQ(unbase64(WqAlgorithmSM4::encryptionWithSM4CTRKey(kKey, kIv, text)).size(), c.ctr);
    }
}

TEST(common_cipher_WqAlgorithmSM4Object, WritesBase64In64CharacterCrLfLines) {
    const auto sealed = WqAlgorithmSM4::encryptionWithSM4Key(kKey, std::string(100, 'z'));  // 112 bytes
    ASSERT_TRUE(sealed.has_value());
    std::vector<size_t> lineLengths;
    for (size_t start = 0;;) {
        const size_t end = sealed->find("\r\n", start);
        lineLengths.push_back((end == std::string::npos ? sealed->size() : end) - start);
        if (end == std::string::npos) break;
        start = end + 2;
    }
    EXPECT_EQ(lineLengths, (std::vector<size_t>{64, 64, 24}));  // 152 Base64 characters
}

// Key and IV length is counted in characters (UTF-16 units), and their first 16 UTF-8 bytes are used.
TEST(common_cipher_WqAlgorithmSM4Object, MultiByteKeysUseTheirFirstSixteenBytes) {
    const std::string key = "ключ-ключ-ключ-к";  // 16 characters, 29 bytes
    const std::string text = "payload";
    const Bytes keyBytes(key.begin(), key.begin() + 16);
    EXPECT_EQ(unbase64(WqAlgorithmSM4::encryptionWithSM4Key(key, text)),
              evp(EVP_sm4_ecb(), keyBytes, nullptr, true, true, bytesOf(text)));
    EXPECT_FALSE(WqAlgorithmSM4::encryptionWithSM4Key(key.substr(0, 16), text).has_value());
}

TEST(common_cipher_WqAlgorithmSM4Object, BadInputGivesNothing) {
    const Bytes key = bytesOf(kKey);
    const Bytes iv = bytesOf(kIv);
    // A block whose padding byte is 0x11, and one that decrypts to bytes that are not UTF-8.
    const std::string badPadding = base64(*evp(EVP_sm4_ecb(), key, nullptr, true, false, Bytes(16, 0x11)));
    const std::string badPaddingCbc =
        base64(*evp(EVP_sm4_cbc(), key, iv.data(), true, false, Bytes(16, 0x11)));
    const std::string notUtf8 = base64(*evp(EVP_sm4_ecb(), key, nullptr, true, true, Bytes{0xC3, 0x28}));
    const std::string notUtf8Ctr =
        base64(*evp(EVP_sm4_ctr(), key, iv.data(), true, false, Bytes{0xFF, 0xFE}));
    const std::string oddLength = base64(Bytes(20, 1));
    const std::string good = *WqAlgorithmSM4::encryptionWithSM4Key(kKey, "good");

    enum Op { EcbEnc, EcbDec, CbcEnc, CbcDec, CtrEnc, CtrDec };
    const struct {
        const char* name;
        Op op;
        std::string key, iv, text;
    } cases[] = {
        {"short key", EcbEnc, "fifteen-chars!!", "", "text"},
        {"long key", EcbEnc, kKey + "x", "", "text"},
        {"empty key", CbcEnc, "", kIv, "text"},
        {"short iv", CbcEnc, kKey, "short", "text"},
        {"short iv, ctr", CtrEnc, kKey, "iv", "text"},
        {"short key, decrypt", EcbDec, "k", "", good},
        {"empty text", EcbEnc, kKey, "", ""},
        {"empty text, ctr", CtrEnc, kKey, kIv, ""},
        {"text not UTF-8", CbcEnc, kKey, kIv, "\xC3\x28"},
        {"empty cipher text", EcbDec, kKey, "", ""},
        {"nothing but non-alphabet characters", EcbDec, kKey, "", "!!!!"},
        {"broken Base64 group", CbcDec, kKey, kIv, "QUJD="},
        {"cipher not whole blocks", EcbDec, kKey, "", oddLength},
        {"cipher not whole blocks, cbc", CbcDec, kKey, kIv, oddLength},
        {"padding byte above 16", EcbDec, kKey, "", badPadding},
        {"padding byte above 16, cbc", CbcDec, kKey, kIv, badPaddingCbc},
        {"result not UTF-8", EcbDec, kKey, "", notUtf8},
        {"result not UTF-8, ctr", CtrDec, kKey, kIv, notUtf8Ctr},
        {"wrong key", EcbDec, "another-16-chars", "", good},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::optional<std::string> r;
        switch (c.op) {
            case EcbEnc:
                r = WqAlgorithmSM4::encryptionWithSM4Key(c.key, c.text);
                break;
            case EcbDec:
                r = WqAlgorithmSM4::decryptionWithSM4Key(c.key, c.text);
                break;
            case CbcEnc:
                r = WqAlgorithmSM4::encryptionWithSM4Key(c.key, c.iv, c.text);
                break;
            case CbcDec:
                r = WqAlgorithmSM4::decryptionWithSM4Key(c.key, c.iv, c.text);
                break;
            case CtrEnc:
                r = WqAlgorithmSM4::encryptionWithSM4CTRKey(c.key, c.iv, c.text);
                break;
            case CtrDec:
                r = WqAlgorithmSM4::decryptionWithSM4CTRKey(c.key, c.iv, c.text);
                break;
        }
        EXPECT_FALSE(r.has_value()) << *r;
    }
}

}  // namespace
