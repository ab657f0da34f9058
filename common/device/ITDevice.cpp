#include "ITDevice.h"

#include <algorithm>
#include <cctype>
#include <chrono>

#include "platform/archive/Plist.h"
#include "ArrayExtension.h"
#include "platform/paths/Paths.h"
#include "framework/process/TaskHelper.h"
#include "platform/sysinfo/ConsoleUser.h"
#include "platform/sysinfo/HardwareUuid.h"
#include "platform/sysinfo/Machine.h"
#include "platform/sysinfo/Storage.h"
#include "platform/sysinfo/SysFiles.h"

using calix::TaskHelper;

namespace common {

namespace {

constexpr std::chrono::milliseconds kToolDeadline{10'000};

std::string upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string removeAll(std::string s, const std::string& chars) {
    s.erase(std::remove_if(s.begin(), s.end(), [&](char c) { return chars.find(c) != std::string::npos; }),
            s.end());
    return s;
}

// "aa:bb:cc:dd:ee:ff" to "AABBCCDDEEFF"; "" unless it has six groups.
std::string compactMac(const std::string& mac) {
    if (std::count(mac.begin(), mac.end(), ':') < 5) return {};
    return upper(removeAll(mac, ":"));
}

std::optional<std::string> runTool(const std::string& name, const std::vector<std::string>& argv) {
    std::string out;
    ErrorValue error;
    auto handle = TaskHelper::sharedInstance().excuteTaskPath(paths::toolFolder() + "/" + name, argv,
                                                              kToolDeadline, &out, &error);
    if (!handle || out.empty()) return std::nullopt;
    return out;
}

std::optional<std::string> deviceTreeText(const std::string& property) {
    auto bytes = sysinfo::deviceTreeProperty(property);
    if (!bytes) return std::nullopt;
    auto parts = Extension::stringArrayWithCFData(*bytes);
    if (parts.empty() || parts.front().empty()) return std::nullopt;
    return parts.front();
}

}  // namespace

ITDevice& ITDevice::currentDevice() {
    static ITDevice* device = new ITDevice();
    return *device;
}

ITDevice::ITDevice(AddressSource addresses)
    : addresses_(std::move(addresses)),
      networkInfos_(std::make_shared<const std::map<std::string, InterfaceInfo>>()) {}

std::vector<sysinfo::InterfaceAddress> ITDevice::addresses() const {
    return addresses_ ? addresses_() : sysinfo::interfaceAddresses();
}

std::string ITDevice::osName() {
    {
        std::lock_guard lock(mutex_);
        if (operationSystemName_) return *operationSystemName_;
    }
    auto release = sysinfo::osRelease();
    // os-release's own default for a missing NAME.
    std::string name = release.count("NAME") && !release["NAME"].empty() ? release["NAME"] : "Linux";
    std::string text = name + " " + osVersion();
    std::lock_guard lock(mutex_);
    operationSystemName_ = text;
    return text;
}

std::string ITDevice::osVersion() {
    {
        std::lock_guard lock(mutex_);
        if (systemVersion_) return *systemVersion_;
    }
    auto release = sysinfo::osRelease();
    std::string version =
        release.count("VERSION_ID") && !release["VERSION_ID"].empty() ? release["VERSION_ID"] : "unknow";
    std::lock_guard lock(mutex_);
    systemVersion_ = version;
    return version;
}

std::string ITDevice::userName() {
    return sysinfo::consoleUser().value_or("unknown");
}

std::string ITDevice::loginUser() {
    return sysinfo::consoleUser().value_or("");
}

int32_t ITDevice::currentOsBit() {
    {
        std::lock_guard lock(mutex_);
        if (osBit_ != 0) return osBit_;
    }
    int32_t bits = sysinfo::firmwareBits();
    std::lock_guard lock(mutex_);
    if (bits != 0) osBit_ = bits;
    return bits;
}

std::string ITDevice::machineName() {
    return sysinfo::hostName().value_or("unknow");
}

std::string ITDevice::getADDomainName() {
    if (auto show = runTool("dsconfigad", {"-show"})) {
        // The fourth word of each "Computer Account" line, as the directory tool prints it.
        std::string account;
        size_t pos = 0;
        while (pos < show->size()) {
            size_t nl = show->find('\n', pos);
            std::string line = show->substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
            pos = nl == std::string::npos ? show->size() : nl + 1;
            if (line.find("Computer Account") == std::string::npos) continue;
            std::vector<std::string> words;
            size_t w = 0;
            while ((w = line.find_first_not_of(" \t", w)) != std::string::npos) {
                size_t e = line.find_first_of(" \t", w);
                words.push_back(line.substr(w, e == std::string::npos ? std::string::npos : e - w));
                w = e;
            }
            if (words.size() >= 4) account += words[3];
        }
        account = upper(removeAll(account, "$\n"));
        if (!account.empty() && account.find(machinePrefixName()) != std::string::npos) return account;
    }
    if (auto name = runTool("scutil", {"--get", "ComputerName"})) return removeAll(*name, "\n");
    return "";
}

std::string ITDevice::machinePrefixName() {
    std::string model = lower(modelName());
    if (model.starts_with("macbook") || model.starts_with("macmini")) return "MB";
    return "MC";
}

std::string ITDevice::modelName() {
    if (auto name = sysinfo::dmi("product_name")) return *name;
    return deviceTreeText("model").value_or("");
}

std::string ITDevice::uuid() {
    return sysinfo::hardwareUuid();
}

InterfaceInfo ITDevice::getNetworkMacAddress(const std::string& device) {
    auto port = sysinfo::hardwarePort(device);
    if (!port) return {};
    return {{"MacAddress", compactMac(port->macAddress)},
            {"HardwarePort", port->displayName},
            {"service", port->displayName},
            {"Device", device},
            {"ServiceID", port->busId}};
}

void ITDevice::getMacAndIPAddr() {
    std::map<std::string, InterfaceInfo> table;
    std::map<std::string, InterfaceInfo> ports;  // one port look-up per interface and build
    for (const auto& entry : addresses()) {
        if (!entry.up || entry.loopback || !entry.hasAddress || entry.name.empty() ||
            entry.family == sysinfo::AddressFamily::Other) {
            continue;
        }
        auto known = ports.find(entry.name);
        if (known == ports.end()) known = ports.emplace(entry.name, getNetworkMacAddress(entry.name)).first;
        const InterfaceInfo& service = known->second;
        auto mac = service.find("MacAddress");
        if (mac == service.end() || mac->second.empty()) continue;

        bool ipv4 = entry.family == sysinfo::AddressFamily::IPv4;
        std::string ip = ipv4 && !entry.address.empty() ? entry.address : "0.0.0.0";
        auto row = table.find(entry.name);
        if (row == table.end()) {
            InterfaceInfo info = service;
            info["ip"] = ip;
            table.emplace(entry.name, std::move(info));
        } else if (row->second["ip"] == "0.0.0.0" && ipv4) {
            row->second["ip"] = ip;
        }
    }
    auto built = std::make_shared<const std::map<std::string, InterfaceInfo>>(std::move(table));
    std::lock_guard lock(mutex_);
    networkInfos_ = std::move(built);
    tableBuilt_ = true;
}

std::shared_ptr<const std::map<std::string, InterfaceInfo>> ITDevice::networkInfos() const {
    std::lock_guard lock(mutex_);
    return networkInfos_;
}

std::vector<std::string> ITDevice::interfaceColumn(const char* key, const char* missing) {
    bool built;
    {
        std::lock_guard lock(mutex_);
        built = tableBuilt_;
    }
    if (!built) getMacAndIPAddr();
    std::vector<std::string> out;
    // Held for the loop: another thread may put a rebuilt table in its place meanwhile.
    const auto table = networkInfos();
    for (const auto& [name, info] : *table) {
        auto it = info.find(key);
        out.push_back(it != info.end() ? it->second : missing);
    }
    return out;
}

std::vector<std::string> ITDevice::macAddresses() {
    return interfaceColumn("MacAddress", "");
}

std::vector<std::string> ITDevice::ipArray() {
    return interfaceColumn("ip", "0.0.0.0");
}

std::vector<std::string> ITDevice::boardSerialNums() {
    if (auto serial = sysinfo::dmiSerial("board_serial")) return {*serial};
    if (auto bytes = sysinfo::deviceTreeProperty("serial-number"))
        return Extension::stringArrayWithCFData(*bytes);
    return {};
}

std::string ITDevice::serialNum() {
    if (auto serial = sysinfo::dmiSerial("product_serial")) return *serial;
    return deviceTreeText("serial-number").value_or("");
}

std::vector<std::string> ITDevice::memorySerialNums() {
    return sysinfo::memorySerials();
}

std::vector<std::string> ITDevice::hardDiskSerialNums() {
    return sysinfo::diskSerials();
}

void ITDevice::listNetworkServices(const std::function<void(const std::vector<InterfaceInfo>&)>& completion) {
    std::vector<InterfaceInfo> ports;
    for (const auto& port : sysinfo::hardwarePorts()) {
        ports.push_back({{"HardwarePort", port.displayName},
                         {"Device", port.device},
                         {"MacAddress", compactMac(port.macAddress)},
                         {"service", port.displayName}});
    }
    {
        std::lock_guard lock(mutex_);
        hardwareports_ = ports;
    }
    if (completion) completion(ports);
}

std::vector<InterfaceInfo> ITDevice::getHardwareportsIP(const std::vector<InterfaceInfo>& ports) {
    if (ports.empty()) return hardwareports();
    auto entries = addresses();
    std::vector<InterfaceInfo> out;
    for (InterfaceInfo port : ports) {
        std::string ip = "0.0.0.0";
        auto device = port.find("Device");
        for (const auto& e : entries) {
            if (device != port.end() && e.name == device->second &&
                e.family == sysinfo::AddressFamily::IPv4 && !e.address.empty()) {
                ip = e.address;
                break;
            }
        }
        port["ip"] = ip;
        out.push_back(std::move(port));
    }
    std::lock_guard lock(mutex_);
    hardwareports_ = out;
    return out;
}

std::vector<InterfaceInfo> ITDevice::hardwareports() const {
    std::lock_guard lock(mutex_);
    return hardwareports_;
}

std::string ITDevice::getLocalZEMQZNVersion(const std::string& fallback) {
    {
        std::lock_guard lock(mutex_);
        if (zemVersion_) return *zemVersion_;
    }
    auto info = archive::readPlistFile(paths::uiAppBundle() + "/Contents/Info.plist", nullptr, 1u << 20);
    const archive::Value* version = info ? info->find("CFBundleVersion") : nullptr;
    if (!version || !version->string() || version->string()->empty()) return fallback;
    std::lock_guard lock(mutex_);
    zemVersion_ = *version->string();
    return *zemVersion_;
}

void ITDevice::cleanMacAddressCache() {
    std::lock_guard lock(mutex_);
    networkInfos_ = std::make_shared<const std::map<std::string, InterfaceInfo>>();
    tableBuilt_ = false;
}

}  // namespace common
