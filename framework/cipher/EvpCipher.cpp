#include "EvpCipher.h"

#include <algorithm>
#include <memory>

namespace evp {

namespace {
// EVP takes int lengths: feed larger inputs in pieces that fit.
constexpr size_t kChunk = size_t{1} << 30;
constexpr size_t kMaxBlock = 32;
}  // namespace

std::optional<std::vector<uint8_t>> crypt(const EVP_CIPHER* cipher, const uint8_t* key, const uint8_t* iv,
                                          bool encrypt, bool padding, std::span<const uint8_t> in) {
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                        &EVP_CIPHER_CTX_free);
    if (!ctx || EVP_CipherInit_ex(ctx.get(), cipher, nullptr, key, iv, encrypt ? 1 : 0) != 1)
        return std::nullopt;
    EVP_CIPHER_CTX_set_padding(ctx.get(), padding ? 1 : 0);
    std::vector<uint8_t> out(in.size() + kMaxBlock);
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

}  // namespace evp
