// The resolver's name servers from resolv.conf. When the file names only the local stub of
// systemd-resolved, the servers behind the stub are read from resolved's own copy instead.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace sysinfo {

// The addresses of the "nameserver" lines in file order; nothing when /etc/resolv.conf is missing.
std::optional<std::vector<std::string>> nameServers();

// The "nameserver" lines of a resolv.conf text: the first word must be "nameserver"; comments
// ("#" or ";") and other options are skipped.
std::vector<std::string> parseNameServers(const std::string& text);

}  // namespace sysinfo
