#include "ZemDebugLogRequest.h"

#include "bus/ZemBusCore.h"
#include "platform/core/TextNumber.h"

using zem::ZemRequest;
using zem::ZemResponse;

namespace {

int64_t integerOf(const archive::Dictionary& info, const char* key) {
    const auto it = info.find(key);
    if (it == info.end()) return 0;
    if (auto n = it->second.integer()) return *n;
    if (const auto* s = it->second.string()) return textnum::integerValue(*s);
    return 0;
}

}  // namespace

void ZemDebugLogRequest::generateMsgHead() {
    ZemRequest::generateMsgHead();
    bus::fillReportHead(*msgHead(), facts_, bus::kDebugLogAction);
}

void ZemDebugLogRequest::generateMsgBody() {
    if (reqMsgBody()) return;
    ReqMsgBody body;
    DebugLogUploadMsgReq* request = body.MutableExtension(ZemV5Root::debugLogUploadMsgReqBody);
    const auto& info = userInfo();
    if (!info.empty()) {
        request->set_lastseq(integerOf(info, "lastSeq"));
        request->set_logsize(static_cast<int32_t>(integerOf(info, "logSize")));
        if (auto it = info.find("logMd5"); it != info.end() && it->second.string())
            request->set_logmd5(*it->second.string());
        if (auto it = info.find("logName"); it != info.end() && it->second.string())
            request->set_logname(*it->second.string());
    }
    setReqMsgBody(std::move(body));
}

bool ZemDebugLogResponse::parseData() {
    if (!ZemResponse::parseData()) return false;
    RspMsgBody* body = mutableMsgRspBody();
    if (!body || !body->HasExtension(ZemV5Root::debugLogUploadMsgRspBody)) return false;
    setResponseMsg(
        std::make_shared<DebugLogUploadMsgRsp>(body->GetExtension(ZemV5Root::debugLogUploadMsgRspBody)));
    return true;
}

void ZemBusCore::sendDebugLogRequest(archive::Dictionary userInfo, Completion complete) {
    post(bus::kDebugLogAction, "/yj/debug", "[ZemBus] send debug log request failed", std::move(userInfo),
         std::move(complete));
}
