// Reading NetworkManager's command-line client: where it lives and how its terse output
// ("-t": fields joined by ":", with ":" and "\" inside values escaped by "\") splits into fields.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace sysinfo {

// The client's path under the root prefix (tests place a stand-in there).
std::string nmcliPath();

// The fields of one terse output line.
std::vector<std::string> splitTerseLine(const std::string& line);

// From the output of "nmcli -t -f ACTIVE,SSID device wifi list ...": the SSID of the line
// marked active ("yes"); nothing when no network is joined.
std::optional<std::string> activeSsidFromWifiList(const std::string& output);

}  // namespace sysinfo
