// The read side of the protect channel: URL-decodes each reply, parses it as the reply class of
// its request's action and acts on it: the location and network-type replies update machine.data
// and tell the -run job, the report's reply ends the report. A report without a usable reply ends
// as not answered.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "daemon/link/OperationQueueManager.h"
#include "daemon/link/ZemSocketMessageModel.h"
#include "ZemProtectContext.h"

namespace zem { class ZemResponse; }
namespace google::protobuf {
class Message;
}

namespace hollin {

struct ZemMachineModel;

class ZemSocketOtherReadManager : public std::enable_shared_from_this<ZemSocketOtherReadManager> {
  public:
    static constexpr int32_t kMaxConcurrentOperations = 4;
    using ReportNotice = std::function<void(const std::string&)>;

    // reportNotice announces the end of a report ("1" or "0").
    ZemSocketOtherReadManager(ZemProtectContext context, ReportNotice reportNotice);
    ~ZemSocketOtherReadManager();

    // Parses the record on the operation queue.
    void distributeSocketRead(ZemSocketMessagePtr record);
    void parseReadData(const ZemSocketMessagePtr& record);
    // The reply object of a channel action on decoded bytes; nothing for any other action.
    static std::unique_ptr<zem::ZemResponse> getResponseWithType(int32_t action, std::vector<uint8_t> data);
    // Acts on a parsed reply by its class; true when it was the reply of a report.
    bool handleSocketResponse(const google::protobuf::Message* message);
    void postReportMachineNotice(const std::string& text);

    // True when every reply handed over so far was parsed before the deadline.
    bool waitForPendingReads(std::chrono::milliseconds limit);
    OperationQueueManager& queueManager() { return queueManager_; }

  private:
    // Applies a server answer to the machine record; true when the record changed and was saved.
    bool updateMachine(const std::function<bool(ZemMachineModel&)>& change);
    void postOnMain(const std::string& name);
    void log(const std::string& line) const;

    ZemProtectContext context_;
    ReportNotice reportNotice_;
    std::mutex mutex_;
    std::condition_variable drained_;
    int pending_ = 0;
    OperationQueueManager queueManager_;
};

}  // namespace hollin
