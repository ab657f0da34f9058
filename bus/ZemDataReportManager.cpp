#include "ZemDataReportManager.h"

#include <nlohmann/json.hpp>

#include "bus/DataReportManager.h"
#include "bus/JsonValue.h"
#include "bus/PolicyStateReportManager.h"
#include "bus/ZemLogReportManager.h"
#include "platform/dispatch/WorkQueue.h"
#include "common/logger/LogSink.h"

using common::processLog;

namespace {

void log(const std::string& line) {
    processLog().writeLog(line);
}

}  // namespace

ZemDataReportManager::ZemDataReportManager(std::shared_ptr<ZemBusCore> core)
    : policyStateCore_(core ? std::move(core) : std::make_shared<ZemBusCore>()) {}

void ZemDataReportManager::reportGetPolicyState(const archive::Array& states,
                                                std::function<void(bool)> done) {
    log("[policy state] start upload police state");
    auto incoming = std::make_shared<const archive::Array>(states);
    auto merged = std::make_shared<archive::Array>(states);
    if (auto cached = PolicyStateReportManager::getUploadedPolicyStateFromDisk())
        merged->insert(merged->end(), cached->begin(), cached->end());
    archive::Dictionary userInfo{{"userInfo", archive::Value(*merged)}};
    policyStateCore_->sendPoliceStateRequest(
        std::move(userInfo),
        [incoming, merged, done = std::move(done)](
            bool success, std::shared_ptr<const google::protobuf::Message>, std::string) {
            if (success) {
                log("[ZemBus][policy state] upload success");
            } else {
                // A long backlog gives way to the newest states.
                PolicyStateReportManager::saveUploadedPolicyState(
                    merged->size() > kMaxMergedToCache ? *incoming : *merged);
                log("[ZemBus][policy state] upload failed");
            }
            if (done) done(success);
        });
}

void ZemDataReportManager::reportPolicyStates(const std::string& json) {
    nlohmann::json parsed = nlohmann::json::parse(json, nullptr, false);
    if (parsed.is_discarded() || !parsed.is_array()) {
        log("[ZemBus][policy state] ipc data is null, error:" +
            std::string(parsed.is_discarded() ? "invalid JSON" : "not an array"));
        return;
    }
    const archive::Value states = bus::archiveValueFromJson(parsed);
    reportGetPolicyState(*states.array());
}

ipc::VendedObject ZemDataReportManager::vendedObject() {
    ipc::VendedObject object;
    object.add("uploadDebugLog", [](const archive::Array&) -> std::optional<archive::Value> {
        log("[ZemBus][DebugLog] start report debug logs...");
        // One job runner for the process, so debug commands never run two jobs at once; it lives
        // as long as the process (its queue may still run while statics are destroyed).
        static ZemLogReportManager* const debugLogs = new ZemLogReportManager();
        debugLogs->reportDebugLog();
        return std::nullopt;
    });
    object.add("reportGetPolicyState:", [this](const archive::Array& args) -> std::optional<archive::Value> {
        if (!args.empty())
            if (const auto* states = args[0].array()) reportGetPolicyState(*states);
        return std::nullopt;
    });
    object.add("reportPolicyStates:", [this](const archive::Array& args) -> std::optional<archive::Value> {
        if (!args.empty())
            if (const auto* data = args[0].data())
                reportPolicyStates(std::string(data->begin(), data->end()));
        return std::nullopt;
    });
    // The report entries of the upload engine: the data goes on to a global queue and the call
    // returns at once.
    using Entry = void (DataReportManager::*)(const std::optional<std::string>&);
    for (const auto& [selector, entry] :
         {std::pair<const char*, Entry>{"uploadInfoCollectLog:", &DataReportManager::setReportData},
          {"uploadDumpData:", &DataReportManager::uploadProcessDump},
          {"uploadAppListData:", &DataReportManager::uploadAppList},
          {"uploadFileDiskEncryptState:", &DataReportManager::uploadDiskEncryptState},
          {"uploadReinforceResultData:", &DataReportManager::uploadReinforceResult},
          {"uploadComplianceResultWithData:", &DataReportManager::uploadComplianceResult}}) {
        object.add(selector, [entry = entry](const archive::Array& args) -> std::optional<archive::Value> {
            std::optional<std::string> data;
            if (!args.empty())
                if (const auto* bytes = args[0].data()) data = std::string(bytes->begin(), bytes->end());
            dispatch::WorkQueue::global()->dispatch(
                [entry, data] { (DataReportManager::sharedInstance().*entry)(data); });
            return std::nullopt;
        });
    }
    return object;
}

ipc::VendedObject BusLiveServer::vendedObject() {
    ipc::VendedObject object;
    object.add("responseLiveOfBus", [](const archive::Array&) -> std::optional<archive::Value> {
        return archive::Value(responseLiveOfBus());
    });
    return object;
}

namespace bus {

std::string busPortReply(int32_t msgid, const std::optional<std::string>& data) {
    if (msgid != 2000) return "0";
    if (!data) return "-3";
    if (data->empty()) return "-1";
    // The user-action monitor takes the text and keeps nothing of it.
    return "1";
}

}  // namespace bus
