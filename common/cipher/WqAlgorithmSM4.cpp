#include "WqAlgorithmSM4.h"

#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <memory>

#include "framework/cipher/EvpCipher.h"
#include "Pkcs7.h"
#include "Sm4.h"
#include "TextUnits.h"
#include "framework/encoding/Base64.h"
#include "framework/encoding/Utf8.h"

namespace common {

namespace {

constexpr unsigned kBase64LineWidth = 64;
constexpr size_t kBlock = SM4_BLOCK_SIZE;
// EVP takes int lengths; larger inputs go through in chunks of this size (a multiple of the block).

using Block = std::array<uint8_t, 16>;

std::span<const uint8_t> bytesOf(std::string_view s) {
    return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

// The first 16 bytes of a key or IV that is exactly 16 characters long.
std::optional<Block> sixteenCharacters(std::string_view s) {
    if (TextUnits::utf16Length(s) != 16u) return std::nullopt;
    Block b;
    std::copy_n(s.begin(), b.size(), b.begin());  // 16 UTF-16 units need at least 16 UTF-8 bytes
    return b;
}

// Non-empty, well-formed UTF-8 plain text.
bool usableText(std::string_view text) {
    return !text.empty() && utf8::isValid(text);
}

std::optional<std::string> toBase64(const std::vector<uint8_t>& data) {
    return Base64::base64EncodedStringWithWrapWidth(std::span<const uint8_t>(data), kBase64LineWidth);
}

std::optional<std::string> toText(const std::vector<uint8_t>& data) {
    std::string text(data.begin(), data.end());
    if (!utf8::isValid(text)) return std::nullopt;
    return text;
}

// Cipher bytes that ECB and CBC decryption accept: a positive multiple of the block.
std::optional<std::vector<uint8_t>> decodeBlocks(std::string_view text) {
    auto data = Base64::dataWithBase64EncodedString(text);
    if (!data || data->empty() || data->size() % kBlock != 0) return std::nullopt;
    return data;
}

// SM4 in counter mode: the 16-byte counter starts at the IV and counts up as one big-endian 128-bit
// number per block, so any length works and the last key-stream block is used only in part.
std::vector<uint8_t> sm4Ctr(const Block& key, const Block& iv, std::span<const uint8_t> in) {
    sm4_context ctx;
    sm4_setkey_enc(ctx, key);
    Block counter = iv;
    Block stream;
    std::vector<uint8_t> out(in.size());
    for (size_t off = 0; off < in.size(); off += kBlock) {
        sm4_one_round(ctx.sk, counter, stream);
        const size_t n = std::min(kBlock, in.size() - off);
        for (size_t i = 0; i < n; ++i) out[off + i] = in[off + i] ^ stream[i];
        for (size_t i = counter.size(); i-- > 0;) {
            if (++counter[i] != 0) break;
        }
    }
    return out;
}

}  // namespace

WqAlgorithmSM4 WqAlgorithmSM4::ctrSM4WithKey(std::string key, std::string iv) {
    WqAlgorithmSM4 o;
    o.initWithKeyCTR(std::move(key), std::move(iv));
    return o;
}

WqAlgorithmSM4 WqAlgorithmSM4::cbcSM4WithKey(std::string key, std::string iv) {
    WqAlgorithmSM4 o;
    o.initWithKey(std::move(key), std::move(iv));
    return o;
}

WqAlgorithmSM4 WqAlgorithmSM4::ecbSM4WithKey(std::string key) {
    WqAlgorithmSM4 o;
    o.initWithKey(std::move(key));
    return o;
}

WqAlgorithmSM4& WqAlgorithmSM4::initWithKeyCTR(std::string k, std::string i) {
    key = std::move(k);
    iv = std::move(i);
    type = kTypeCTR;
    return *this;
}

WqAlgorithmSM4& WqAlgorithmSM4::initWithKey(std::string k, std::string i) {
    key = std::move(k);
    iv = std::move(i);
    type = kTypeCBC;
    return *this;
}

WqAlgorithmSM4& WqAlgorithmSM4::initWithKey(std::string k) {
    key = std::move(k);
    iv.clear();
    type = kTypeECB;
    return *this;
}

std::optional<std::string> WqAlgorithmSM4::encryption(std::string_view text) const {
    switch (type) {
        case kTypeECB:
            return encryptionTextWithSM4ECBMode(text);
        case kTypeCBC:
            return encryptionTextWithSM4CBCMode(text);
        case kTypeCTR:
            return encryptionTextWithSM4CTRMode(text);
        default:
            return std::nullopt;
    }
}

std::optional<std::string> WqAlgorithmSM4::decryption(std::string_view text) const {
    switch (type) {
        case kTypeECB:
            return decryptionTextWithSM4ECBMode(text);
        case kTypeCBC:
            return decryptionTextWithSM4CBCMode(text);
        case kTypeCTR:
            return decryptionTextWithSM4CTRMode(text);
        default:
            return std::nullopt;
    }
}

std::optional<std::string> WqAlgorithmSM4::encryptionTextWithSM4CTRMode(std::string_view text) const {
    return encryptionWithSM4CTRKey(key, iv, text);
}

std::optional<std::string> WqAlgorithmSM4::decryptionTextWithSM4CTRMode(std::string_view text) const {
    return decryptionWithSM4CTRKey(key, iv, text);
}

std::optional<std::string> WqAlgorithmSM4::encryptionTextWithSM4CBCMode(std::string_view text) const {
    return encryptionWithSM4Key(key, iv, text);
}

std::optional<std::string> WqAlgorithmSM4::decryptionTextWithSM4CBCMode(std::string_view text) const {
    return decryptionWithSM4Key(key, iv, text);
}

std::optional<std::string> WqAlgorithmSM4::encryptionTextWithSM4ECBMode(std::string_view text) const {
    return encryptionWithSM4Key(key, text);
}

std::optional<std::string> WqAlgorithmSM4::decryptionTextWithSM4ECBMode(std::string_view text) const {
    return decryptionWithSM4Key(key, text);
}

std::optional<std::string> WqAlgorithmSM4::encryptionWithSM4CTRKey(std::string_view key, std::string_view iv,
                                                                   std::string_view text) {
    const auto k = sixteenCharacters(key);
    const auto i = sixteenCharacters(iv);
    if (!k || !i || !usableText(text)) return std::nullopt;
    return toBase64(sm4Ctr(*k, *i, bytesOf(text)));
}

std::optional<std::string> WqAlgorithmSM4::decryptionWithSM4CTRKey(std::string_view key, std::string_view iv,
                                                                   std::string_view text) {
    const auto k = sixteenCharacters(key);
    const auto i = sixteenCharacters(iv);
    if (!k || !i || text.empty()) return std::nullopt;
    const auto data = Base64::dataWithBase64EncodedString(text);
    if (!data) return std::nullopt;
    return toText(sm4Ctr(*k, *i, *data));
}

std::optional<std::string> WqAlgorithmSM4::encryptionWithSM4Key(std::string_view key, std::string_view iv,
                                                                std::string_view text) {
    const auto k = sixteenCharacters(key);
    auto i = sixteenCharacters(iv);
    if (!k || !i || !usableText(text)) return std::nullopt;
    std::vector<uint8_t> data(text.begin(), text.end());
    paddingForEncryption(data);
    sm4_context ctx;
    sm4_setkey_enc(ctx, *k);
    if (!sm4_crypt_cbc(ctx, SM4_ENCRYPT, *i, data, data)) return std::nullopt;
    return toBase64(data);
}

std::optional<std::string> WqAlgorithmSM4::decryptionWithSM4Key(std::string_view key, std::string_view iv,
                                                                std::string_view text) {
    const auto k = sixteenCharacters(key);
    auto i = sixteenCharacters(iv);
    if (!k || !i || text.empty()) return std::nullopt;
    auto data = decodeBlocks(text);
    if (!data) return std::nullopt;
    sm4_context ctx;
    sm4_setkey_dec(ctx, *k);
    if (!sm4_crypt_cbc(ctx, SM4_DECRYPT, *i, *data, *data) || !unpaddingForDecryption(*data)) {
        return std::nullopt;
    }
    return toText(*data);
}

std::optional<std::string> WqAlgorithmSM4::encryptionWithSM4Key(std::string_view key, std::string_view text) {
    const auto k = sixteenCharacters(key);
    if (!k || !usableText(text)) return std::nullopt;
    std::vector<uint8_t> data(text.begin(), text.end());
    paddingForEncryption(data);
    sm4_context ctx;
    sm4_setkey_enc(ctx, *k);
    if (!sm4_crypt_ecb(ctx, SM4_ENCRYPT, data, data)) return std::nullopt;
    return toBase64(data);
}

std::optional<std::string> WqAlgorithmSM4::decryptionWithSM4Key(std::string_view key, std::string_view text) {
    const auto k = sixteenCharacters(key);
    if (!k || text.empty()) return std::nullopt;
    auto data = decodeBlocks(text);
    if (!data) return std::nullopt;
    sm4_context ctx;
    sm4_setkey_dec(ctx, *k);
    if (!sm4_crypt_ecb(ctx, SM4_DECRYPT, *data, *data) || !unpaddingForDecryption(*data)) return std::nullopt;
    return toText(*data);
}

std::optional<std::string> WqAlgorithmSM4::EncodeAES_CBC_PKCS5Padding(std::span<const uint8_t> data,
                                                                      std::optional<std::string_view> key) {
    const std::string_view k = key.value_or(kDefaultAESKey);
    const EVP_CIPHER* cipher = nullptr;
    switch (TextUnits::utf16Length(k).value_or(0)) {
        case 16:
            cipher = EVP_aes_128_cbc();
            break;
        case 24:
            cipher = EVP_aes_192_cbc();
            break;
        case 32:
            cipher = EVP_aes_256_cbc();
            break;
        default:
            return std::nullopt;
    }
    // The cipher reads its key size from the key's bytes; there are at least that many.
    const auto out = evp::crypt(cipher, bytesOf(k).data(), bytesOf(kAESCBCIv).data(), true, true, data);
    if (!out) return std::nullopt;
    return toBase64(*out);
}

std::optional<std::vector<uint8_t>> WqAlgorithmSM4::DecodeAES(std::span<const uint8_t> data,
                                                              std::optional<std::string_view> key) {
    const std::string_view k = key.value_or(kDefaultAESKey);
    if (k.size() < 16) return std::nullopt;
    const size_t whole = data.size() / kBlock * kBlock;
    if (whole == 0) return std::vector<uint8_t>{};
    auto out = evp::crypt(EVP_aes_128_cbc(), bytesOf(k).data(), bytesOf(kAESCBCIv).data(), false, false,
                          data.first(whole));
    if (!out || !unpaddingForDecryption(*out)) return std::nullopt;
    return out;
}

}  // namespace common
