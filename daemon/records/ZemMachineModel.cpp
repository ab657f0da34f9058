#include "ZemMachineModel.h"

#include "common/logger/DaemonLog.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "platform/archive/KeyedArchive.h"
#include "common/device/ITDevice.h"
#include "common/logger/RotatingLogger.h"
#include "platform/paths/Paths.h"
#include "platform/sysinfo/Resolver.h"

using common::ITDevice;
using common::LogCoreHelper;

namespace hollin {

namespace {

constexpr size_t kMaxRecordBytes = 64 * 1024;
constexpr size_t kMaxReplyBytes = 1u << 20;
constexpr long kDeviceQueryTimeoutMs = 30'000;

std::string canonicalAddress(const std::string& text) {
    unsigned char buf[sizeof(in6_addr)];
    char out[INET6_ADDRSTRLEN] = {};
    if (inet_pton(AF_INET, text.c_str(), buf) == 1 && inet_ntop(AF_INET, buf, out, sizeof out)) return out;
    if (inet_pton(AF_INET6, text.c_str(), buf) == 1 && inet_ntop(AF_INET6, buf, out, sizeof out)) return out;
    std::string lower = text;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    return lower;
}

double nowSeconds() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

size_t collect(char* data, size_t size, size_t count, void* userp) {
    auto* body = static_cast<std::string*>(userp);
    size_t n = size * count;
    if (body->size() + n > kMaxReplyBytes) return 0;
    body->append(data, n);
    return n;
}

std::optional<std::string> jsonText(const nlohmann::json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end()) return std::nullopt;
    if (it->is_string()) return it->get<std::string>();
    if (it->is_number_integer()) return std::to_string(it->get<int64_t>());
    if (it->is_number()) return it->dump();
    return std::nullopt;
}

}  // namespace

std::vector<std::string> dnsGroupAddresses(const std::string& group) {
    std::vector<std::string> out;
    std::string token;
    auto flush = [&] {
        if (!token.empty()) out.push_back(canonicalAddress(token));
        token.clear();
    };
    for (char c : group) {
        if (std::isxdigit(static_cast<unsigned char>(c)) || c == '.' || c == ':') {
            token += c;
        } else {
            flush();
        }
    }
    flush();
    return out;
}

archive::Value ZemMachineModel::encode() const {
    return archive::Object{kClassName,
                           {{"ip", ip},
                            {"netType", netType},
                            {"machineType", machineType},
                            {"domainsOfDNS", domainsOfDNS},
                            {"lastRequestTime", lastRequestTime}}};
}

std::optional<ZemMachineModel> ZemMachineModel::decode(const archive::Value& value) {
    const archive::Object* object = value.object();
    if (!object || object->className != kClassName) return std::nullopt;
    ZemMachineModel model;
    auto text = [&](const char* key, std::string& out) {
        if (auto it = object->fields.find(key); it != object->fields.end() && it->second.string()) {
            out = *it->second.string();
        }
    };
    text("ip", model.ip);
    text("netType", model.netType);
    text("machineType", model.machineType);
    text("domainsOfDNS", model.domainsOfDNS);
    if (auto it = object->fields.find("lastRequestTime"); it != object->fields.end()) {
        model.lastRequestTime = it->second.real().value_or(0.0);
    }
    return model;
}

ZemMachineManager& ZemMachineManager::sharedInstance() {
    static ZemMachineManager* manager = new ZemMachineManager();
    return *manager;
}

ZemMachineManager::ZemMachineManager() {
    getMachineInfoFromLocal();
}

std::string ZemMachineManager::localPath() {
    std::error_code ec;
    std::filesystem::create_directories(paths::productRoot(), ec);
    std::string path = paths::machineRecordFile();
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd >= 0) ::close(fd);
    return path;
}

bool ZemMachineManager::saveMachineInfoToLocal(const ZemMachineModel& model) {
    std::lock_guard lock(mutex_);
    currentMachine_ = model;
    return archive::archiveRootObjectToFile(model.encode(), localPath());
}

std::optional<ZemMachineModel> ZemMachineManager::getMachineInfoFromLocal() {
    archive::DecodeLimits limits;
    limits.maxBytes = kMaxRecordBytes;
    auto decoded = archive::unarchiveObjectWithFile(localPath(), {ZemMachineModel::kClassName}, limits);
    std::optional<ZemMachineModel> model = decoded ? ZemMachineModel::decode(*decoded.value) : std::nullopt;
    std::lock_guard lock(mutex_);
    currentMachine_ = model;
    return currentMachine_;
}

int64_t ZemMachineManager::getNetTypeWithDNS() const {
    auto servers = sysinfo::nameServers();
    if (!servers || servers->empty()) return kNoCheckPossible;
    auto machine = currentMachine();
    if (!machine || machine->domainsOfDNS.empty()) return kNoCheckPossible;

    const std::string& dns = machine->domainsOfDNS;
    const std::string separator = "||";
    size_t first = dns.find(separator);
    size_t last = dns.rfind(separator);
    std::string firstPart = first == std::string::npos ? dns : dns.substr(0, first);
    std::string lastPart = last == std::string::npos ? dns : dns.substr(last + separator.size());
    auto firstGroup = dnsGroupAddresses(firstPart);
    auto secondGroup = dnsGroupAddresses(lastPart);
    auto holds = [](const std::vector<std::string>& group, const std::string& address) {
        return std::find(group.begin(), group.end(), address) != group.end();
    };

    int64_t answer = kOutsideCompanyNetwork;
    for (const auto& server : *servers) {
        std::string address = canonicalAddress(server);
        if (address.empty()) continue;
        if (holds(firstGroup, address)) answer = kFirstGroupInUse;
        if (holds(secondGroup, address)) return kSecondGroupInUse;
    }
    return answer;
}

void ZemMachineManager::getMachineType(
    const std::function<void(bool, std::optional<ErrorValue>)>& completion) {
    getMachineType(kDeviceQueryUrl, completion);
}

void ZemMachineManager::getMachineType(
    const std::string& serviceUrl, const std::function<void(bool, std::optional<ErrorValue>)>& completion) {
    static std::once_flag curlInit;
    std::call_once(curlInit, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    CURL* curl = curl_easy_init();
    if (!curl) {
        if (completion) completion(false, ErrorValue{"", -1, "cannot start the request"});
        return;
    }
    std::string deviceId = ITDevice::currentDevice().uuid();
    char* escaped = curl_easy_escape(curl, deviceId.c_str(), static_cast<int>(deviceId.size()));
    std::string url = serviceUrl + "?DeviceId=" + (escaped ? escaped : "");
    curl_free(escaped);

    std::string body;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, kDeviceQueryTimeoutMs);
    curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
    double start = nowSeconds();
    CURLcode result = curl_easy_perform(curl);
    curl_easy_cleanup(curl);
    double end = nowSeconds();
    common::daemonLog().writeLog("end - curr " + std::to_string(end - start));

    std::optional<ErrorValue> error;
    if (result != CURLE_OK) error = ErrorValue{"", static_cast<long>(result), curl_easy_strerror(result)};
    bool ok = false;
    if (!error && !body.empty()) {
        auto reply = nlohmann::json::parse(body, nullptr, false);
        if (reply.is_object()) {
            auto code = reply.find("ErrCode");
            auto data = reply.find("Data");
            if (code != reply.end() && code->is_number_integer() && code->get<int64_t>() == 0 &&
                data != reply.end() && data->is_array() && !data->empty()) {
                ZemMachineModel model;
                model.lastRequestTime = end;
                const auto& first = data->front();
                if (first.is_object()) {
                    if (auto useage = jsonText(first, "Useage")) model.machineType = *useage;
                    if (auto ip = jsonText(first, "Ip")) model.ip = *ip;
                }
                saveMachineInfoToLocal(model);
                ok = true;
            }
        }
    }
    if (completion) completion(ok, error);
}

std::optional<ZemMachineModel> ZemMachineManager::currentMachine() const {
    std::lock_guard lock(mutex_);
    return currentMachine_;
}

void ZemMachineManager::setCurrentMachine(std::optional<ZemMachineModel> model) {
    std::lock_guard lock(mutex_);
    currentMachine_ = std::move(model);
}

}  // namespace hollin
