#include "ZemBaseRequest.h"

#include "common/logger/DaemonLog.h"

#include <cctype>
#include <climits>
#include <cstdint>
#include <vector>

#include "common/command/ZemCMDManager.h"
#include "platform/core/TextNumber.h"
#include "common/device/ITDevice.h"
#include "common/device/NetworkCardInfoManager.h"
#include "common/logger/RotatingLogger.h"
#include "ZemModel.h"

using zem::ZemRequest;
using common::AccountModel;
using common::ITDevice;
using common::LogCoreHelper;
using common::NetworkCardInfoManager;
using common::ZemCMDManager;

namespace hollin {

namespace {

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end - start));
        if (end == std::string::npos) return parts;
        start = end + 1;
    }
}

std::string join(const std::vector<std::string>& items, const char* separator) {
    std::string out;
    for (size_t i = 0; i < items.size(); ++i) {
        if (i) out += separator;
        out += items[i];
    }
    return out;
}

// A version part as a whole number, clamped to the head's 32-bit fields.
int32_t versionPart(const std::string& text) {
    return static_cast<int32_t>(textnum::integerValue(text, INT32_MIN, INT32_MAX));
}

}  // namespace

void ZemBaseRequest::setVersion(Head& head, const std::string& version) {
    head.set_zemver(version);
    std::vector<std::string> parts = split(version, '.');
    if (parts.size() == 4) {
        head.set_majorversion(versionPart(parts[0]));
        head.set_minorversion(versionPart(parts[1]));
        head.set_externversion(versionPart(parts[2]));
        head.set_buildversion(versionPart(parts[3]));
    } else {
        head.set_majorversion(1);
        head.set_minorversion(0);
        head.set_externversion(0);
        head.set_buildversion(100);
    }
}

void ZemBaseRequest::generateMsgHead() {
    ZemRequest::generateMsgHead();
    Head& head = *msgHead();
    ITDevice& facts = device();
    setVersion(head, facts.getLocalZEMQZNVersion());

    facts.getMacAndIPAddr();
    std::string macs = join(facts.macAddresses(), ";");
    std::string ips = join(facts.ipArray(), ";");
    if (!macs.empty()) head.set_devicemac(macs);
    if (!ips.empty()) head.set_clientip(ips);
    common::daemonLog().writeLog("macAdress:" + macs + ", ipArray:" + ips, 1);
}

ITDevice& ZemBaseRequest::device() const {
    return sources_.device ? *sources_.device : ITDevice::currentDevice();
}

ZemCMDManager& ZemBaseRequest::commands() const {
    return sources_.commands ? *sources_.commands : ZemCMDManager::sharedInstance();
}

ZemModel& ZemBaseRequest::status() const {
    return sources_.status ? *sources_.status : ZemModel::currentStatus();
}

NetworkCardInfoManager& ZemBaseRequest::cards() const {
    return sources_.cards ? *sources_.cards : NetworkCardInfoManager::sharedInstance();
}

const std::optional<AccountModel>& ZemBaseRequest::account() {
    if (!account_) account_ = AccountModel::currentModel();
    return *account_;
}

std::optional<std::string> ZemBaseRequest::setUserIdFromAccount() {
    Head& head = *msgHead();
    if (!head.has_username()) return std::nullopt;
    const auto& record = account();
    if (!record || record->userid.empty()) return std::nullopt;
    head.set_userid(record->userid);
    return record->userid;
}

}  // namespace hollin
