#include "ZemModel.h"

#include "common/device/NetworkCardInfoManager.h"
#include "platform/sysinfo/Resolver.h"

using common::NetworkCardInfoManager;

namespace hollin {

ZemModel& ZemModel::currentStatus() {
    static ZemModel* model = new ZemModel();
    return *model;
}

bool ZemModel::isDebug() const {
    std::lock_guard lock(mutex_);
    return isDebug_;
}

void ZemModel::setIsDebug(bool value) {
    std::lock_guard lock(mutex_);
    isDebug_ = value;
}

int32_t ZemModel::zemStatus() const {
    std::lock_guard lock(mutex_);
    return zemStatus_;
}

void ZemModel::setZemStatus(int32_t value) {
    std::lock_guard lock(mutex_);
    zemStatus_ = value;
}

int32_t ZemModel::zemCoreStatus() const {
    std::lock_guard lock(mutex_);
    return zemCoreStatus_;
}

void ZemModel::setZemCoreStatus(int32_t value) {
    std::lock_guard lock(mutex_);
    zemCoreStatus_ = value;
}

int64_t ZemModel::lastUpdateTime() const {
    std::lock_guard lock(mutex_);
    return lastUpdateTime_;
}

void ZemModel::setLastUpdateTime(int64_t value) {
    std::lock_guard lock(mutex_);
    lastUpdateTime_ = value;
}

int32_t ZemModel::networkLocation() const {
    std::lock_guard lock(mutex_);
    return networkLocation_;
}

void ZemModel::setNetworkLocation(int32_t value) {
    std::lock_guard lock(mutex_);
    networkLocation_ = value;
}

std::string ZemModel::domainName() const {
    std::lock_guard lock(mutex_);
    return domainName_;
}

void ZemModel::setDomainName(std::string value) {
    std::lock_guard lock(mutex_);
    domainName_ = std::move(value);
}

int32_t ZemModel::networkType() const {
    std::lock_guard lock(mutex_);
    return networkType_;
}

void ZemModel::setNetworkType(int32_t value) {
    std::lock_guard lock(mutex_);
    networkType_ = value;
}

std::vector<std::string> ZemModel::ipArray() const {
    std::vector<std::string> ips;
    for (const auto& card : NetworkCardInfoManager::sharedInstance().currentNetworkCards())
        ips.push_back(card.ip);
    return ips;
}

std::vector<Adapter> ZemModel::adaptArray() const {
    std::vector<Adapter> adapters;
    for (const auto& card : NetworkCardInfoManager::sharedInstance().currentNetworkCards()) {
        Adapter adapter;
        adapter.set_adaptername(card.interfaceName);
        if (card.router) adapter.set_defaultgateway(*card.router);
        adapter.set_clientip(card.ip);
        adapter.set_subnetmask(card.subMask);
        if (card.wifiSSID) adapter.set_wifissid(*card.wifiSSID);
        adapters.push_back(std::move(adapter));
    }
    return adapters;
}

std::vector<std::string> ZemModel::dnsArray() const {
    return sysinfo::nameServers().value_or(std::vector<std::string>{});
}

}  // namespace hollin
