// The scutil stand-in for the machine's names, over the Linux host-name files:
//   --set ComputerName <name>     PRETTY_HOSTNAME of /etc/machine-info (other keys kept)
//   --set HostName <name>         /etc/hostname (and the running kernel's name on the real root),
//                                 with the name on the 127.0.1.1 line of /etc/hosts
//   --set LocalHostName <name>    the same, one label only
//   --get ComputerName|HostName|LocalHostName
#pragma once

#include <string>
#include <vector>

namespace scutil {

struct Outcome {
    int status = 0;
    std::string output;
    std::string error;
};

// Runs the tool with args (argv[0] excluded).
Outcome run(const std::vector<std::string>& args);

// The address the machine's own host name resolves to, as Debian's installer sets it.
inline constexpr const char* kHostNameAddress = "127.0.1.1";
// The hosts text with the 127.0.1.1 line naming name (and its first label when name has dots):
// the first such line is replaced, or one is added after the 127.0.0.1 line; other lines kept.
std::string withHostName(const std::string& hosts, const std::string& name);

// The machine-info text with PRETTY_HOSTNAME set to name, other lines kept.
std::string withPrettyHostName(const std::string& machineInfo, const std::string& name);

}  // namespace scutil
