// The link's HTTP session over libcurl: one POST at a time per call, performed and completed on
// the session's queue, with a deadline, the environment's proxy, redirects followed, a cap on the
// reply size and connections kept for reuse between calls.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/dispatch/WorkQueue.h"

namespace hollin {

struct ZemHttpRequest {
    std::string url;
    std::vector<std::string> headers;  // "Name: value"
    std::vector<uint8_t> body;
    std::chrono::milliseconds timeout{20'000};
};

struct ZemHttpReply {
    long status = 0;
    std::vector<uint8_t> body;
    bool tooLarge = false;  // the body went past the session's cap and was dropped
    std::string error;      // empty for a status 200-299 with its whole body
    bool succeeded() const { return error.empty(); }
};

class ZemHttpSession {
  public:
    using Completion = std::function<void(ZemHttpReply)>;
    static constexpr size_t kDefaultMaxReplyBytes = 16u * 1024 * 1024;

    // The queue runs the transfer and then the completion; a concurrent queue lets several
    // transfers run at once.
    explicit ZemHttpSession(std::shared_ptr<dispatch::WorkQueue> queue,
                            size_t maxReplyBytes = kDefaultMaxReplyBytes);
    ~ZemHttpSession();
    ZemHttpSession(const ZemHttpSession&) = delete;
    ZemHttpSession& operator=(const ZemHttpSession&) = delete;

    void post(ZemHttpRequest request, Completion completion);
    // The same transfer on the calling thread.
    ZemHttpReply postSync(const ZemHttpRequest& request);

    const std::shared_ptr<dispatch::WorkQueue>& queue() const { return queue_; }
    size_t maxReplyBytes() const;

  private:
    struct Pool;
    std::shared_ptr<dispatch::WorkQueue> queue_;
    std::shared_ptr<Pool> pool_;
};

}  // namespace hollin
