// One pass of an OpenSSL EVP cipher over a buffer of any size, shared by the string pair here and
// the daemon's cipher object.
#pragma once

#include <openssl/evp.h>

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace evp {

// Encrypts or decrypts `in` with `cipher` under key and iv (iv may be null for ECB), with or
// without PKCS#7 padding. Nothing when OpenSSL refuses (for example bad padding on decryption).
std::optional<std::vector<uint8_t>> crypt(const EVP_CIPHER* cipher, const uint8_t* key, const uint8_t* iv,
                                          bool encrypt, bool padding, std::span<const uint8_t> in);

}  // namespace evp
