// The report service's requests to the management server: builds a request of its action, POSTs
// it URL-encoded under yj/ on the last good server and parses the reply of that action.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/archive/Value.h"
#include "bus/ZemBusMessages.h"
#include "daemon/link/ZemHttpSession.h"

namespace common { class ZemServerConfig; }

namespace bus {

// One header line "Name: value", or nothing when the name or the value holds CR, LF or NUL (or
// the name a colon or blank): such text would start a header or a request of its own.
std::optional<std::string> headerLine(std::string_view name, std::string_view value);

}  // namespace bus

class ZemBusCore {
  public:
    // success, the typed reply (nullptr on failure), a text for the caller ("upload server is null")
    using Completion = std::function<void(
        bool success, std::shared_ptr<const google::protobuf::Message> reply, std::string text)>;

    // config: nullptr for the process's shared configuration. facts: the head's device facts;
    // unset, they are read from this device for every request.
    explicit ZemBusCore(common::ZemServerConfig* config = nullptr,
                        std::optional<bus::HeadFacts> facts = std::nullopt);

    // Sends action 8200 with userInfo["userInfo"] as the list of states; the completion runs once,
    // on the session's queue (or at once when no server is known).
    void sendPoliceStateRequest(archive::Dictionary userInfo, Completion complete);

    // Sends action 4000 to yj/debug with the archive's "lastSeq", "logSize", "logMd5" and
    // "logName"; the completion runs once, with a DebugLogUploadMsgRsp on success. With no server
    // known it completes at once with the text "upload server is null".
    void sendDebugLogRequest(archive::Dictionary userInfo, Completion complete);

    // The request of an action (nullptr for other than 8200 and 4000).
    std::unique_ptr<zem::ZemRequest> getRequestWithType(int32_t type) const;
    // The reply of an action over the decoded bytes (nullptr for other than 8200 and 4000).
    static std::unique_ptr<zem::ZemResponse> getResponseWithType(int32_t type, std::vector<uint8_t> data);
    // Decodes a reply body of an action and completes with its typed reply.
    static void parseResponseData(const std::vector<uint8_t>& data, int32_t type, const Completion& complete);

    // The request's header lines, made new for each request.
    static std::vector<std::string> requestHeaders(size_t bodyLength);

    // Per-request time-out.
    static constexpr std::chrono::milliseconds kTimeout{30'000};

  private:
    // Builds the request of an action from userInfo and POSTs it to path on the last good server;
    // failed starts each log line of a failure.
    void post(int32_t type, const std::string& path, const std::string& failed, archive::Dictionary userInfo,
              Completion complete);
    common::ZemServerConfig& config() const;
    common::ZemServerConfig* config_;
    std::optional<bus::HeadFacts> facts_;
    std::shared_ptr<hollin::ZemHttpSession> session_;
};
