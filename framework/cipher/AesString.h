// AES-128-ECB with PKCS#7 padding over text: UTF-8 text in, Base64 text (64-character CR LF lines)
// out, and back. Used to keep tickets and cached report bodies enciphered on disk.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace UrlEncode {

// Encrypts the UTF-8 bytes of `text` under the first 16 bytes of `key` (shorter keys are filled up
// with zero bytes). Nothing when `text` is not valid UTF-8 or the cipher fails.
std::optional<std::string> aes256_encrypt(std::string_view text, std::string_view key);

// The inverse: Base64 text (characters outside the alphabet are skipped) to UTF-8 text. Nothing for
// bad Base64, a wrong length, bad padding or a result that is not valid UTF-8.
std::optional<std::string> aes256_decrypt(std::string_view text, std::string_view key);

}  // namespace UrlEncode
