// What the server told the daemon about the machine's network location and role, kept as
// machine.data in the product root, and the check of the resolver against the company's name
// servers that the watchdog bases its decisions on.
#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/archive/Value.h"
#include "platform/core/Error.h"

namespace hollin {

struct ZemMachineModel {
    static constexpr const char* kClassName = "ZemMachineModel";

    std::string ip;
    std::string netType;           // network location from the location reply, decimal text
    std::string machineType;       // machine type, decimal text ("1" and "10" mark development machines)
    double lastRequestTime = 0.0;  // seconds since 1970 of the last server answer
    std::string domainsOfDNS;      // two groups of name-server addresses joined by "||"

    archive::Value encode() const;
    static std::optional<ZemMachineModel> decode(const archive::Value& value);
    bool operator==(const ZemMachineModel&) const = default;
};

class ZemMachineManager {
  public:
    // getNetTypeWithDNS results.
    static constexpr int64_t kSecondGroupInUse = 0;
    static constexpr int64_t kFirstGroupInUse = 1;
    static constexpr int64_t kOutsideCompanyNetwork = 2;
    static constexpr int64_t kNoCheckPossible = 3;

    static ZemMachineManager& sharedInstance();
    // Loads the stored record.
    ZemMachineManager();

    // machine.data's path; the folders and an empty file are created when missing.
    static std::string localPath();
    // Replaces the current record and stores it; false when the file could not be written (the
    // current record is replaced all the same).
    bool saveMachineInfoToLocal(const ZemMachineModel& model);
    // Reloads the record from the file; an empty or undecodable file leaves no record.
    std::optional<ZemMachineModel> getMachineInfoFromLocal();
    // Whether the resolver uses the company's name servers of the record: 0 one of the second
    // group, 1 only of the first group, 2 none of them, 3 no check possible. Addresses match whole.
    int64_t getNetTypeWithDNS() const;
    // Asks the device-query service for this machine's type and address and stores them. Blocks
    // for at most 30 s, then calls completion with the outcome.
    void getMachineType(const std::function<void(bool, std::optional<ErrorValue>)>& completion);
    void getMachineType(const std::string& serviceUrl,
                        const std::function<void(bool, std::optional<ErrorValue>)>& completion);

    std::optional<ZemMachineModel> currentMachine() const;
    void setCurrentMachine(std::optional<ZemMachineModel> model);

    static constexpr const char* kDeviceQueryUrl =
        "http://devicequery.velmora.com/api/device/GetDeviceByDeviceId";

  private:
    mutable std::mutex mutex_;
    std::optional<ZemMachineModel> currentMachine_;
};

// The addresses of a name-server group: split at every character that cannot be part of an
// IPv4 or IPv6 address, each put in its canonical form.
std::vector<std::string> dnsGroupAddresses(const std::string& group);

}  // namespace hollin
