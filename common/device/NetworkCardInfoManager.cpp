#include "NetworkCardInfoManager.h"

#include <algorithm>

#include "NmcliQueries.h"
#include "platform/sysinfo/NetInterfaces.h"

namespace common {

NetworkCardInfoManager& NetworkCardInfoManager::sharedInstance() {
    static NetworkCardInfoManager* manager = new NetworkCardInfoManager();
    return *manager;
}

NetworkCardInfoManager::NetworkCardInfoManager(ITDevice::AddressSource addresses)
    : addresses_(std::move(addresses)) {}

std::map<std::string, std::string> NetworkCardInfoManager::getNetworkName() {
    std::map<std::string, std::string> names;
    for (const auto& port : sysinfo::hardwarePorts()) {
        names.emplace(port.wireless ? "WiFi" : "Ethernet", port.device);  // the first port of each kind
    }
    return names;
}

std::map<std::string, std::string> NetworkCardInfoManager::getMacAddressWithNames(
    const std::map<std::string, std::string>& names) {
    std::map<std::string, std::string> macs;
    for (const auto& [kind, device] : names) {
        auto mac = sysinfo::linkAddress(device);
        if (!mac) continue;
        std::string compact = *mac;
        compact.erase(std::remove(compact.begin(), compact.end(), ':'), compact.end());
        if (!compact.empty()) macs[device] = compact;
    }
    return macs;
}

NetworkCardModel NetworkCardInfoManager::networkAdater(const std::string& device) {
    NetworkCardModel card;
    card.interfaceName = device;
    auto entries = addresses_ ? addresses_() : sysinfo::interfaceAddresses();
    bool configured = false;
    for (const auto& e : entries) {
        if (e.name != device || e.family != sysinfo::AddressFamily::IPv4 || e.address.empty()) continue;
        card.ip = e.address;
        if (!e.netmask.empty()) card.subMask = e.netmask;
        configured = true;
        break;
    }
    if (!configured) return card;
    card.router = sysinfo::defaultRouter(device);
    auto port = sysinfo::hardwarePort(device);
    if (port && port->wireless) card.wifiSSID = nmcli::activeSsid(device);
    return card;
}

std::vector<NetworkCardModel> NetworkCardInfoManager::currentNetworkCards() {
    auto names = getNetworkName();
    auto macs = getMacAddressWithNames(names);
    std::vector<NetworkCardModel> cards;
    for (const auto& [kind, device] : names) {
        NetworkCardModel card = networkAdater(device);
        if (auto mac = macs.find(device); mac != macs.end()) card.macAddress = mac->second;
        cards.push_back(std::move(card));
    }
    return cards;
}

std::optional<std::string> NetworkCardInfoManager::proxyURLString(const std::string& kind) {
    auto names = netwokNames();
    // Nothing is required to fill the kept names, so the live port names stand in for them.
    if (names.empty()) names = getNetworkName();
    auto device = names.find(kind);
    if (device == names.end()) return std::nullopt;
    return nmcli::proxyAutoConfigUrl(device->second);
}

std::optional<std::string> NetworkCardInfoManager::getWiFiProxyURLString() {
    return proxyURLString("WiFi");
}

std::optional<std::string> NetworkCardInfoManager::getLanProxyURLString() {
    return proxyURLString("Ethernet");
}

std::map<std::string, std::string> NetworkCardInfoManager::netwokNames() const {
    std::lock_guard lock(mutex_);
    return netwokNames_;
}

void NetworkCardInfoManager::setNetwokNames(std::map<std::string, std::string> names) {
    std::lock_guard lock(mutex_);
    netwokNames_ = std::move(names);
}

std::map<std::string, std::string> NetworkCardInfoManager::macAddresses() const {
    std::lock_guard lock(mutex_);
    return macAddresses_;
}

void NetworkCardInfoManager::setMacAddresses(std::map<std::string, std::string> macs) {
    std::lock_guard lock(mutex_);
    macAddresses_ = std::move(macs);
}

std::vector<NetworkCardModel> NetworkCardInfoManager::networkCards() const {
    std::lock_guard lock(mutex_);
    return networkCards_;
}

void NetworkCardInfoManager::setNetworkCards(std::vector<NetworkCardModel> cards) {
    std::lock_guard lock(mutex_);
    networkCards_ = std::move(cards);
}

}  // namespace common
