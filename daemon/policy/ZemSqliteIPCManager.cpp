#include "ZemSqliteIPCManager.h"

#include "common/logger/DaemonLog.h"

#include <nlohmann/json.hpp>

#include "common/logger/RotatingLogger.h"
#include "PolicyCondition.h"
#include "ZemClientFMDB.h"

using nlohmann::json;
using common::LogCoreHelper;

namespace hollin {

namespace {

void log(const std::string& line) {
    common::daemonLog().writeLog(line, 1);
}

ipc::Bytes bytesOf(const std::string& text) {
    return ipc::Bytes(text.begin(), text.end());
}

// Pretty-printed JSON; text that is not valid UTF-8 is replaced rather than failing the reply.
ipc::Bytes jsonReply(const json& value) {
    return bytesOf(value.dump(4, ' ', false, json::error_handler_t::replace));
}

bool validUtf8(const ipc::Bytes& data) {
    static constexpr uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
    size_t i = 0;
    while (i < data.size()) {
        const uint8_t c = data[i];
        size_t n;  // continuation bytes
        if (c < 0x80) n = 0;
        else if ((c & 0xE0) == 0xC0) n = 1;
        else if ((c & 0xF0) == 0xE0) n = 2;
        else if ((c & 0xF8) == 0xF0) n = 3;
        else return false;
        if (data.size() - i <= n) return false;
        uint32_t cp = n == 0 ? c : c & (0x3F >> n);
        for (size_t k = 1; k <= n; ++k) {
            if ((data[i + k] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (data[i + k] & 0x3F);
        }
        if (cp < kMin[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += n + 1;
    }
    return true;
}

std::optional<json> parseJson(const ipc::Bytes& data) {
    json value = json::parse(data.begin(), data.end(), nullptr, false);
    if (value.is_discarded()) return std::nullopt;
    return value;
}

// The port's callback: message id and request data in, reply data or nothing out.
std::optional<ipc::Bytes> onRecvMsgCallBack(ipc::LocalMessagePort&, int32_t msgid, const ipc::Bytes& data,
                                            void* info) {
    return static_cast<ZemSqliteIPCManager*>(info)->handleMessage(msgid, data);
}

}  // namespace

ZemSqliteIPCManager::ZemSqliteIPCManager() : ZemSqliteIPCManager(ZemClientFMDB::sharedInstance(), kPortName) {}

ZemSqliteIPCManager::ZemSqliteIPCManager(ZemClientFMDB& database, std::string portName)
    : database_(database), portName_(std::move(portName)) {}

void ZemSqliteIPCManager::startMsgPort() {
    ipc::LocalMessagePort::Options options;
    options.rootOnly = true;  // the runner is a root job; nobody else may read or change policies
    options.maxRequestBytes = kMaxRequestBytes;
    auto port = ipc::LocalMessagePort::create(
        portName_,
        [this](ipc::LocalMessagePort& p, int32_t msgid, const ipc::Bytes& data) {
            return onRecvMsgCallBack(p, msgid, data, this);
        },
        options);
    if (!port) {
        log("[ZemSqliteIPCManager] message port " + portName_ + " could not be created");
        return;
    }
    {
        std::lock_guard lock(mutex_);
        if (stopped_) return;
        mMsgPortListenner = port;
    }
    port->run();
}

void ZemSqliteIPCManager::stopMsgPort() {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    if (mMsgPortListenner) mMsgPortListenner->invalidate();
}

std::optional<ipc::Bytes> ZemSqliteIPCManager::handleMessage(int32_t msgid, const ipc::Bytes& data) {
    if (msgid < kFirstMessage || msgid > kLastMessage) return std::nullopt;
    switch (msgid) {
        case 100000: {
            auto rows = database_.getAllPolicy();
            if (!rows) return std::nullopt;
            return jsonReply(*rows);
        }
        case 100001: {
            if (data.empty()) return std::nullopt;
            std::optional<policydb::PolicyCondition> where;
            if (validUtf8(data)) where = policydb::PolicyCondition::parse(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
            if (!where) {
                log("[ZemSqliteIPCManager] refused a lookup condition of " + std::to_string(data.size()) + " bytes");
                return std::nullopt;
            }
            auto rows = database_.lookupPolicyWithWhere(*where);
            if (!rows || rows->empty()) return std::nullopt;
            return jsonReply(*rows);
        }
        case 100002: {
            if (data.empty()) return std::nullopt;
            auto state = parseJson(data);
            if (state && state->is_object()) database_.insertPolicyStateToDB(*state);
            return bytesOf("1");
        }
        case 100003:
            return bytesOf(std::to_string(database_.getDBCount()));
        case 100004:
            database_.deleteAllData();
            return bytesOf("1");
        case 100005: {
            auto rows = database_.getAllPolicyState();
            if (!rows || rows->empty()) return std::nullopt;
            return jsonReply(*rows);
        }
        case 100006: {
            if (data.empty()) return std::nullopt;
            auto request = parseJson(data);
            if (!request || !request->is_object()) return bytesOf("1");
            auto it = request->find("policy_id");
            if (it == request->end()) return bytesOf("1");
            std::optional<policydb::ConditionValue> id;
            if (it->is_number_integer() && (it->is_number_unsigned() ? it->get<uint64_t>() <= uint64_t(INT64_MAX) : true)) {
                id = it->get<int64_t>();
            } else if (it->is_number_float()) {
                id = it->get<double>();
            } else if (it->is_string()) {
                id = it->get<std::string>();  // bound as a value: compared, never run
            }
            if (id) database_.updatePolicy(json{{"run_state", 1}}, *policydb::PolicyCondition::equals("policy_id", *id));
            return bytesOf("1");
        }
    }
    return std::nullopt;
}

}  // namespace hollin
