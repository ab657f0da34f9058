// The networksetup stand-in: the platform tool's argument forms for network services and their
// automatic-proxy (PAC) settings, carried out on NetworkManager connections through nmcli. A
// network service is a connection profile, named by its connection name.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace networksetup {

// The header line that -listallnetworkservices prints before the services.
inline constexpr const char* kListHeader = "An asterisk (*) denotes that a network service is disabled.";

// What -getairportnetwork prints when no Wi-Fi network is joined.
inline constexpr const char* kNotAssociated = "You are not associated with an AirPort network.";

// Each nmcli run ends (its process group TERM, then KILL) after this long.
inline constexpr std::chrono::milliseconds kNmcliDeadline{15'000};

struct Outcome {
    int status = 0;
    std::string output;
    std::string error;
};

// Runs the tool with args (argv[0] excluded):
//   -listallnetworkservices
//   -setautoproxystate <service> on|off
//   -setautoproxyurl <service> <url>
//   -getairportnetwork <device>     the joined Wi-Fi network ("Current Wi-Fi Network: <ssid>")
Outcome run(const std::vector<std::string>& args);

// The argument vector of nmcli (program excluded) for each form; empty when the form is invalid.
std::vector<std::string> nmcliArguments(const std::vector<std::string>& args);

}  // namespace networksetup
