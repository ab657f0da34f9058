// The read side of the main server link: URL-decodes each reply, parses it into the reply class
// of its action, records the server that answered as the last good server and hands the reply
// on; a command-triggered request without a usable reply rolls its command back.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "OperationQueueManager.h"
#include "ZemLinkContext.h"
#include "ZemSocketMessageModel.h"

namespace zem { class ZemResponse; }

namespace hollin {

class ZemResponseHandle;

class ZemSocketReadManager : public std::enable_shared_from_this<ZemSocketReadManager> {
  public:
    static constexpr int32_t kMaxConcurrentOperations = 4;
    // After a reply this large the freed memory is handed back to the system.
    static constexpr size_t kTrimAfterBytes = 1u << 20;

    static ZemSocketReadManager& sharedInstance();
    explicit ZemSocketReadManager(ZemLinkContext context = {});
    ~ZemSocketReadManager();

    // Parses the record on the global queue.
    void distributeSocketRead(ZemSocketMessagePtr record);
    // The same in two steps: beginRead counts a read before its record leaves the link's queue,
    // distributeCountedRead then parses it (cancelRead when it is not handed over after all).
    void beginRead();
    void cancelRead();
    void distributeCountedRead(ZemSocketMessagePtr record);
    void parseReadData(const ZemSocketMessagePtr& record);
    // The reply object of an action on decoded bytes; nothing for an action without a reply class.
    static std::unique_ptr<zem::ZemResponse> getResponseWithType(int32_t action, std::vector<uint8_t> data);
    // Rolls back the command behind a command-triggered request.
    void updateCMDModel(const ZemSocketMessagePtr& record);
    void saveHistoryRecordServer(const std::string& host, int64_t port);
    // The command type a failed request of this kind rolls back; 0 for none.
    static int64_t rollbackCommandType(uint64_t reqTag);

    // True when every reply handed over so far has been parsed before the deadline.
    bool waitForPendingReads(std::chrono::milliseconds limit);

    void setHost(const std::string& host);
    void setPort(int64_t port);
    std::string host() const;
    int64_t port() const;
    OperationQueueManager& queueManager() { return queueManager_; }
    ZemResponseHandle& rspHandle() { return *rspHandle_; }

  private:
    void log(const std::string& line) const;

    ZemLinkContext context_;
    mutable std::mutex mutex_;
    std::condition_variable drained_;
    int pending_ = 0;
    std::string host_;
    int64_t port_ = 0;
    OperationQueueManager queueManager_;
    std::shared_ptr<ZemResponseHandle> rspHandle_;
};

}  // namespace hollin
