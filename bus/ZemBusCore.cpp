#include "ZemBusCore.h"

#include "bus/ZemDebugLogRequest.h"
#include "common/logger/LogSink.h"
#include "proto/ZemLogText.h"
#include "proto/ZemUrlEncode.h"
#include "common/server/ZemServerConfig.h"

using zem::ZemRequest;
using zem::ZemResponse;
using zem::ZemUrlEncode;
using common::ZemServerConfig;
using common::processLog;
using hollin::ZemHttpReply;
using hollin::ZemHttpRequest;
using hollin::ZemHttpSession;

namespace bus {

std::optional<std::string> headerLine(std::string_view name, std::string_view value) {
    if (name.empty()) return std::nullopt;
    for (char c : name)
        if (c == '\r' || c == '\n' || c == '\0' || c == ':' || c == ' ' || c == '\t') return std::nullopt;
    for (char c : value)
        if (c == '\r' || c == '\n' || c == '\0') return std::nullopt;
    // libcurl removes a header given as "Name:" with nothing after it; "Name;" sends it empty.
    if (value.empty()) return std::string(name) + ";";
    return std::string(name) + ": " + std::string(value);
}

}  // namespace bus

namespace {

void log(const std::string& line) {
    processLog().writeLog(line);
}

}  // namespace

ZemBusCore::ZemBusCore(ZemServerConfig* config, std::optional<bus::HeadFacts> facts)
    : config_(config), facts_(std::move(facts)) {
    this->config().readServerConfig();
    // Transfers of the service's requests run on a small concurrent queue of their own, so a slow
    // server never holds the caller's thread.
    session_ = std::make_shared<ZemHttpSession>(
        dispatch::WorkQueue::create("com.velmora.Tamber.session", dispatch::QueueAttr::Concurrent));
}

ZemServerConfig& ZemBusCore::config() const {
    return config_ ? *config_ : ZemServerConfig::sharedInstance();
}

std::unique_ptr<ZemRequest> ZemBusCore::getRequestWithType(int32_t type) const {
    if (type == bus::kDebugLogAction)
        return std::make_unique<ZemDebugLogRequest>(facts_ ? *facts_ : bus::HeadFacts::ofThisDevice());
    if (type != bus::kPolicyStateAction) return nullptr;
    return std::make_unique<ZemPoliceStatusRequest>(facts_ ? *facts_ : bus::HeadFacts::ofThisDevice());
}

std::unique_ptr<ZemResponse> ZemBusCore::getResponseWithType(int32_t type, std::vector<uint8_t> data) {
    if (type == bus::kDebugLogAction) return std::make_unique<ZemDebugLogResponse>(std::move(data));
    if (type != bus::kPolicyStateAction) return nullptr;
    return std::make_unique<ZemPoliceStatusResponse>(std::move(data));
}

std::vector<std::string> ZemBusCore::requestHeaders(size_t bodyLength) {
    std::vector<std::string> lines;
    for (const auto& [name, value] : {std::pair<std::string, std::string>{"Urlencode", "1"},
                                      {"Content-Length", std::to_string(bodyLength)},
                                      {"Content-Type", "application/x-www-form-urlencoded"}})
        if (auto line = bus::headerLine(name, value)) lines.push_back(*line);
    return lines;
}

void ZemBusCore::sendPoliceStateRequest(archive::Dictionary userInfo, Completion complete) {
    post(bus::kPolicyStateAction, "/yj/policystat", "send police state failed", std::move(userInfo),
         std::move(complete));
}

void ZemBusCore::post(int32_t type, const std::string& path, const std::string& failed,
                      archive::Dictionary userInfo, Completion complete) {
    auto request = getRequestWithType(type);
    request->setUserInfo(std::move(userInfo));
    request->generateMsgHead();
    request->generateMsgBody();
    if (!request->buildData()) {
        log(failed + ", request could not be built");
        complete(false, nullptr, "");
        return;
    }

    // Read again: the configuration may have been changed by the daemon meanwhile.
    config().readServerConfig();
    const auto server = config().historyRecord_server();
    if (!server || server->empty() || *server == ZemServerConfig::kMissingHost) {
        log(failed + ", because server config is null");
        complete(false, nullptr, "upload server is null");
        return;
    }
    uint64_t port = config().historyRecord_port();
    if (port == 0) port = 80;

    const std::string body = ZemUrlEncode::urlencodWithData(request->data());
    ZemHttpRequest http;
    http.url = "http://" + *server + ":" + std::to_string(port) + path;
    http.body.assign(body.begin(), body.end());
    http.headers = requestHeaders(http.body.size());
    http.timeout = kTimeout;
    session_->post(std::move(http), [type, failed, complete = std::move(complete)](ZemHttpReply reply) {
        if (reply.body.empty() || !reply.succeeded()) {
            log(failed + " " + (reply.error.empty() ? std::string("empty reply") : reply.error));
            complete(false, nullptr, "");
            return;
        }
        parseResponseData(reply.body, type, complete);
    });
}

void ZemBusCore::parseResponseData(const std::vector<uint8_t>& data, int32_t type,
                                   const Completion& complete) {
    const std::string prefix = "\ntype: " + std::to_string(type) + " | ";
    if (data.empty()) {
        log(prefix + "urlencode data failed");
        complete(false, nullptr, "");
        return;
    }
    const std::string_view text(reinterpret_cast<const char*>(data.data()), data.size());
    auto reply = getResponseWithType(type, ZemUrlEncode::urldecode(text, nullptr));
    if (!reply) {
        complete(false, nullptr, "");
        return;
    }
    if (reply->parseData()) {
        log(prefix + "parse reponse successfully. " + ZemLogText::describe(reply->responseMsg()));
        complete(true, reply->sharedResponseMsg(), "");
        return;
    }
    const Head* head = reply->msgHead();
    const RspMsgBody* body = reply->msgRspBody();
    if (head && head->action() == 0 && (!body || body->ByteSizeLong() == 0)) {
        log(prefix + "response parse finished. but data is null");
    } else {
        log(prefix + "response parse failed. errCode: " +
            (head ? std::to_string(head->retcode()) : std::string("(null)")) + " ");
    }
    complete(false, nullptr, "");
}
