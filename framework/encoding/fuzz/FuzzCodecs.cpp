// Feeds arbitrary bytes to the decoders that read outside data (URL, hex, Base64, gzip, dates), and
// checks that each encoder's output decodes back to its input.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string_view>
#include <vector>

#include "framework/encoding/Base64.h"
#include "framework/encoding/DateUtil.h"
#include "framework/encoding/UrlEncode.h"
#include "framework/encoding/ZipHelper.h"

using calix::ZipHelper;

namespace {

void require(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> bytes(data ? data : reinterpret_cast<const uint8_t*>(""), size);
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());

    size_t decodedLength = 0;
    const auto decoded = UrlEncode::urldecode(text, &decodedLength);
    require(decodedLength == decoded.size() && decoded.back() == 0 && decoded.size() <= size + 1);

    size_t encodedLength = 0;
    const auto encoded = UrlEncode::urlencode(bytes, &encodedLength);
    const std::string_view encodedText(reinterpret_cast<const char*>(encoded.data()), encodedLength - 1);
    auto roundTrip = UrlEncode::urldecode(encodedText, nullptr);
    roundTrip.pop_back();
    require(std::vector<uint8_t>(bytes.begin(), bytes.end()) == roundTrip);
    UrlEncode::stringURLEncode(text);

    const auto fromHex = UrlEncode::stringFromHexString(text);
    require(fromHex.size() <= size / 2);
    require(UrlEncode::stringFromHexString(UrlEncode::convertDataToHexStr(bytes)) ==
            std::vector<uint8_t>(bytes.begin(), bytes.end()));

    if (const auto b64 = Base64::dataWithBase64EncodedString(text)) {
        require(!b64->empty() && b64->size() <= size / 4 * 3);
        Base64::base64DecodedString(text);
    }
    const unsigned width = size > 0 ? data[0] : 64;
    if (const auto wrapped = Base64::base64EncodedStringWithWrapWidth(bytes, width)) {
        require(Base64::dataWithBase64EncodedString(*wrapped) ==
                std::vector<uint8_t>(bytes.begin(), bytes.end()));
    } else {
        require(size == 0);
    }

    // The date parsers are strict, so whatever they accept formats back to the same text.
    if (const auto day = date::dateFromDateString_YMD(text)) require(date::dateStringFromDate(*day) == text);
    const double seconds = date::timeIntervalFromDateStringYMD_HMS(text);
    if (seconds != 0.0) require(date::dateStringFromDateYMD_HMS(seconds) == text);
    date::timeIntervalFromDateString_YMD(text);

    // A small limit keeps bombs in the corpus cheap; the limit itself is what is being exercised.
    if (const auto inflated = ZipHelper::ungzipData(bytes, 1 << 20)) require(inflated->size() <= (1 << 20));
    return 0;
}
