#include "ZipHelper.h"

#include <syslog.h>
#include <zlib.h>

#include <algorithm>
#include <climits>
#include <string>

namespace calix {

namespace {

constexpr const char* kGzipName = "+[ZipHelper gzipData:]";

// zlib counts in uInt; larger buffers are handed over in chunks.
constexpr size_t kMaxChunk = UINT_MAX;

void logLine(int priority, const std::string& line) {
    syslog(LOG_USER | priority, "%s", line.c_str());
}

std::string quoted(const char* text) {
    return std::string("\"") + (text ? text : "") + "\"";
}

const char* initErrorText(int rc) {
    switch (rc) {
        case Z_VERSION_ERROR:
            return "The version of zlib.h and the version of the library linked do not match";
        case Z_MEM_ERROR:
            return "Insufficient memory";
        case Z_STREAM_ERROR:
            return "Invalid parameter passed in to function.";
        default:
            return "Unknown error code.";
    }
}

const char* deflateErrorText(int rc) {
    switch (rc) {
        case Z_ERRNO:
            return "Error occured while reading file.";
        case Z_STREAM_ERROR:
            return "The stream state was inconsistent （e.g.，next_in or next_out was NULL).";
        case Z_DATA_ERROR:
            return "The deflate data was invalid or incomplete.";
        case Z_MEM_ERROR:
            return "Memory could not be allocated for processing.";
        case Z_BUF_ERROR:
            return "Ran out of output buffer for writing compressed bytes.";
        case Z_VERSION_ERROR:
            return "The version of zlib.h and the version of the library linked do not match.";
        default:
            return "Unknown error code.";
    }
}

// Hands zlib the next chunk of input once it has used up the previous one.
void feedInput(z_stream& s, std::span<const uint8_t> data, size_t& consumed) {
    if (s.avail_in != 0 || consumed == data.size()) return;
    const size_t chunk = std::min(data.size() - consumed, kMaxChunk);
    s.next_in = const_cast<Bytef*>(data.data() + consumed);
    s.avail_in = static_cast<uInt>(chunk);
    consumed += chunk;
}

// Inflates a whole gzip or zlib stream into out, and whatever does not fit there into a scratch buffer
// that is only counted. Gives the total size, or nothing when the stream is damaged, ends early or
// inflates to more than limit bytes.
std::optional<size_t> inflatePass(std::span<const uint8_t> data, size_t limit, std::span<uint8_t> out) {
    z_stream s{};
    // Window bits 47: a 32 KiB window, zlib or gzip header detected from the data.
    if (inflateInit2(&s, 47) != Z_OK) return std::nullopt;
    std::vector<uint8_t> scratch(64 * 1024);
    size_t consumed = 0;
    size_t produced = 0;
    bool ended = false;
    while (produced <= limit) {
        feedInput(s, data, consumed);
        if (produced < out.size()) {
            s.next_out = out.data() + produced;
            s.avail_out = static_cast<uInt>(std::min(out.size() - produced, kMaxChunk));
        } else {
            s.next_out = scratch.data();
            s.avail_out = static_cast<uInt>(scratch.size());
        }
        const uInt before = s.avail_out;
        const int rc = inflate(&s, Z_SYNC_FLUSH);
        produced += before - s.avail_out;
        if (rc == Z_STREAM_END) {
            ended = true;
            break;
        }
        // Z_BUF_ERROR here means the input ran out before the end of the stream.
        if (rc != Z_OK) break;
    }
    if (inflateEnd(&s) != Z_OK || !ended || produced > limit) return std::nullopt;
    return produced;
}

}  // namespace

std::optional<std::vector<uint8_t>> ZipHelper::gzipData(std::span<const uint8_t> data) {
    if (data.empty()) {
        logLine(LOG_ERR, std::string(kGzipName) + ":Error:Can't compress an empty or null NSdata object.");
        return std::nullopt;
    }
    z_stream s{};
    // Window bits 31: a 32 KiB window with the gzip header and trailer.
    int rc = deflateInit2(&s, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
    if (rc != Z_OK) {
        logLine(LOG_ERR, std::string(kGzipName) + ":deflateInit2() Error:" + quoted(initErrorText(rc)) +
                             " Message:" + quoted(s.msg));
        return std::nullopt;
    }
    // deflateBound covers the worst case of incompressible input, so one pass normally suffices; the
    // buffer still grows if zlib ever asks for more.
    std::vector<uint8_t> out(deflateBound(&s, data.size()));
    size_t consumed = 0;
    size_t produced = 0;
    for (;;) {
        feedInput(s, data, consumed);
        if (produced == out.size()) out.resize(out.size() + out.size() / 2 + 1024);
        s.next_out = out.data() + produced;
        s.avail_out = static_cast<uInt>(std::min(out.size() - produced, kMaxChunk));
        const uInt before = s.avail_out;
        const bool lastInput = consumed == data.size();
        rc = deflate(&s, lastInput ? Z_FINISH : Z_NO_FLUSH);
        produced += before - s.avail_out;
        if (rc != Z_OK) break;
    }
    if (rc != Z_STREAM_END) {
        logLine(LOG_ERR, std::string(kGzipName) + ":zlib error while attempting compression :" +
                             quoted(deflateErrorText(rc)) + " Message:" + quoted(s.msg));
        deflateEnd(&s);
        return std::nullopt;
    }
    deflateEnd(&s);
    out.resize(produced);
    logLine(LOG_NOTICE, std::string(kGzipName) + ":Compressed file form " +
                            std::to_string(data.size() / 1024) + " KB to " + std::to_string(produced / 1024) +
                            " KB");
    return out;
}

std::optional<std::vector<uint8_t>> ZipHelper::ungzipData(std::span<const uint8_t> data,
                                                          size_t maxInflatedSize) {
    if (data.empty()) return std::vector<uint8_t>{};
    // The first pass checks the stream and measures it without keeping the output, so a bomb costs
    // time but no memory; the second fills a buffer of exactly the measured size.
    const auto size = inflatePass(data, maxInflatedSize, {});
    if (!size) return std::nullopt;
    std::vector<uint8_t> out(*size);
    if (*size > 0 && inflatePass(data, *size, out) != size) return std::nullopt;
    return out;
}

}  // namespace calix
