// Feeds arbitrary bytes as the server's answer to action 4000: the reply decodes to the typed
// answer or fails, and the upload address built from any answer is either refused or free of
// control characters and blanks.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "bus/DebugLogFTPRequest.h"
#include "bus/ZemBusCore.h"
#include "common/logger/LogSink.h"

using common::LogSink;
using common::setProcessLog;

namespace {

// The decoder logs; the lines go nowhere rather than into the machine's log folder.
class DiscardLog : public LogSink {
  public:
    void writeLog(const std::string&, unsigned long) override {}
    void flush() override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static DiscardLog* const discard = [] {
        auto* sink = new DiscardLog;
        setProcessLog(*sink);
        return sink;
    }();
    (void)discard;
    const std::vector<uint8_t> body(data, data + size);
    ZemBusCore::parseResponseData(
        body, bus::kDebugLogAction,
        [](bool success, std::shared_ptr<const google::protobuf::Message> reply, std::string) {
            const auto* rsp = dynamic_cast<const DebugLogUploadMsgRsp*>(reply.get());
            if (success != (rsp != nullptr)) std::abort();
            if (!rsp) return;
            ZemDebugModel model;
            model.uploadType = rsp->uploadtype();
            model.ftpURL = rsp->ftpsvrip();
            model.ftp_path = rsp->ftppath();
            model.ftp_port = rsp->ftpport();
            model.fileName = "mac_debuglog.zip";
            if (const auto url = DebugLogFTPRequest::ftpUploadURL(model))
                for (unsigned char c : *url)
                    if (c <= 0x20 || c == 0x7f) std::abort();
        });
    return 0;
}
