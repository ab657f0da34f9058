// The HTTP session the client-login API shares: requests run one at a time on a serial queue,
// each with its own deadline and a cap on the reply's size; replies are parsed as JSON and
// handed, with any error, to a completion on the main queue.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "platform/core/Error.h"
#include "platform/dispatch/WorkQueue.h"

namespace hux {

using Json = nlohmann::json;

struct HttpRequest {
    std::string method = "GET";  // "GET" or "POST"
    std::string url;
    std::string body;
    std::vector<std::string> headers;
    std::chrono::milliseconds timeout{3'000};
};

struct HttpReply {
    std::optional<Json> json;  // null JSON for an empty 2xx body
    std::optional<ErrorValue> error;
};

class HttpSession {
  public:
    // Largest reply body kept; a longer one fails the request.
    static constexpr size_t kMaxReplyBytes = size_t{8} << 20;
    // Codes of errors that carry no HTTP status.
    static constexpr long kErrorTimedOut = -1001;
    static constexpr long kErrorCannotConnect = -1004;
    static constexpr long kErrorOther = -1;
    static constexpr long kErrorTooLarge = -1103;
    static constexpr long kErrorNotJson = 3840;

    explicit HttpSession(std::shared_ptr<dispatch::WorkQueue> queue,
                         std::shared_ptr<dispatch::WorkQueue> completionQueue = dispatch::WorkQueue::main());

    // Starts the request on the session's queue; completion runs once on the completion queue.
    void send(HttpRequest request, std::function<void(HttpReply)> completion);

    // Runs one request on the calling thread. Success is a 2xx status with a body that is empty or
    // JSON. A status outside 2xx gives an error of domain "HTTPStatus" whose code is the status and
    // whose text is empty.
    static HttpReply perform(const HttpRequest& request);

  private:
    std::shared_ptr<dispatch::WorkQueue> queue_;
    std::shared_ptr<dispatch::WorkQueue> completionQueue_;
};

}  // namespace hux
