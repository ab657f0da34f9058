// The body encoding of the client-login API: JSON, zlib, AES-128-CBC under the default key and
// fixed IV, Base64 in 64-character CR LF lines, and the decoding of encrypted reply fields.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "HttpSession.h"

namespace hux {

// The body compressor: a zlib stream (header and Adler-32 trailer), and its inverse.
class zipAndUnzip {
  public:
    // The largest result gzipInflate gives: a few kilobytes of hostile input cannot inflate past it.
    static constexpr size_t kMaxInflatedBytes = size_t{16} << 20;

    // Empty input comes back empty; nothing when zlib fails.
    std::optional<std::vector<uint8_t>> gzipDeflate(std::span<const uint8_t> data) const;
    // Accepts a zlib stream or a gzip member. Empty input comes back empty; a damaged, truncated or
    // oversized stream gives nothing.
    std::optional<std::vector<uint8_t>> gzipInflate(std::span<const uint8_t> data) const;
};

namespace ClientBody {

// Largest encrypted text decodeSM4 reads.
inline constexpr size_t kMaxEncodedBytes = size_t{8} << 20;

// Steps 1 to 3 of the encoding: pretty-printed JSON, zlib, AES-128-CBC, wrapped Base64 text.
std::optional<std::string> encryptResquestParams(const Json& params);

// An encrypted reply field: Base64 (unknown characters skipped), AES-128-CBC, JSON. Nothing, with a
// log line naming the step, for text that is not Base64, fails to decrypt or is no JSON.
std::optional<Json> decodeSM4(std::string_view text);

// The inverse of encryptResquestParams (Base64, AES, zlib, JSON), bounded like gzipInflate.
std::optional<Json> decodeRequestBody(std::string_view text);

}  // namespace ClientBody

}  // namespace hux
