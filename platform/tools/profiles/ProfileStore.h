// Configuration profiles on Linux: an 802.1X profile's Wi-Fi and wired payloads become
// NetworkManager keyfiles (one connection per payload; EAP-TLS with the profile's identity, or
// PEAP/TTLS with the user name and password the payload carries) and certificate files, each
// tagged with the profile's identifier so that removal by identifier finds exactly what the
// install made.
#pragma once

#include <string>

namespace profiles {

// Where NetworkManager reads system connections, under the root prefix.
std::string connectionsFolder();
// Where the certificates and identities of installed profiles are kept, one folder per identifier.
std::string profilesFolder();

// An identifier that may name files: 1 to 200 of [A-Za-z0-9._-], not starting with '.'.
bool validIdentifier(const std::string& identifier);

struct Outcome {
    bool ok = false;
    std::string message;  // the error text when not ok
};

// Installs the profile at path (a property list), replacing an installed one of the same identifier.
// Every connection is made and checked (by NetworkManager's client where the machine has one)
// before anything is written: when one is refused or a write fails, the installed profile stays
// as it was and nothing of the new one remains.
Outcome installProfile(const std::string& path);
// Removes every connection and file tagged with the identifier; an error when none is installed.
Outcome removeProfile(const std::string& identifier);

}  // namespace profiles
