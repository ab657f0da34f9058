// gzip compression and gzip/zlib decompression of whole buffers; failures are logged to the system log.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace calix {

class ZipHelper {
  public:
    // Largest inflated result ungzipData accepts by default; larger streams are refused so that a small
    // hostile input cannot exhaust memory.
    static constexpr size_t kMaxInflatedSize = size_t{256} << 20;

    // A gzip stream of data (default level); nothing for empty data or on a zlib failure.
    static std::optional<std::vector<uint8_t>> gzipData(std::span<const uint8_t> data);

    // Inflates a gzip or zlib stream (header detected). Empty input comes back empty; a damaged or
    // truncated stream, or one that inflates to more than maxInflatedSize bytes, gives nothing. Memory
    // use stays at the size of the result: a stream is checked and measured before it is kept.
    static std::optional<std::vector<uint8_t>> ungzipData(std::span<const uint8_t> data,
                                                          size_t maxInflatedSize = kMaxInflatedSize);
};

}  // namespace calix
