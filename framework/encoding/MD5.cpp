#include "MD5.h"

#include <openssl/evp.h>

#include <algorithm>

#include "UrlEncode.h"

namespace MD5 {

namespace {

std::vector<uint8_t> digest(const EVP_MD* md, std::span<const uint8_t> data) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int outLen = 0;
    if (md == nullptr || EVP_Digest(data.data(), data.size(), out, &outLen, md, nullptr) != 1) return {};
    return {out, out + outLen};
}

std::string hexDigest(const EVP_MD* md, std::span<const uint8_t> data) {
    return UrlEncode::convertDataToHexStr(digest(md, data));
}

char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

std::vector<uint8_t> MD5Digest(std::span<const uint8_t> data) {
    return digest(EVP_md5(), data);
}

std::string MD5HexDigest(std::span<const uint8_t> data) {
    return hexDigest(EVP_md5(), data);
}

std::string sha1HexDisgest(std::span<const uint8_t> data) {
    return hexDigest(EVP_sha1(), data);
}

std::string sha256HexDisgest(std::span<const uint8_t> data) {
    return hexDigest(EVP_sha256(), data);
}

bool checkAppMD5(std::span<const uint8_t> data, std::string_view origionMD5) {
    if (data.empty()) return false;
    const std::string actual = MD5HexDigest(data);
    if (actual.empty()) return false;
    return std::equal(actual.begin(), actual.end(), origionMD5.begin(), origionMD5.end(),
                      [](char a, char b) { return lower(a) == lower(b); });
}

}  // namespace MD5
