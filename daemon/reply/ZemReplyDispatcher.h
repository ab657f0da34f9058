// What the -run job does with each parsed reply of the management server: new commands become
// notifications the scheduler answers with a request, the policy list and contents keep the policy
// database in step, the policy runner and the report service hear what changed, upgrade orders go
// to the upgrade app, configuration items to the configuration store, and an overdue ticket is
// marked in the account record.
//
// Replies may arrive on several threads at once: policy and command work is serialised under one
// lock, commands are claimed atomically in the command store, and database changes of one reply go
// in one transaction. Calls to the peers run in order on a serial queue of their own, each bounded
// by a time-out, so a hung peer never holds up the next reply.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <utility>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/archive/Value.h"
#include "platform/dispatch/WorkQueue.h"
#include "proto/zem_v5.pb.h"

namespace common { class ZemCMDManager; }
namespace zem { class ZemResponse; }

namespace hollin {

class ZemClientFMDB;
class ZemConfigManager;
class ZemIPCManager;

class ZemReplyDispatcher {
  public:
    struct Environment {
        common::ZemCMDManager* commands = nullptr;   // null: the shared command store
        ZemClientFMDB* database = nullptr;   // null: the shared policy database
        ZemConfigManager* config = nullptr;  // null: the shared configuration store
        ZemIPCManager* peers = nullptr;      // null: the shared client of the peers
        // How a notification is posted; null: asynchronously on the main queue, default centre.
        std::function<void(const std::string& name, archive::Value object)> post;
        // Seconds since 1970; null: the system clock.
        std::function<double()> now;
        // The console user's name; null: ITDevice.
        std::function<std::string()> consoleUser;
    };

    // A policy row and its state built from one content item.
    struct PolicyRow {
        nlohmann::json row;
        nlohmann::json state;
    };

    static ZemReplyDispatcher& sharedInstance();
    ZemReplyDispatcher() : ZemReplyDispatcher(Environment{}) {}
    explicit ZemReplyDispatcher(Environment env);

    // Routes a parsed reply by the class of its typed message; other classes are ignored.
    void handleResponse(const zem::ZemResponse& response);
    void handleMessage(const google::protobuf::Message& message);

    void overdueTicket(const HeartbeatMsgRsp& reply);
    void handleHeartbeatCmd(const google::protobuf::RepeatedPtrField<CmdStatusRspItem>& items);
    void distributeUpgradeContent(const UpdateMsgRsp& reply);
    static std::string convertUpdateMsg(const UpdateMsgRsp& reply);
    // The ids that are new or changed; withdrawn rows are deleted.
    std::vector<int64_t> handlePolicyIDs(const google::protobuf::RepeatedPtrField<PolicyIdItem>& items);
    void handlePolicyContents(const google::protobuf::RepeatedPtrField<PolicyContItem>& items);
    // Nothing when the item's content is not a JSON object. Fields it lacks (or holds in another
    // type) take the table's defaults; a "content" that is not an object or array stores "".
    std::optional<PolicyRow> convertRspItemToDic(const PolicyContItem& item) const;
    void handleConfigResponse(const ConfigGetMsgRsp& reply);
    void handleFailureResponse() {}

    // The key a row's content is encrypted with: module, deadline without "-", ":" and " ", id,
    // version and run cycle, concatenated.
    static std::string contentKey(const nlohmann::json& row);

    // Waits until the peer calls queued so far have run (tests, an orderly stop).
    void waitForPeers();

  private:
    void post(const std::string& name, archive::Value object = archive::Null{});
    void onPeers(std::function<void(ZemIPCManager&)> call);
    double now() const;
    common::ZemCMDManager& commands();
    ZemClientFMDB& database();

    // Logs an unusable content item once per id and version (the server sends it at every poll).
    void noteUnusableContent(const PolicyContItem& item);

    Environment env_;
    std::mutex policyMutex_;
    std::set<std::pair<int64_t, int64_t>> unusableNoted_;  // guarded by policyMutex_
    std::shared_ptr<dispatch::WorkQueue> peerQueue_;
};

}  // namespace hollin
