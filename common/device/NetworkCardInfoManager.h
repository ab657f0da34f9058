// The machine's Wi-Fi and Ethernet interfaces as NetworkCardModel records: address, mask,
// router, MAC and the joined Wi-Fi network. Nothing is cached between calls.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ITDevice.h"
#include "NetworkCardModel.h"

namespace common {

class NetworkCardInfoManager {
  public:
    static NetworkCardInfoManager& sharedInstance();
    explicit NetworkCardInfoManager(ITDevice::AddressSource addresses = {});

    // "WiFi" and "Ethernet" to the first hardware port of that kind; a kind without a port is absent.
    std::map<std::string, std::string> getNetworkName();
    // Device name to its MAC without ":" for each device among the values.
    std::map<std::string, std::string> getMacAddressWithNames(
        const std::map<std::string, std::string>& names);
    NetworkCardModel networkAdater(const std::string& device);
    // One record per port of getNetworkName, in key order ("Ethernet" before "WiFi").
    std::vector<NetworkCardModel> currentNetworkCards();
    // The automatic-proxy URL of the Wi-Fi / Ethernet device's active connection.
    std::optional<std::string> getWiFiProxyURLString();
    std::optional<std::string> getLanProxyURLString();

    std::map<std::string, std::string> netwokNames() const;
    void setNetwokNames(std::map<std::string, std::string> names);
    std::map<std::string, std::string> macAddresses() const;
    void setMacAddresses(std::map<std::string, std::string> macs);
    std::vector<NetworkCardModel> networkCards() const;
    void setNetworkCards(std::vector<NetworkCardModel> cards);

  private:
    std::optional<std::string> proxyURLString(const std::string& kind);

    ITDevice::AddressSource addresses_;
    mutable std::mutex mutex_;
    std::map<std::string, std::string> netwokNames_;
    std::map<std::string, std::string> macAddresses_;
    std::vector<NetworkCardModel> networkCards_;
};

}  // namespace common
