// Feeds arbitrary bytes to the decoders of the client-login API's bodies and checks that whatever
// decodes encodes back to the same value.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string_view>

#include "common/logger/LogSink.h"
#include "framework/encoding/ZipHelper.h"
#include "ui/session/login/BodyCodec.h"
#include "ui/session/login/JsonFields.h"

namespace {

// The decoders log; the lines go nowhere rather than into the machine's log folder.
class DiscardLog : public common::LogSink {
  public:
    void writeLog(const std::string&, unsigned long) override {}
    void flush() override {}
};

// The inflate below runs with this cap rather than the product's 16 MiB, which a bomb in the corpus
// would fill and pack again on every run; the product's cap has its own unit test.
constexpr size_t kInflateCap = 256u << 10;

void require(bool ok) {
    if (!ok) std::abort();
}

void readFields(const hux::Json& json) {
    for (const char* key : {"ret", "code", "state", "data", "ticket"}) {
        hux::fields::integer(json, key);
        hux::fields::text(json, key);
        hux::fields::textOrNumber(json, key);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static DiscardLog* const discard = [] {
        auto* sink = new DiscardLog;
        common::setProcessLog(*sink);
        return sink;
    }();
    (void)discard;
    const std::span<const uint8_t> bytes(data ? data : reinterpret_cast<const uint8_t*>(""), size);
    const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());

    if (auto field = hux::ClientBody::decodeSM4(text)) readFields(*field);

    if (auto body = hux::ClientBody::decodeRequestBody(text)) {
        readFields(*body);
        auto again = hux::ClientBody::encryptResquestParams(*body);
        require(again && hux::ClientBody::decodeRequestBody(*again) == *body);
    }

    // The same inflate gzipInflate runs, at the smaller cap.
    const hux::zipAndUnzip zip;
    if (auto inflated = calix::ZipHelper::ungzipData(bytes, kInflateCap)) {
        require(inflated->size() <= kInflateCap);
        auto packed = zip.gzipDeflate(*inflated);
        require(packed && zip.gzipInflate(*packed) == *inflated);
    }
    return 0;
}
