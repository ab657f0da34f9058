#include "ZemReplyDispatcher.h"

#include <algorithm>
#include <chrono>
#include <set>

#include "common/account/AccountModel.h"
#include "framework/cipher/AesString.h"
#include "common/command/ZemCMDManager.h"
#include "common/device/ITDevice.h"
#include "platform/dispatch/NotificationCenter.h"
#include "framework/encoding/DateUtil.h"
#include "common/logger/LogSink.h"
#include "daemon/messages/ZemNotificationNames.h"
#include "daemon/peers/ZemIPCManager.h"
#include "daemon/policy/ZemClientFMDB.h"
#include "proto/ZemResponse.h"
#include "daemon/store/ZemConfigManager.h"

using zem::ZemResponse;
using common::AccountModel;
using common::ITDevice;
using common::ZemCMDManager;
using common::ZemCMDModel;
using common::processLog;

namespace hollin {

namespace {

void log(const std::string& line) {
    processLog().writeLog(line, 1);
}

// The run cycle or deadline as the key takes it: text as it stands, a whole number in decimal.
std::string keyText(const nlohmann::json& v) {
    if (v.is_string()) return v.get<std::string>();
    if (v.is_number_integer()) return std::to_string(v.get<int64_t>());
    if (v.is_number()) return nlohmann::json(v).dump();
    return {};
}

}  // namespace

ZemReplyDispatcher& ZemReplyDispatcher::sharedInstance() {
    static ZemReplyDispatcher* instance = new ZemReplyDispatcher();  // lives for the whole process
    return *instance;
}

ZemReplyDispatcher::ZemReplyDispatcher(Environment env)
    : env_(std::move(env)), peerQueue_(dispatch::WorkQueue::create("ravaviza_reply_peers")) {}

double ZemReplyDispatcher::now() const {
    if (env_.now) return env_.now();
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

ZemCMDManager& ZemReplyDispatcher::commands() {
    return env_.commands ? *env_.commands : ZemCMDManager::sharedInstance();
}

ZemClientFMDB& ZemReplyDispatcher::database() {
    return env_.database ? *env_.database : ZemClientFMDB::sharedInstance();
}

void ZemReplyDispatcher::post(const std::string& name, archive::Value object) {
    if (env_.post) {
        env_.post(name, std::move(object));
        return;
    }
    dispatch::WorkQueue::main()->dispatch([name, object = std::move(object)]() mutable {
        dispatch::NotificationCenter::defaultCenter().post(name, std::move(object));
    });
}

void ZemReplyDispatcher::onPeers(std::function<void(ZemIPCManager&)> call) {
    ZemIPCManager* peers = env_.peers ? env_.peers : &ZemIPCManager::sharedInstance();
    peerQueue_->dispatch([peers, call = std::move(call)] { call(*peers); });
}

void ZemReplyDispatcher::waitForPeers() {
    peerQueue_->dispatchSync([] {});
}

void ZemReplyDispatcher::handleResponse(const ZemResponse& response) {
    if (const auto* message = response.responseMsg()) handleMessage(*message);
}

void ZemReplyDispatcher::handleMessage(const google::protobuf::Message& message) {
    if (const auto* hb = dynamic_cast<const HeartbeatMsgRsp*>(&message)) {
        if (hb->reqitemsarray_size() > 0) {
            overdueTicket(*hb);
            handleHeartbeatCmd(hb->reqitemsarray());
        }
    } else if (const auto* ext = dynamic_cast<const HeartbeatExtMsgRsp*>(&message)) {
        if (ext->reqitemsarray_size() > 0) handleHeartbeatCmd(ext->reqitemsarray());
    } else if (const auto* up = dynamic_cast<const UpdateMsgRsp*>(&message)) {
        distributeUpgradeContent(*up);
    } else if (const auto* cfg = dynamic_cast<const ConfigGetMsgRsp*>(&message)) {
        if (cfg->configitemsarray_size() > 0) handleConfigResponse(*cfg);
    } else if (const auto* ids = dynamic_cast<const PolicyIDGetMsgRsp*>(&message)) {
        if (ids->rspitemsarray_size() > 0) {
            std::vector<int64_t> fresh = handlePolicyIDs(ids->rspitemsarray());
            if (!fresh.empty()) {
                archive::Array list;
                list.reserve(fresh.size());
                for (int64_t id : fresh) list.emplace_back(id);
                post(notification::kStartGetPolicyContent, std::move(list));
            }
        }
    } else if (const auto* contents = dynamic_cast<const PolicyContGetMsgRsp*>(&message)) {
        if (contents->rspitemsarray_size() > 0) handlePolicyContents(contents->rspitemsarray());
    }
}

void ZemReplyDispatcher::overdueTicket(const HeartbeatMsgRsp& reply) {
    if (!reply.has_userticket() || reply.ticketstate() != 2) return;
    const std::string user = env_.consoleUser ? env_.consoleUser() : ITDevice::currentDevice().userName();
    if (user == "unknow") return;
    std::optional<AccountModel> account = AccountModel::currentModel();
    if (!account || account->decryptTicket() != reply.userticket() || account->loginType == 3) return;
    account->ticket_state = 2;
    if (!account->save()) log("[ZemResponseHandle] overdue ticket: the account record could not be saved");
}

void ZemReplyDispatcher::handleHeartbeatCmd(
    const google::protobuf::RepeatedPtrField<CmdStatusRspItem>& items) {
    const double current = date::timeIntervalFromCurrentDate(now());
    for (const auto& item : items) {
        ZemCMDModel model = ZemCMDModel::initWithRsp(item.cmdtype(), item.cmdseq(), item.deadline());
        if (model.deadline != 0 && current > static_cast<double>(model.deadline)) continue;
        const int64_t type = model.cmd_type;
        // Types 6 and 7 pass the check but leave the stored sequence as it is.
        const bool store = type != 6 && type != 7;
        if (!commands().checkAndStoreCmd(model, store)) continue;
        switch (type) {
            case 1:
                post(notification::kStartGetUpgradeFromHeart);
                break;
            case 3:
                onPeers([](ZemIPCManager& peers) { peers.reportDebugLog(); });
                break;
            case 4:
                post(notification::kStartGetConfigFromHeart);
                break;
            case 5:
            case 8:
                post(notification::kStartGetPolicyFromHeart);
                break;
            default:
                break;
        }
    }
}

std::string ZemReplyDispatcher::convertUpdateMsg(const UpdateMsgRsp& reply) {
    nlohmann::json j = {{"type", reply.uptype()}, {"url", reply.updateurl()}, {"md5", reply.md5()}};
    return j.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
}

void ZemReplyDispatcher::distributeUpgradeContent(const UpdateMsgRsp& reply) {
    if (reply.uptype() == 3) return;
    std::string data = convertUpdateMsg(reply);
    const int32_t type = reply.uptype();
    onPeers([data = std::move(data), type](ZemIPCManager& peers) { peers.upgradeIPC(data, type); });
}

std::vector<int64_t> ZemReplyDispatcher::handlePolicyIDs(
    const google::protobuf::RepeatedPtrField<PolicyIdItem>& items) {
    std::lock_guard lock(policyMutex_);
    ZemClientFMDB& db = database();
    std::optional<std::vector<int64_t>> stored = db.getAllPolicyIds();
    std::set<int64_t> withdrawn;
    if (stored) withdrawn.insert(stored->begin(), stored->end());
    std::vector<int64_t> fresh;
    std::set<int64_t> seen;
    for (const auto& item : items) {
        const int64_t id = item.id_p();
        withdrawn.erase(id);
        if (!seen.insert(id).second) continue;  // an id listed twice is asked for once
        std::optional<nlohmann::json> rows = stored && !stored->empty() ? db.queryPolicy(id) : std::nullopt;
        bool isNew = true;
        if (rows && rows->is_array() && !rows->empty()) {
            const auto& version = (*rows)[0].value("policy_version", nlohmann::json());
            if (version.is_number_integer()) isNew = version.get<int64_t>() < item.version();
        }
        if (isNew) fresh.push_back(id);
    }
    if (!withdrawn.empty()) {
        std::vector<int64_t> gone(withdrawn.begin(), withdrawn.end());
        if (!db.replacePolicies({}, gone)) log("[ZemResponseHandle] withdrawn policies could not be deleted");
        if (fresh.empty()) onPeers([](ZemIPCManager& peers) { peers.excutePolicy(std::nullopt); });
    }
    return fresh;
}

std::string ZemReplyDispatcher::contentKey(const nlohmann::json& row) {
    std::string deadline = row.value("deadline", std::string());
    std::erase_if(deadline, [](char c) { return c == '-' || c == ':' || c == ' '; });
    return row.value("policy_moudle", std::string()) + deadline +
           std::to_string(row.value("policy_id", int64_t{0})) +
           std::to_string(row.value("policy_version", int64_t{0})) +
           keyText(row.value("runCycle", nlohmann::json()));
}

std::optional<ZemReplyDispatcher::PolicyRow> ZemReplyDispatcher::convertRspItemToDic(
    const PolicyContItem& item) const {
    nlohmann::json content = nlohmann::json::parse(item.content(), nullptr, false);
    if (!content.is_object()) return std::nullopt;
    auto text = [&content](const char* key) {
        auto it = content.find(key);
        return it != content.end() && it->is_string() ? *it : nlohmann::json("");
    };

    nlohmann::json row;
    row["policy_id"] = item.id_p();
    row["policy_version"] = item.version();
    row["policy_moudle"] = text("module");
    auto runCycle = content.find("runcycle");
    row["runCycle"] = runCycle != content.end() && (runCycle->is_number() || runCycle->is_string())
                          ? *runCycle
                          : nlohmann::json(600);
    row["deadline"] = text("deadline");
    row["md5"] = text("md5");
    row["run_state"] = 0;
    row["max_timeout"] = "300";
    // Only an object or an array is written as JSON text; anything else (absent included) gives
    // no text, and the column holds the empty text.
    auto body = content.find("content");
    std::optional<std::string> sealed;
    if (body != content.end() && (body->is_object() || body->is_array())) {
        const std::string clear = body->dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
        sealed = UrlEncode::aes256_encrypt(clear, contentKey(row));
    }
    row["content"] = sealed ? *sealed : std::string();

    nlohmann::json state = {{"policyId", std::to_string(item.id_p())},
                            {"policyVersion", std::to_string(item.version())},
                            {"runState", 0},
                            {"lastTimeStamp", date::currentDateString(now())}};
    return PolicyRow{std::move(row), std::move(state)};
}

void ZemReplyDispatcher::noteUnusableContent(const PolicyContItem& item) {
    constexpr size_t kNotedLimit = 4096;
    {
        std::lock_guard lock(policyMutex_);
        if (unusableNoted_.size() >= kNotedLimit) unusableNoted_.clear();
        if (!unusableNoted_.emplace(item.id_p(), item.version()).second) return;
    }
    log("[ZemResponseHandle] policy " + std::to_string(item.id_p()) + " version " +
        std::to_string(item.version()) +
        " has content that is not a JSON object; skipped, a stored earlier version stays in force");
}

void ZemReplyDispatcher::handlePolicyContents(
    const google::protobuf::RepeatedPtrField<PolicyContItem>& items) {
    log("[ZemResponseHandle] start handlePolicy contencts");
    std::vector<nlohmann::json> rows;
    nlohmann::json states = nlohmann::json::array();
    for (const auto& item : items) {
        std::optional<PolicyRow> built = convertRspItemToDic(item);
        if (!built) {
            noteUnusableContent(item);
            continue;
        }
        rows.push_back(std::move(built->row));
        states.push_back(std::move(built->state));
    }
    if (rows.empty()) return;
    {
        std::lock_guard lock(policyMutex_);
        if (!database().replacePolicies(rows, {})) {
            // The policy command's sequence goes back one step, as for a policy request that got
            // no usable reply, so the next heartbeat brings the command again and the round is
            // asked for once more instead of at the next poll.
            log("[ZemResponseHandle] policy rows could not be stored; the policy command is asked for again");
            common::ZemCMDModel policyCommand;
            policyCommand.cmd_type = 5;
            commands().reverseCMDSeq(policyCommand);
            return;
        }
    }
    log("[ZemResponseHandle] analysis Policy to Marlet");
    std::string data = states.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
    onPeers([states = std::move(states), data = std::move(data)](ZemIPCManager& peers) {
        peers.reportPolicyState(states);
        peers.excutePolicy(data);
    });
}

void ZemReplyDispatcher::handleConfigResponse(const ConfigGetMsgRsp& reply) {
    std::vector<ZemConfigModel> models;
    models.reserve(static_cast<size_t>(reply.configitemsarray_size()));
    for (const auto& item : reply.configitemsarray())
        models.push_back(ZemConfigModel::initWith(item.type(), item.value()));
    (env_.config ? *env_.config : ZemConfigManager::sharedInstance()).updateMemoryConfigs(models);
}

}  // namespace hollin
