#include "ZemServerConfig.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <limits>

#include "platform/archive/KeyedArchive.h"
#include "platform/core/TextNumber.h"
#include "common/logger/LogSink.h"
#include "platform/paths/Paths.h"
#include "ZemNetworkInfoModel.h"

namespace common {

namespace {

constexpr size_t kMaxConfigBytes = 1u << 20;
constexpr uint64_t kDefaultDomainPort = 443;
constexpr int64_t kMaxPort = 65535;

archive::DecodeLimits configLimits() {
    archive::DecodeLimits limits;
    limits.maxBytes = kMaxConfigBytes;
    limits.maxObjects = 4096;
    limits.maxDepth = 8;
    return limits;
}

struct Entry {
    std::string host;
    uint64_t port = 0;
};

// [host text, port text or number]; anything shorter, null or of another type gives nothing.
std::optional<Entry> parseEntry(const archive::Value& value) {
    const archive::Array* items = value.array();
    if (!items || items->size() < 2) return std::nullopt;
    const std::string* host = (*items)[0].string();
    if (!host) return std::nullopt;
    const archive::Value& portValue = (*items)[1];
    std::optional<int64_t> port;
    if (const std::string* text = portValue.string()) {
        port = textnum::integerValue(*text);
    } else if (portValue.isInteger() || portValue.isReal()) {
        port = portValue.integer();
    }
    if (!port || *port < 0 || *port > kMaxPort) return std::nullopt;
    return Entry{*host, static_cast<uint64_t>(*port)};
}

std::string describe(const std::vector<std::string>& list) {
    std::string out = "(";
    for (size_t i = 0; i < list.size(); ++i) out += (i ? ",\n    \"" : "\n    \"") + list[i] + "\"";
    return out + "\n)";
}

void appendStrings(const archive::Value* value, std::vector<std::string>& a, std::vector<std::string>& b) {
    const archive::Array* items = value ? value->array() : nullptr;
    if (!items) return;
    for (const auto& item : *items) {
        if (const std::string* text = item.string(); text && !text->empty()) {
            a.push_back(*text);
            b.push_back(*text);
        }
    }
}

bool contains(const std::vector<std::string>& list, const std::string& text) {
    return std::find(list.begin(), list.end(), text) != list.end();
}

}  // namespace

std::string ZemServerConfig::Server::text() const {
    return host.value_or(kMissingHost) + ":" + std::to_string(static_cast<int64_t>(port));
}

ZemServerConfig& ZemServerConfig::sharedInstance() {
    static ZemServerConfig* config = new ZemServerConfig();
    return *config;
}

bool ZemServerConfig::isServerList(const archive::Value& root) {
    const archive::Array* entries = root.array();
    if (!entries || entries->empty()) return false;
    return std::all_of(entries->begin(), entries->end(), [](const archive::Value& v) {
        std::optional<Entry> entry = parseEntry(v);
        return entry && !entry->host.empty();
    });
}

void ZemServerConfig::readServerConfig() {
    std::lock_guard lock(mutex_);
    if (intranet_.port == 0) updateServerConfigLocked();
}

void ZemServerConfig::updateServerConfig() {
    std::lock_guard lock(mutex_);
    updateServerConfigLocked();
}

void ZemServerConfig::updateServerConfigLocked() {
    std::string path = paths::serverConfigFile();
    std::error_code ec;
    if (std::filesystem::exists(path, ec)) {
        auto decoded = archive::unarchiveObjectWithFile(path, {}, configLimits());
        const archive::Array* entries = decoded ? decoded.value->array() : nullptr;
        if (entries) {
            Server* targets[] = {&intranet_, &extranet_, &domain_};
            for (size_t i = 0; i < entries->size() && i < 3; ++i) {
                if (auto entry = parseEntry((*entries)[i])) {
                    targets[i]->host = entry->host;
                    targets[i]->port = entry->port;
                }
            }
        } else {
            processLog().writeLog("[ZemServerConfig] unreadable server configuration: " +
                                  (decoded ? std::string("root is not an array") : decoded.error));
        }
    }
    // Without a domain entry the domain server is the intranet host on 443; once set, it stays
    // until a file names a domain server.
    if (!domain_.host) {
        domain_.host = intranet_.host;
        domain_.port = kDefaultDomainPort;
    }
    refreshAllServersLocked();
}

void ZemServerConfig::refreshAllServers() {
    std::lock_guard lock(mutex_);
    refreshAllServersLocked();
}

void ZemServerConfig::refreshAllServersLocked() {
    AllMulSvrs_.clear();
    intranetMulSvrs_.clear();
    extranetMulSvrs_.clear();
    AllMulSvrs_.push_back(intranet_.text());
    intranetMulSvrs_.push_back(intranet_.text());
    AllMulSvrs_.push_back(extranet_.text());
    extranetMulSvrs_.push_back(extranet_.text());

    std::string multiPath = paths::multiServerInfoFile();
    std::error_code ec;
    if (std::filesystem::exists(multiPath, ec)) {
        if (auto decoded = archive::unarchiveObjectWithFile(multiPath, {}, configLimits())) {
            appendStrings(decoded.value->find("intra_srv_connaddr"), AllMulSvrs_, intranetMulSvrs_);
            appendStrings(decoded.value->find("extra_srv_connaddr"), AllMulSvrs_, extranetMulSvrs_);
        }
    }
    listsBuilt_ = true;

    // The last good server stands third, right after the configured pair, so a rotation that
    // walks all servers comes back to it early.
    uint64_t port = 0;
    if (auto host = listedRecordServerLocked(&port); host && AllMulSvrs_.size() >= 2) {
        ZemNetworkInfoModel record;
        record.record_server = *host;
        record.record_port = port;
        AllMulSvrs_.insert(AllMulSvrs_.begin() + 2, record.serverText());
    }

    auto& log = processLog();
    log.writeLog("[ZemSocketManager] AllMulSvrs:" + describe(AllMulSvrs_));
    log.writeLog("[ZemSocketManager] intranetMulSvrs:" + describe(intranetMulSvrs_));
    log.writeLog("[ZemSocketManager] extranetMulSvrs:" + describe(extranetMulSvrs_));
}

std::optional<std::string> ZemServerConfig::listedRecordServerLocked(uint64_t* port) {
    auto record = ZemNetworkInfoModel::currentNetRecord();
    if (!record || record->record_server.empty()) return std::nullopt;
    if (contains(AllMulSvrs_, record->serverText())) {
        *port = record->record_port;
        return record->record_server;
    }
    if (recordWriter_) ZemNetworkInfoModel::deleteCurrentNetModelRecord();
    return std::nullopt;
}

std::string ZemServerConfig::updateLoopServers() {
    std::lock_guard lock(mutex_);
    refreshAllServersLocked();
    auto record = ZemNetworkInfoModel::currentNetRecord();
    int64_t type = record ? record->networkType : 0;
    std::vector<std::string>* list = &AllMulSvrs_;
    int64_t* cursor = &AllmulSvrsCount_;
    if (type == 0) {
        list = &intranetMulSvrs_;
        cursor = &intra_mulSvrsCount_;
    } else if (type == 1) {
        list = &extranetMulSvrs_;
        cursor = &extra_mulSvrsCount_;
    }
    if (*cursor < 0 || *cursor >= static_cast<int64_t>(list->size())) *cursor = 0;
    std::string next = (*list)[static_cast<size_t>(*cursor)];
    ++*cursor;
    return next;
}

void ZemServerConfig::resetCount(int64_t networkType) {
    std::lock_guard lock(mutex_);
    if (networkType == 1) {
        extra_mulSvrsCount_ = 0;
    } else if (networkType == 0) {
        intra_mulSvrsCount_ = 0;
    } else {
        AllmulSvrsCount_ = 0;
    }
}

void ZemServerConfig::ensureListsLocked() {
    if (intranet_.port == 0) {
        updateServerConfigLocked();
    } else if (!listsBuilt_) {
        refreshAllServersLocked();
    }
}

std::optional<std::string> ZemServerConfig::historyRecord_server() {
    std::lock_guard lock(mutex_);
    ensureListsLocked();
    uint64_t port = 0;
    if (auto host = listedRecordServerLocked(&port)) return host;
    return intranet_.host;
}

uint64_t ZemServerConfig::historyRecord_port() {
    std::lock_guard lock(mutex_);
    ensureListsLocked();
    uint64_t port = 0;
    if (listedRecordServerLocked(&port)) return port;
    return intranet_.port;
}

void ZemServerConfig::setServerRecordWriter(bool writer) {
    std::lock_guard lock(mutex_);
    recordWriter_ = writer;
}

bool ZemServerConfig::serverRecordWriter() const {
    std::lock_guard lock(mutex_);
    return recordWriter_;
}

#define ZEM_SERVER_FIELD(getter, setter, member, type) \
    type ZemServerConfig::getter() const {             \
        std::lock_guard lock(mutex_);                  \
        return member;                                 \
    }                                                  \
    void ZemServerConfig::setter(type value) {         \
        std::lock_guard lock(mutex_);                  \
        member = std::move(value);                     \
    }

ZEM_SERVER_FIELD(intranet_server, setIntranet_server, intranet_.host, std::optional<std::string>)
ZEM_SERVER_FIELD(intranet_port, setIntranet_port, intranet_.port, uint64_t)
ZEM_SERVER_FIELD(extranet_server, setExtranet_server, extranet_.host, std::optional<std::string>)
ZEM_SERVER_FIELD(extranet_port, setExtranet_port, extranet_.port, uint64_t)
#undef ZEM_SERVER_FIELD

std::optional<std::string> ZemServerConfig::domain_server() const {
    std::lock_guard lock(mutex_);
    return domain_.host;
}

void ZemServerConfig::setDomain_server(std::optional<std::string> host) {
    std::lock_guard lock(mutex_);
    domain_.host = std::move(host);
}

uint64_t ZemServerConfig::domain_port() const {
    std::lock_guard lock(mutex_);
    return domain_.port;
}

void ZemServerConfig::setDomain_port(uint64_t port) {
    std::lock_guard lock(mutex_);
    domain_.port = port;
}

std::vector<std::string> ZemServerConfig::AllMulSvrs() const {
    std::lock_guard lock(mutex_);
    return AllMulSvrs_;
}

std::vector<std::string> ZemServerConfig::intranetMulSvrs() const {
    std::lock_guard lock(mutex_);
    return intranetMulSvrs_;
}

std::vector<std::string> ZemServerConfig::extranetMulSvrs() const {
    std::lock_guard lock(mutex_);
    return extranetMulSvrs_;
}

int64_t ZemServerConfig::AllmulSvrsCount() const {
    std::lock_guard lock(mutex_);
    return AllmulSvrsCount_;
}

int64_t ZemServerConfig::intra_mulSvrsCount() const {
    std::lock_guard lock(mutex_);
    return intra_mulSvrsCount_;
}

int64_t ZemServerConfig::extra_mulSvrsCount() const {
    std::lock_guard lock(mutex_);
    return extra_mulSvrsCount_;
}

}  // namespace common
