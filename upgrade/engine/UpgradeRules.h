// The engine's pure rules: which names and versions may become file names, how versions are
// ordered, what the version rule decides, and the server list carried by a package address.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace upgraderules {

// Letters, digits, '.', '_' and '-' only, not empty, no "..": safe as one path component.
bool isSafeComponent(std::string_view text);

// Orders dotted versions part by part: the leading digits of each part as a number, then the
// rest of the part as text; a missing part sorts before a present one (5.1 < 5.1.0).
// Negative, 0 or positive like strcmp.
int compareVersions(std::string_view a, std::string_view b);

enum class VersionDecision {
    Install,       // the manifest's version is the same or newer
    Rollback,      // older, but still a supported line: install it over the newer one
    LocalIsNewer,  // older and below 5.1.70: stop
};
VersionDecision versionRule(std::string_view serverVersion, std::string_view localVersion);

struct ServerEntry {
    std::string host;
    std::string port;
};

enum class ServerListStatus { None, Invalid, Ok };
struct ServerList {
    ServerListStatus status = ServerListStatus::None;
    std::vector<ServerEntry> entries;
};

// The list between the last "(" of the address and the first ")" after it: entries
// "host_port" in the order intranet, extranet, domain. A short second entry repeats the first,
// a short third entry ends the list, a single entry serves as intranet and extranet. Invalid
// when any kept entry is not a host and a port 0-65535.
ServerList serverListFromUrl(std::string_view url);

}  // namespace upgraderules
