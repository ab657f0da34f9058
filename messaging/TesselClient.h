// The sending side of the messaging library: one message per call to a named port, bounded by a
// send and a receive time-out, with the outcome as a one-bit result code.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tessel {

// Result codes of sendMessageWithName(); each outcome is one bit.
enum TesselResultCode : uint64_t {
    TesselReplyReceived = 1,
    TesselPortInvalid = 2,
    TesselSendTimeout = 4,
    TesselReceiveTimeout = 8,
    TesselTransportError = 16,
    TesselPortBecameInvalid = 32,
    TesselNoSuchPort = 64,
    TesselOtherError = 128,
};

class TesselClient {
  public:
    // Both time-outs 30 seconds.
    TesselClient();

    double sendTimeout() const { return sendTimeout_.load(); }
    double recvTimeout() const { return recvTimeout_.load(); }
    void setSendTimeout(double seconds) { sendTimeout_.store(seconds); }
    void setReceiveTimeout(double seconds) { recvTimeout_.store(seconds); }
    void setRecvTimeout(double seconds) { setReceiveTimeout(seconds); }

    // Sends data under msgid to the port called name and waits for the reply: up to sendTimeout
    // to deliver, then up to recvTimeout for the answer. Returns the reply, or nothing when the
    // server sent no data or the exchange failed; *retCode (when given) gets the outcome.
    std::optional<std::vector<uint8_t>> sendMessageWithName(const std::string& name,
                                                            const std::vector<uint8_t>& data, int32_t msgid,
                                                            uint64_t* retCode = nullptr);

    // True when a port of that name can be opened now.
    bool startTestConnect(const std::string& name);

    // Whose port names are addressed: root's (nothing, the default) or the given user's own
    // (for instance the console user's app).
    void setUserScope(std::optional<uid_t> uid) { userScope_.store(uid ? int64_t(*uid) : -1); }
    std::optional<uid_t> userScope() const {
        int64_t v = userScope_.load();
        return v < 0 ? std::nullopt : std::optional<uid_t>(static_cast<uid_t>(v));
    }

  private:
    std::atomic<double> sendTimeout_{30.0};
    std::atomic<double> recvTimeout_{30.0};
    std::atomic<int64_t> userScope_{-1};
};

}  // namespace tessel
