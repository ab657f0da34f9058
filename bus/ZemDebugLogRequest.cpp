#include "ZemDebugLogRequest.h"

#include "bus/ZemBusCore.h"
#include "platform/core/TextNumber.h"
#include "common/logger/LogSink.h"
#include "proto/ZemUrlEncode.h"
#include "common/server/ZemServerConfig.h"

using zem::ZemRequest;
using zem::ZemResponse;
using zem::ZemUrlEncode;
using common::ZemServerConfig;
using common::processLog;
using hollin::ZemHttpReply;
using hollin::ZemHttpRequest;

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
    auto request = getRequestWithType(bus::kDebugLogAction);
    request->setUserInfo(std::move(userInfo));
    request->generateMsgHead();
    request->generateMsgBody();
    if (!request->buildData()) {
        processLog().writeLog("[ZemBus] send debug log request failed, request could not be built");
        complete(false, nullptr, "");
        return;
    }
    config().readServerConfig();
    const auto server = config().historyRecord_server();
    if (!server || server->empty() || *server == ZemServerConfig::kMissingHost) {
        processLog().writeLog("[ZemBus] send debug log request failed, because server config is null");
        complete(false, nullptr, "upload server is null");
        return;
    }
    uint64_t port = config().historyRecord_port();
    if (port == 0) port = 80;

    const std::string body = ZemUrlEncode::urlencodWithData(request->data());
    ZemHttpRequest http;
    http.url = "http://" + *server + ":" + std::to_string(port) + "/yj/debug";
    http.body.assign(body.begin(), body.end());
    http.headers = requestHeaders(http.body.size());
    http.timeout = kTimeout;
    session_->post(std::move(http), [complete = std::move(complete)](ZemHttpReply reply) {
        if (reply.body.empty() || !reply.succeeded()) {
            processLog().writeLog("[ZemBus] send debug log request failed " +
                                  (reply.error.empty() ? std::string("empty reply") : reply.error));
            complete(false, nullptr, "");
            return;
        }
        parseResponseData(reply.body, bus::kDebugLogAction, complete);
    });
}
