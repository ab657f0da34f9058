// OpenSSL one-shot cipher calls and small byte helpers, the independent reference for the tests.
#pragma once

#include <openssl/evp.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace cipher_test {

using Bytes = std::vector<uint8_t>;

inline Bytes bytesOf(std::string_view s) {
    return Bytes(s.begin(), s.end());
}

inline std::span<const uint8_t, 16> first16(const Bytes& b) {
    return std::span<const uint8_t, 16>(b.data(), 16);
}

inline Bytes randomBytes(std::mt19937& rng, size_t n) {
    std::uniform_int_distribution<int> byte(0, 255);
    Bytes out(n);
    for (auto& b : out) b = static_cast<uint8_t>(byte(rng));
    return out;
}

// Printable ASCII, so the text is valid UTF-8 and one character per byte.
inline std::string randomAscii(std::mt19937& rng, size_t n) {
    std::uniform_int_distribution<int> ch(0x20, 0x7e);
    std::string out(n, ' ');
    for (auto& c : out) c = static_cast<char>(ch(rng));
    return out;
}

// Nothing when OpenSSL refuses (bad padding, wrong length).
inline std::optional<Bytes> evp(const EVP_CIPHER* cipher, const Bytes& key, const uint8_t* iv, bool encrypt,
                                bool padding, const Bytes& in) {
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                        &EVP_CIPHER_CTX_free);
    if (EVP_CipherInit_ex(ctx.get(), cipher, nullptr, key.data(), iv, encrypt ? 1 : 0) != 1)
        return std::nullopt;
    EVP_CIPHER_CTX_set_padding(ctx.get(), padding ? 1 : 0);
    Bytes out(in.size() + 32);
    int len = 0, fin = 0;
    if (EVP_CipherUpdate(ctx.get(), out.data(), &len, in.data(), static_cast<int>(in.size())) != 1)
        return std::nullopt;
    if (EVP_CipherFinal_ex(ctx.get(), out.data() + len, &fin) != 1) return std::nullopt;
    out.resize(static_cast<size_t>(len + fin));
    return out;
}

}  // namespace cipher_test
