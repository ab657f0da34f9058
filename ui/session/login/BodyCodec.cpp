#include "BodyCodec.h"

#include <zlib.h>

#include "common/cipher/WqAlgorithmSM4.h"
#include "framework/encoding/Base64.h"
#include "framework/encoding/ZipHelper.h"
#include "common/logger/LogSink.h"

using calix::ZipHelper;
using common::WqAlgorithmSM4;
using common::processLog;

namespace hux {

std::optional<std::vector<uint8_t>> zipAndUnzip::gzipDeflate(std::span<const uint8_t> data) const {
    if (data.empty()) return std::vector<uint8_t>{};
    z_stream stream{};
    if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15, 9, Z_DEFAULT_STRATEGY) != Z_OK) {
        return std::nullopt;
    }
    std::vector<uint8_t> out(deflateBound(&stream, static_cast<uLong>(data.size())));
    stream.next_in = const_cast<Bytef*>(data.data());
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(out.size());
    const int status = deflate(&stream, Z_FINISH);
    const size_t produced = stream.total_out;
    deflateEnd(&stream);
    if (status != Z_STREAM_END) return std::nullopt;
    out.resize(produced);
    return out;
}

std::optional<std::vector<uint8_t>> zipAndUnzip::gzipInflate(std::span<const uint8_t> data) const {
    if (data.empty()) return std::vector<uint8_t>{};
    return ZipHelper::ungzipData(data, kMaxInflatedBytes);
}

namespace ClientBody {

std::optional<std::string> encryptResquestParams(const Json& params) {
    std::string text;
    try {
        text = params.dump(2);
    } catch (const Json::exception& e) {
        processLog().writeLog(std::string("Request body is no JSON: ") + e.what());
        return std::nullopt;
    }
    const std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    auto packed = zipAndUnzip().gzipDeflate(bytes);
    if (!packed) return std::nullopt;
    return WqAlgorithmSM4::EncodeAES_CBC_PKCS5Padding(*packed);
}

namespace {

std::optional<std::vector<uint8_t>> decrypt(std::string_view text, const char* what) {
    if (text.size() > kMaxEncodedBytes) {
        processLog().writeLog(std::string(what) + ": the encrypted text is too long");
        return std::nullopt;
    }
    auto raw = Base64::dataWithBase64EncodedString(text);
    if (!raw) {
        processLog().writeLog(std::string(what) + ": the text is not Base64");
        return std::nullopt;
    }
    auto clear = WqAlgorithmSM4::DecodeAES(*raw);
    if (!clear) {
        processLog().writeLog(std::string(what) + ": the cipher text does not decrypt");
        return std::nullopt;
    }
    return clear;
}

std::optional<Json> parse(std::span<const uint8_t> bytes, const char* what) {
    Json json = Json::parse(bytes.begin(), bytes.end(), nullptr, false);
    if (json.is_discarded()) {
        processLog().writeLog(std::string(what) + ": the decrypted text is no JSON");
        return std::nullopt;
    }
    return json;
}

}  // namespace

std::optional<Json> decodeSM4(std::string_view text) {
    auto clear = decrypt(text, "decodeSM4");
    if (!clear) return std::nullopt;
    return parse(*clear, "decodeSM4");
}

std::optional<Json> decodeRequestBody(std::string_view text) {
    auto clear = decrypt(text, "Request body");
    if (!clear) return std::nullopt;
    auto inflated = zipAndUnzip().gzipInflate(*clear);
    if (!inflated || inflated->empty()) {
        processLog().writeLog("Request body: the zlib stream is damaged or too large");
        return std::nullopt;
    }
    return parse(*inflated, "Request body");
}

}  // namespace ClientBody

}  // namespace hux
