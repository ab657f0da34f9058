#include "cipher/AesString.h"

#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "encoding/Base64.h"
#include "encoding/Utf8.h"

namespace UrlEncode {

namespace {

constexpr unsigned kBase64LineWidth = 64;
constexpr size_t kAesKeyBytes = 16;
// EVP takes int lengths; larger inputs go through in chunks of this size (a multiple of the block).
constexpr size_t kChunk = size_t{1} << 30;

using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

// Key bytes as the zero-filled key buffer gives them: the first 16 bytes of the key, zeros after.
std::array<uint8_t, kAesKeyBytes> keyBytes(std::string_view key) {
    std::array<uint8_t, kAesKeyBytes> out{};
    std::copy_n(key.begin(), std::min(key.size(), out.size()), out.begin());
    return out;
}

std::optional<std::vector<uint8_t>> ecbCrypt(std::span<const uint8_t> in, std::string_view key,
                                             bool encrypt) {
    CipherCtx ctx(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
    if (!ctx) return std::nullopt;
    const auto k = keyBytes(key);
    if (EVP_CipherInit_ex(ctx.get(), EVP_aes_128_ecb(), nullptr, k.data(), nullptr, encrypt ? 1 : 0) != 1) {
        return std::nullopt;
    }
    std::vector<uint8_t> out(in.size() + 16);
    size_t written = 0;
    for (size_t off = 0; off < in.size(); off += kChunk) {
        const size_t n = std::min(kChunk, in.size() - off);
        int len = 0;
        if (EVP_CipherUpdate(ctx.get(), out.data() + written, &len, in.data() + off, static_cast<int>(n)) !=
            1) {
            return std::nullopt;
        }
        written += static_cast<size_t>(len);
    }
    int len = 0;
    if (EVP_CipherFinal_ex(ctx.get(), out.data() + written, &len) != 1) return std::nullopt;
    out.resize(written + static_cast<size_t>(len));
    return out;
}

}  // namespace

std::optional<std::string> aes256_encrypt(std::string_view text, std::string_view key) {
    if (!utf8::isValid(text)) return std::nullopt;
    const std::span<const uint8_t> plain(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    const auto cipher = ecbCrypt(plain, key, true);
    if (!cipher) return std::nullopt;
    return Base64::base64EncodedStringWithWrapWidth(std::span<const uint8_t>(*cipher), kBase64LineWidth);
}

std::optional<std::string> aes256_decrypt(std::string_view text, std::string_view key) {
    const auto cipher = Base64::dataWithBase64EncodedString(text);
    if (!cipher) return std::nullopt;
    const auto plain = ecbCrypt(*cipher, key, false);
    if (!plain) return std::nullopt;
    std::string out(plain->begin(), plain->end());
    if (!utf8::isValid(out)) return std::nullopt;
    return out;
}

}  // namespace UrlEncode
