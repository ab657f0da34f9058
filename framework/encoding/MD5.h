// MD5, SHA-1 and SHA-256 digests of bytes, as raw bytes or lower-case hex, and the package checksum test.
// Note: this namespace cannot share a translation unit with OpenSSL's legacy <openssl/md5.h>.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace MD5 {

// The 16-byte MD5 digest; empty only if the digest is unavailable.
std::vector<uint8_t> MD5Digest(std::span<const uint8_t> data);

// Digests as lower-case hex (32, 40 and 64 characters); "" only if the digest is unavailable.
std::string MD5HexDigest(std::span<const uint8_t> data);
std::string sha1HexDisgest(std::span<const uint8_t> data);
std::string sha256HexDisgest(std::span<const uint8_t> data);

// True when data is not empty and its MD5 hex digest equals origionMD5, ignoring case.
bool checkAppMD5(std::span<const uint8_t> data, std::string_view origionMD5);

}  // namespace MD5
