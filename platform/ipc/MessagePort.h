// Named message ports: a server registers a name and answers each message (a 32-bit id and a
// blob) with a blob or nothing; a client sends one message per connection, bounded by a send
// and a receive time-out.
//
// Wire: request frame = data + message id (4 bytes, big-endian); reply frame = data + one byte
// (0: no data, 1: data). The fixed fields trail the data, so that either end takes the data as
// the frame's own buffer, without a copy. The server closes the connection after its reply.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "ServeLoop.h"

namespace ipc {

using Bytes = std::vector<uint8_t>;

class LocalMessagePort {
  public:
    using Callback =
        std::function<std::optional<Bytes>(LocalMessagePort& port, int32_t msgid, const Bytes& data)>;

    struct Options {
        bool rootOnly = false;
        // Ports take small requests; a port that needs more says so.
        size_t maxRequestBytes = 1u << 20;
        // Root's ports by default; a user's ports in that user's folder.
        Scope scope;
    };

    // Registers the name (case is folded); nothing when another live process, or another port of
    // this process, holds it.
    static std::shared_ptr<LocalMessagePort> create(const std::string& name, Callback callback,
                                                    const Options& options);
    static std::shared_ptr<LocalMessagePort> create(const std::string& name, Callback callback) {
        return create(name, std::move(callback), Options{});
    }

    // The name as it was given.
    const std::string& name() const { return name_; }
    bool isValid() const { return !loop_->isStopped(); }

    // Serves messages on the calling thread, one at a time, until the port is invalidated.
    void run();

    // From any thread: the name goes at once; run() returns after the message in hand.
    void invalidate();

    // Waits until run() has returned; false at the time-out or on the serving thread itself.
    bool waitUntilStopped(double seconds) { return loop_->waitUntilIdle(seconds); }

    // What the port holds now (connections served and waiting, bytes of requests in arrival).
    ServeLoop::Load load() const { return loop_->load(); }

  private:
    LocalMessagePort() = default;
    std::string name_;
    Callback callback_;
    std::unique_ptr<ServeLoop> loop_;
};

enum class MessageStatus {
    Success,
    SendTimeout,     // the request could not be delivered in time
    ReceiveTimeout,  // no reply in time
    IsInvalid,       // the name cannot address a port
    TransportError,
    BecameInvalid,  // the server went away during the exchange
    NoSuchPort,
    Other,
};

struct MessageReply {
    MessageStatus status = MessageStatus::Other;
    std::optional<Bytes> data;  // set on success when the server sent data
};

// Sends one message and waits for its reply: up to sendTimeout to connect and deliver, then up
// to receiveTimeout for the reply.
// A time-out of 0 means one try: to connect, to hand the request over, to take a reply there.
MessageReply sendMessage(const std::string& name, int32_t msgid, std::span<const uint8_t> data,
                         double sendTimeout, double receiveTimeout, size_t maxReplyBytes = 64u << 20,
                         const Scope& scope = {});

// True when a port of that name can be opened now.
bool canOpenPort(const std::string& name, double timeout = 1.0, const Scope& scope = {});

}  // namespace ipc
