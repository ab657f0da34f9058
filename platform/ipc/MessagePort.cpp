#include "MessagePort.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>

namespace ipc {

namespace {

double nonNegative(double seconds) {
    return std::isfinite(seconds) && seconds > 0 ? seconds : 0.0;
}

// After a failed read: did the server close its end (it stopped or died)?
bool peerClosed(int fd) {
    uint8_t b;
    ssize_t r = ::recv(fd, &b, 1, MSG_PEEK | MSG_DONTWAIT);
    return r == 0 || (r < 0 && (errno == ECONNRESET || errno == EPIPE));
}

}  // namespace

std::shared_ptr<LocalMessagePort> LocalMessagePort::create(const std::string& name, Callback callback,
                                                           const Options& options) {
    auto endpoint = ListeningEndpoint::open(ServiceKind::MessagePort, name, options.rootOnly, options.scope);
    if (!endpoint || !callback) return nullptr;
    std::shared_ptr<LocalMessagePort> port(new LocalMessagePort());
    port->name_ = name;
    port->callback_ = std::move(callback);
    ServeLoop::Options loopOptions;
    loopOptions.maxRequestBytes = options.maxRequestBytes;
    loopOptions.closeAfterReply = true;
    LocalMessagePort* self = port.get();  // the loop is owned by the port and runs inside run()
    port->loop_ = std::make_unique<ServeLoop>(
        std::move(endpoint), loopOptions,
        [self](std::vector<uint8_t>& request, const PeerCredentials&) -> std::optional<ServeLoop::Reply> {
            if (request.size() < 4) return std::nullopt;
            const uint8_t* id = request.data() + request.size() - 4;
            uint32_t raw =
                (uint32_t(id[0]) << 24) | (uint32_t(id[1]) << 16) | (uint32_t(id[2]) << 8) | uint32_t(id[3]);
            request.resize(request.size() - 4);
            std::optional<Bytes> answer;
            try {
                answer = self->callback_(*self, static_cast<int32_t>(raw), request);
            } catch (...) {
                answer.reset();
            }
            // The answer's own buffer goes out as it is, its flag after it.
            if (!answer) return ServeLoop::Reply({}, uint8_t(0));
            return ServeLoop::Reply(std::move(*answer), uint8_t(1));
        });
    return port;
}

void LocalMessagePort::run() {
    loop_->run();
}

void LocalMessagePort::invalidate() {
    loop_->stop();
}

MessageReply sendMessage(const std::string& name, int32_t msgid, std::span<const uint8_t> data,
                         double sendTimeout, double receiveTimeout, size_t maxReplyBytes,
                         const Scope& scope) {
    MessageReply out;
    if (name.empty()) {
        out.status = MessageStatus::NoSuchPort;
        return out;
    }
    Deadline sendDeadline = deadlineAfter(nonNegative(sendTimeout));
    ConnectError connectError;
    UniqueFd fd = connectToService(ServiceKind::MessagePort, name, sendDeadline, &connectError, scope);
    switch (connectError) {
        case ConnectError::None:
            break;
        case ConnectError::NoSuchName:
            out.status = MessageStatus::NoSuchPort;
            return out;
        case ConnectError::TimedOut:
            out.status = MessageStatus::SendTimeout;
            return out;
        case ConnectError::InvalidName:
            out.status = MessageStatus::IsInvalid;
            return out;
        case ConnectError::SystemError:
            out.status = MessageStatus::TransportError;
            return out;
    }

    uint32_t raw = static_cast<uint32_t>(msgid);
    const uint8_t id[4] = {uint8_t(raw >> 24), uint8_t(raw >> 16), uint8_t(raw >> 8), uint8_t(raw)};
    std::span<const uint8_t> parts[] = {data, id};
    switch (writeFrameParts(fd.get(), parts, sendDeadline)) {
        case FrameStatus::Ok:
            break;
        case FrameStatus::TimedOut:
            out.status = MessageStatus::SendTimeout;
            return out;
        case FrameStatus::Closed:
            out.status = MessageStatus::BecameInvalid;
            return out;
        case FrameStatus::TooLarge:
        case FrameStatus::Error:
            out.status = MessageStatus::TransportError;
            return out;
    }

    std::vector<uint8_t> reply;
    Deadline receiveDeadline = deadlineAfter(nonNegative(receiveTimeout));
    // The reply cannot be there yet: wait for it first rather than find the socket empty.
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(receiveDeadline -
                                                                      std::chrono::steady_clock::now());
    pollfd ready{fd.get(), POLLIN, 0};
    while (::poll(&ready, 1, static_cast<int>(std::clamp<long long>(left.count(), 0, 1 << 30))) < 0 &&
           errno == EINTR) {
    }
    switch (readFrame(fd.get(), reply, maxReplyBytes + 1, receiveDeadline)) {
        case FrameStatus::Ok:
            break;
        case FrameStatus::TimedOut:
            out.status = MessageStatus::ReceiveTimeout;
            return out;
        case FrameStatus::Closed:
            out.status = MessageStatus::BecameInvalid;
            return out;
        case FrameStatus::TooLarge:
            out.status = MessageStatus::Other;
            return out;
        case FrameStatus::Error:
            out.status = peerClosed(fd.get()) ? MessageStatus::BecameInvalid : MessageStatus::TransportError;
            return out;
    }
    if (reply.empty() || reply.back() > 1) {
        out.status = MessageStatus::Other;
        return out;
    }
    out.status = MessageStatus::Success;
    if (reply.back() == 1) {
        reply.pop_back();
        out.data = std::move(reply);
    }
    return out;
}

bool canOpenPort(const std::string& name, double timeout, const Scope& scope) {
    UniqueFd fd =
        connectToService(ServiceKind::MessagePort, name, deadlineAfter(nonNegative(timeout)), nullptr, scope);
    return fd.valid();
}

}  // namespace ipc
