// Two-way connections to a named service: a listener accepts connections under a service name;
// both ends send dictionaries, with or without a reply handler, and each learns once when the
// other goes away.
//
// Wire (ValueCoding form): {"kind": "message"|"reply", "id": n, "body": {...}}; a message with
// id 0 wants no reply, a reply carries the id of its message. Each connection reads on a thread of
// its own, where its message handler, reply handlers and invalidation handler run in order.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "platform/archive/KeyedArchive.h"
#include "platform/archive/Value.h"
#include "Endpoint.h"

namespace ipc {

using XpcMessage = archive::Dictionary;

struct XpcOptions {
    // Client: the service must run as root. Listener: socket 0600 and only root peers.
    bool privileged = false;
    // Archived classes that messages may carry.
    archive::ClassAllowList allowedClasses;
    size_t maxMessageBytes = 16u << 20;
    // Time to connect, and to hand one message to the socket.
    double sendTimeout = 10.0;
    // Root's services by default; a user's services in that user's folder.
    Scope scope;
    // Listener: connections kept at once (each reads on a thread of its own), what one user
    // other than root may keep, and how many only root may take; beyond these a new connection
    // is closed at once.
    size_t maxConnections = 64;
    size_t maxConnectionsPerUser = 8;
    size_t rootReserve = 16;
    // Listener: bytes of messages in arrival, per user and of all users but root together
    // (0: twice and four times maxMessageBytes).
    size_t maxHeldBytesPerUser = 0;
    size_t maxHeldBytesOthers = 0;
};

class XpcListener;

class XpcConnection : public std::enable_shared_from_this<XpcConnection> {
  public:
    // Answers a message; callable once, from any thread, also after the handler returned.
    using Reply = std::function<void(const XpcMessage& reply)>;
    // reply is empty when the sender expects none.
    using MessageHandler = std::function<void(const XpcMessage& message, const Reply& reply)>;
    // Called once: with the reply, or with nothing when the connection ends first.
    using ReplyHandler = std::function<void(std::optional<XpcMessage> reply)>;

    // A connection to a service; nothing happens before resume().
    static std::shared_ptr<XpcConnection> create(const std::string& serviceName, const XpcOptions& options);
    static std::shared_ptr<XpcConnection> create(const std::string& serviceName) {
        return create(serviceName, XpcOptions{});
    }
    ~XpcConnection();
    XpcConnection(const XpcConnection&) = delete;
    XpcConnection& operator=(const XpcConnection&) = delete;

    // Set these before resume().
    void setMessageHandler(MessageHandler handler);
    void setInvalidationHandler(std::function<void()> handler);

    // Connects (a client connection) and starts reading. A connection that cannot be made is
    // invalidated. A running connection stays alive until it is invalidated, even when its
    // owner lets it go: call invalidate() to end it.
    void resume();

    // False when the connection is not running or the message could not be handed over.
    bool send(const XpcMessage& message);
    bool send(const XpcMessage& message, ReplyHandler handler);
    // Waits at most timeout seconds; not from this connection's own handlers.
    std::optional<XpcMessage> sendSync(const XpcMessage& message, double timeout);

    // Ends the connection: pending reply handlers get nothing, then the invalidation handler runs.
    void invalidate();
    bool isValid() const { return !invalidated_.load(); }

    const std::string& serviceName() const { return serviceName_; }
    // The peer's credentials, known once connected.
    std::optional<PeerCredentials> peer() const;

  private:
    friend class XpcListener;
    XpcConnection() = default;
    bool write(const XpcMessage& message, int64_t id, const char* kind);
    void readLoop();
    void finish();

    std::string serviceName_;
    XpcOptions options_;
    bool accepted_ = false;  // made by a listener, already connected

    mutable std::mutex mutex_;
    MessageHandler messageHandler_;
    std::function<void()> invalidationHandler_;
    std::map<int64_t, ReplyHandler> pending_;
    int64_t nextId_ = 1;
    bool resumed_ = false;
    bool finished_ = false;
    std::optional<PeerCredentials> peer_;

    std::mutex writeMutex_;  // one frame at a time; the descriptor closes under it
    UniqueFd fd_;
    Waker waker_;
    std::atomic<bool> invalidated_{false};
    std::shared_ptr<XpcConnection> self_;  // keeps a running connection alive
    // Accepted connections: the listener's turn this connection holds, and its message budget.
    std::shared_ptr<void> turn_;
    std::shared_ptr<FrameBudget> budget_;
};

class XpcListener {
  public:
    // Takes a new connection: set its handlers and resume it, then answer true to keep it.
    using AcceptHandler = std::function<bool(const std::shared_ptr<XpcConnection>& connection)>;

    static std::shared_ptr<XpcListener> create(const std::string& serviceName, const XpcOptions& options);
    static std::shared_ptr<XpcListener> create(const std::string& serviceName) {
        return create(serviceName, XpcOptions{});
    }
    ~XpcListener();
    XpcListener(const XpcListener&) = delete;
    XpcListener& operator=(const XpcListener&) = delete;

    void setAcceptHandler(AcceptHandler handler);
    // Registers the name (or adopts a listener a supervisor handed over for it) and accepts on a
    // thread of its own; false when the name is held.
    bool resume();
    // Connections this listener keeps now.
    size_t connectionCount() const;
    // Withdraws the name; connections already accepted go on.
    void invalidate();

  private:
    XpcListener() = default;
    struct State;
    std::string serviceName_;
    XpcOptions options_;
    std::shared_ptr<State> state_;
    std::thread thread_;
};

}  // namespace ipc
