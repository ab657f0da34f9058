#include "TesselClient.h"

#include "platform/ipc/MessagePort.h"

namespace tessel {

namespace {

uint64_t resultCode(ipc::MessageStatus status) {
    switch (status) {
        case ipc::MessageStatus::Success:
            return TesselReplyReceived;
        case ipc::MessageStatus::SendTimeout:
            return TesselSendTimeout;
        case ipc::MessageStatus::ReceiveTimeout:
            return TesselReceiveTimeout;
        case ipc::MessageStatus::IsInvalid:
            return TesselPortInvalid;
        case ipc::MessageStatus::TransportError:
            return TesselTransportError;
        case ipc::MessageStatus::BecameInvalid:
            return TesselPortBecameInvalid;
        case ipc::MessageStatus::NoSuchPort:
            return TesselNoSuchPort;
        case ipc::MessageStatus::Other:
            break;
    }
    return TesselOtherError;
}

}  // namespace

TesselClient::TesselClient() = default;

std::optional<std::vector<uint8_t>> TesselClient::sendMessageWithName(const std::string& name,
                                                                      const std::vector<uint8_t>& data,
                                                                      int32_t msgid, uint64_t* retCode) {
    // Every message opens its own connection and closes it after the exchange.
    ipc::Scope scope;
    scope.user = userScope();
    ipc::MessageReply reply =
        ipc::sendMessage(name, msgid, data, sendTimeout(), recvTimeout(), 64u << 20, scope);
    if (retCode) *retCode = resultCode(reply.status);
    if (reply.status != ipc::MessageStatus::Success || !reply.data || reply.data->empty())
        return std::nullopt;
    return std::move(reply.data);
}

// "Now": a port whose queue is full is not waited for beyond a second.
bool TesselClient::startTestConnect(const std::string& name) {
    ipc::Scope scope;
    scope.user = userScope();
    return ipc::canOpenPort(name, 1.0, scope);
}

}  // namespace tessel
