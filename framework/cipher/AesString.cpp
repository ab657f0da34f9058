#include "AesString.h"

#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "EvpCipher.h"
#include "framework/encoding/Base64.h"
#include "framework/encoding/Utf8.h"

namespace UrlEncode {

namespace {

constexpr unsigned kBase64LineWidth = 64;
constexpr size_t kAesKeyBytes = 16;

// Key bytes as the zero-filled key buffer gives them: the first 16 bytes of the key, zeros after.
std::array<uint8_t, kAesKeyBytes> keyBytes(std::string_view key) {
    std::array<uint8_t, kAesKeyBytes> out{};
    std::copy_n(key.begin(), std::min(key.size(), out.size()), out.begin());
    return out;
}

std::optional<std::vector<uint8_t>> ecbCrypt(std::span<const uint8_t> in, std::string_view key,
                                             bool encrypt) {
    const auto k = keyBytes(key);
    return evp::crypt(EVP_aes_128_ecb(), k.data(), nullptr, encrypt, true, in);
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
