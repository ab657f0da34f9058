// The files the domain-join app reads and writes: the domain list the daemon leaves, the two
// 802.1X profiles made from the bundle's templates with the user's credentials, and the bound
// computer account read back from the directory settings.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/archive/Value.h"

namespace ducene {

// <machine support>/joindomainInfo.archive
std::string domainInfoFile();

struct DomainInfoRead {
    enum class Status { Missing, Unreadable, Ok };
    Status status = Status::Missing;
    std::vector<archive::Dictionary> infos;  // Ok: at least one entry
};
// The list of domain dictionaries; Unreadable when the file does not decode to a non-empty list.
DomainInfoRead readDomainInfos();

// A text value of an entry; empty when missing or not a text.
std::string textOf(const archive::Dictionary& info, const std::string& key);

// The profiles made from the bundle's templates with the user's credentials: the XML property
// list, or nothing when the template is missing or not a profile.
std::optional<archive::Data> ethernetProfile(const std::string& templatePath, const std::string& account,
                                             const std::string& password);
std::optional<archive::Data> wifiProfile(const std::string& templatePath, const std::string& ssid,
                                         const std::string& account, const std::string& password);

// Writes the Ethernet or Wi-Fi profile from its template to path (atomically, readable by its
// owner alone, since it holds the password). False when the template is missing or not a
// profile, or the file cannot be written.
bool writeEthernetProfile(const std::string& templatePath, const std::string& path,
                          const std::string& account, const std::string& password);
bool writeWiFiProfile(const std::string& templatePath, const std::string& path, const std::string& ssid,
                      const std::string& account, const std::string& password);

// Saves a profile for the user the app acts for: as that user's own file (0600) in the user's
// ~/Library/Application Support/RavAvizaL, reached through the folder's descriptor and created
// when missing, and as root's copy staged for the helper. The staged path to send to the
// helper; nothing when either write failed.
std::optional<std::string> saveProfile(const std::string& name, const archive::Data& profile);

using AppLog = std::function<void(const std::string& text, unsigned type)>;

// The account part of the bound computer account ("ABC" of "ABC-MB0$"); nothing when the
// machine is not bound or the settings cannot be read (logged through log).
std::optional<std::string> fetchDomainAccount(const AppLog& log);

// Whether the account has no home folder yet, so a mobile account can still be created.
bool homeFolderMissing(const std::string& account);

}  // namespace ducene
