// Device facts: operating system, console user, machine and model names, hardware UUID, serial
// numbers, the client version, and the network interfaces with their MAC and IPv4 addresses.
// One process-wide instance; safe to use from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/sysinfo/NetInterfaces.h"

namespace common {

// An interface or hardware-port record: "MacAddress", "HardwarePort", "service", "Device",
// "ServiceID", "ip", each a text.
using InterfaceInfo = std::map<std::string, std::string>;

class ITDevice {
  public:
    // Where the kernel's interface address list comes from (tests hand in fixture lists).
    using AddressSource = std::function<std::vector<sysinfo::InterfaceAddress>()>;

    static ITDevice& currentDevice();
    explicit ITDevice(AddressSource addresses = {});

    std::string osName();             // "<NAME> <version>" of os-release; cached
    std::string osVersion();          // VERSION_ID of os-release, "unknow"; cached
    std::string userName();           // console user, "unknown" when nobody is signed in at the machine
    std::string loginUser();          // console user, "" when none
    int32_t currentOsBit();           // firmware word size 64 or 32; 0 (asked again next time) when unknown
    std::string machineName();        // the user-facing host name, "unknow"
    std::string getADDomainName();    // directory computer account or computer name, ""
    std::string machinePrefixName();  // "MB" for portable Mac models, else "MC"
    std::string modelName();          // the firmware's product name, ""
    std::string uuid();               // hardware UUID, ""

    // Rebuilds the interface table: each up, non-loopback interface backed by a hardware port,
    // with its first IPv4 address ("0.0.0.0" when it has none).
    void getMacAndIPAddr();
    // The record of the hardware port using the device; empty when no port does.
    InterfaceInfo getNetworkMacAddress(const std::string& device);
    // The table's "MacAddress" / "ip" values in device-name order; built first when missing.
    std::vector<std::string> macAddresses();
    std::vector<std::string> ipArray();
    // The current table (never null; empty before the first build).
    std::shared_ptr<const std::map<std::string, InterfaceInfo>> networkInfos() const;

    std::vector<std::string> boardSerialNums();
    std::string serialNum();
    std::vector<std::string> memorySerialNums();
    std::vector<std::string> hardDiskSerialNums();

    // The hardware ports ("HardwarePort", "Device", "MacAddress", "service"), kept as hardwareports.
    void listNetworkServices(const std::function<void(const std::vector<InterfaceInfo>&)>& completion);
    // The ports with their "ip" added; an empty list gives the kept ports unchanged.
    std::vector<InterfaceInfo> getHardwareportsIP(const std::vector<InterfaceInfo>& ports);
    std::vector<InterfaceInfo> hardwareports() const;

    // "CFBundleVersion" of the UI app bundle, the fallback when it cannot be read. The daemon's
    // fallback is kDaemonFallbackVersion, the report service's kReportFallbackVersion.
    static constexpr const char* kDaemonFallbackVersion = "5.0.3.100";
    static constexpr const char* kReportFallbackVersion = "5.2.1.100";
    std::string getLocalZEMQZNVersion(const std::string& fallback = kDaemonFallbackVersion);
    // Forgets the interface table so the next list read sees the interfaces as they are now.
    void cleanMacAddressCache();

  private:
    // One value per interface of the table (built on first use), in interface order.
    std::vector<std::string> interfaceColumn(const char* key, const char* missing);
    std::vector<sysinfo::InterfaceAddress> addresses() const;

    AddressSource addresses_;
    mutable std::mutex mutex_;
    std::optional<std::string> zemVersion_;
    std::optional<std::string> operationSystemName_;
    std::optional<std::string> systemVersion_;
    int32_t osBit_ = 0;
    std::vector<InterfaceInfo> hardwareports_;
    std::shared_ptr<const std::map<std::string, InterfaceInfo>> networkInfos_;
    bool tableBuilt_ = false;
};

}  // namespace common
