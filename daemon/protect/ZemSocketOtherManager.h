// The protect channel: each request is a complete HTTP request text POSTed as the body of an HTTP
// request to the channel's server. A request goes out once per start and leaves the queue with
// its reply or its failure; the read side decodes the reply.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/dispatch/WorkQueue.h"
#include "daemon/link/ZemHttpSession.h"
#include "daemon/link/ZemSocketMessageModel.h"
#include "ZemProtectContext.h"

namespace hollin {

class ZemSocketOtherReadManager;

class ZemSocketOtherManager : public std::enable_shared_from_this<ZemSocketOtherManager> {
  public:
    static constexpr const char* kSocketQueueLabel = "com.velmora.ravaviza.protect.gcdsocket";
    static constexpr const char* kDelQueueLabel = "com.velmora.ravaviza.protect.delQueu";
    static constexpr const char* kCompletionQueueLabel = "com.velmora.http.parse";

    // Create with std::make_shared.
    explicit ZemSocketOtherManager(ZemProtectContext context = {});
    ~ZemSocketOtherManager();
    ZemSocketOtherManager(const ZemSocketOtherManager&) = delete;
    ZemSocketOtherManager& operator=(const ZemSocketOtherManager&) = delete;

    // Queues the record unless a record of its kind is queued and the new one is waiting; true
    // when it was queued.
    bool sendMessage(ZemSocketMessagePtr record);
    // Stores the server and sends every waiting record to it, once.
    void startConnectToHost(const std::string& host, int64_t port);
    // POSTs every waiting record to the channel's server.
    void handleSocketWrite();
    // Ends keep-alive for good: a record left waiting (no server to send it to) is sent once with
    // "Connection: close" when the channel has a server, and dropped otherwise. Records in flight
    // stay until their outcome.
    void disconnectSocket();
    // One POST of the record's body; the outcome goes to the read side or is logged as failed.
    void PostResquestServer(const std::string& host, int64_t port, ZemSocketMessagePtr record);
    static std::string getURLParams(int32_t action);
    std::shared_ptr<ZemHttpSession> createAFHTTPSessionMgr();
    // Announces the end of a machine-information report ("1" answered, "0" not) on the main queue.
    void postReportMachineNotice(const std::string& text);

    // This channel's number in its report notifications.
    int64_t channelId() const { return channelId_; }
    std::vector<ZemSocketMessagePtr> reqModels() const;
    bool longConnection() const { return longConnection_.load(); }
    std::string host() const;
    int64_t port() const;
    ZemSocketOtherReadManager& readSocketManager() { return *readSocketManager_; }
    const ZemProtectContext& context() const { return context_; }

  private:
    void post(const std::string& host, int64_t port, const ZemSocketMessagePtr& record, bool keepAlive);
    void handleCompletion(const ZemSocketMessagePtr& record, ZemHttpReply reply);
    void log(const std::string& line) const;

    ZemProtectContext context_;
    const int64_t channelId_;
    std::atomic<bool> longConnection_{true};

    mutable std::mutex serverMutex_;
    std::string host_;
    int64_t port_ = 0;

    // The send queue, head first; the mutex guards it and the records' status fields.
    mutable std::mutex reqModelsMutex_;
    std::vector<ZemSocketMessagePtr> reqModels_;

    std::shared_ptr<ZemSocketOtherReadManager> readSocketManager_;
    std::shared_ptr<dispatch::WorkQueue> socketQueue_;
    std::shared_ptr<dispatch::WorkQueue> delQueue_;
    std::mutex sessionMutex_;
    std::shared_ptr<ZemHttpSession> sessionMgr_;
};

}  // namespace hollin
