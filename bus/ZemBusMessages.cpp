#include "ZemBusMessages.h"

#include <cmath>

#include "platform/core/TextNumber.h"
#include "common/device/ITDevice.h"
#include "framework/encoding/DateUtil.h"

using zem::ZemRequest;
using zem::ZemResponse;
using common::ITDevice;
using calix::DateUtil;

namespace bus {

namespace {

std::string joined(const std::vector<std::string>& items) {
    std::string out;
    for (const auto& item : items) {
        if (!out.empty()) out += ";";
        out += item;
    }
    return out;
}

// NSNumber or NSString integerValue; anything else 0.
int64_t integerOf(const archive::Value* value) {
    if (!value) return 0;
    if (auto n = value->integer()) return *n;
    if (const auto* s = value->string()) return textnum::integerValue(*s);
    return 0;
}

// The value as its text form: numbers in decimal, text as it is.
std::string textOf(const archive::Value& value) {
    if (const auto* s = value.string()) return *s;
    if (value.isInteger() || value.isBool()) return std::to_string(*value.integer());
    if (value.isReal()) {
        const double d = *value.real();
        if (std::floor(d) == d && std::fabs(d) < 1e15) return std::to_string(static_cast<int64_t>(d));
        return std::to_string(d);
    }
    return {};
}

}  // namespace

HeadFacts HeadFacts::ofThisDevice() {
    ITDevice& device = ITDevice::currentDevice();
    return HeadFacts{device.getLocalZEMQZNVersion(ITDevice::kReportFallbackVersion), device.macAddresses(),
                     device.ipArray()};
}

int32_t statusFromRunState(const archive::Value* runState) {
    if (!runState) return 1;
    const std::string text = textOf(*runState);
    if (text == "1") return 100;
    if (text == "2") return 101;
    if (text == "3") return 102;
    return 1;
}

PolicyStatInfo policyStatInfoFromState(const archive::Dictionary& state) {
    auto find = [&](const char* key) -> const archive::Value* {
        auto it = state.find(key);
        return it == state.end() ? nullptr : &it->second;
    };
    PolicyStatInfo info;
    info.set_policyid(integerOf(find("policyId")));
    info.set_policyversion(integerOf(find("policyVersion")));
    info.set_status(statusFromRunState(find("runState")));
    uint64_t stamp = 0;
    if (const auto* last = find("lastTimeStamp"); last && last->string()) {
        // The daemon writes the time as UTC+8 wall-clock text; the parser reads text as UTC, so the
        // zone's offset is taken off to get the true instant. Unparsable text gives 0.
        const double wall = DateUtil::timeIntervalFromDateStringYMD_HMS(*last->string());
        const double instant = wall - date::kUtcPlus8Offset;
        if (wall != 0.0 && instant > 0) stamp = static_cast<uint64_t>(instant);
    }
    info.set_timestamp(stamp);
    return info;
}

void fillReportHead(Head& head, const HeadFacts& facts, int32_t action) {
    head.set_zemver(facts.version);
    std::vector<std::string> parts;
    size_t start = 0;
    while (true) {
        const size_t dot = facts.version.find('.', start);
        parts.push_back(
            facts.version.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    if (parts.size() == 4) {
        head.set_majorversion(static_cast<int32_t>(textnum::integerValue(parts[0], INT32_MIN, INT32_MAX)));
        head.set_minorversion(static_cast<int32_t>(textnum::integerValue(parts[1], INT32_MIN, INT32_MAX)));
        head.set_externversion(static_cast<int32_t>(textnum::integerValue(parts[2], INT32_MIN, INT32_MAX)));
        head.set_buildversion(static_cast<int32_t>(textnum::integerValue(parts[3], INT32_MIN, INT32_MAX)));
    }
    if (!facts.macs.empty()) head.set_devicemac(joined(facts.macs));
    if (!facts.ips.empty()) head.set_clientip(joined(facts.ips));
    head.set_action(action);
}

}  // namespace bus

void ZemPoliceStatusRequest::generateMsgHead() {
    ZemRequest::generateMsgHead();
    bus::fillReportHead(*msgHead(), facts_, bus::kPolicyStateAction);
}

void ZemPoliceStatusRequest::generateMsgBody() {
    if (reqMsgBody()) return;
    PolicyStatReptMsgReq report;
    const auto it = userInfo().find("userInfo");
    if (it != userInfo().end()) {
        if (const auto* states = it->second.array()) {
            for (const auto& state : *states)
                if (const auto* dict = state.dictionary())
                    *report.add_policystatinfoarray() = bus::policyStatInfoFromState(*dict);
        }
    }
    ReqMsgBody body;
    *body.MutableExtension(ZemV5Root::policyStatReptMsgReqBody) = std::move(report);
    setReqMsgBody(std::move(body));
}

bool ZemPoliceStatusResponse::parseData() {
    if (!ZemResponse::parseData()) return false;
    RspMsgBody* body = mutableMsgRspBody();
    if (!body || !body->HasExtension(ZemV5Root::policyStatReptMsgRspBody)) return false;
    auto reply =
        std::make_shared<PolicyStatReptMsgRsp>(body->GetExtension(ZemV5Root::policyStatReptMsgRspBody));
    setResponseMsg(std::move(reply));
    return true;
}
