// One Wi-Fi or Ethernet interface as the runtime status and the location report describe it.
#pragma once

#include <optional>
#include <string>

namespace common {

struct NetworkCardModel {
    std::string interfaceName;
    std::string ip = "0.0.0.0";                     // first IPv4 address
    std::optional<std::string> macAddress;          // without ":", lower case as the link layer prints it
    std::string subMask = "0.0.0.0";                // first IPv4 subnet mask
    std::optional<std::string> router = "0.0.0.0";  // none when the interface has IPv4 but no default router
    std::optional<std::string> wifiSSID;            // only for a joined Wi-Fi interface

    bool operator==(const NetworkCardModel&) const = default;
};

}  // namespace common
