// Wi-Fi and proxy facts from NetworkManager's client, run with argument vectors. A machine
// without NetworkManager simply has no answers.
#pragma once

#include <optional>
#include <string>

namespace nmcli {

// The SSID of the network the Wi-Fi device is joined to.
std::optional<std::string> activeSsid(const std::string& device);

// The automatic-proxy configuration URL of the connection active on the device.
std::optional<std::string> proxyAutoConfigUrl(const std::string& device);

}  // namespace nmcli
