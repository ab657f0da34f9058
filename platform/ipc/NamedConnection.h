// Named connections: a process vends an object (a table of selectors) under a connection name;
// another process looks the name up and calls the object's methods with property-list arguments,
// each call bounded by its time-out.
//
// Wire (ValueCoding form): request {"op": "call"|"ping", "id": n, "selector": s, "args": [...]};
// reply {"id": n, "status": "ok"|"void"|"unknown-selector"|"failed", "result": v, "error": s}.
// A vended object is served on a thread of its own, one call at a time, in arrival order.
#pragma once

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

// The time a call waits for its answer unless told otherwise.
inline constexpr double kDefaultCallTimeout = 30.0;

class VendedObject {
  public:
    // A method takes the call's arguments and answers a value, or nothing for a void method.
    using Method = std::function<std::optional<archive::Value>(const archive::Array& args)>;

    VendedObject& add(const std::string& selector, Method method);
    const Method* find(const std::string& selector) const;

  private:
    std::map<std::string, Method> methods_;
};

struct VendOptions {
    // Socket 0600 and only peers running as root are served.
    bool rootOnly = false;
    // Archived classes the arguments may carry.
    archive::ClassAllowList allowedClasses;
    size_t maxMessageBytes = 16u << 20;
    // Root's names by default; a user's names in that user's folder.
    Scope scope;
};

class NamedConnection {
  public:
    // Registers the name and starts serving root; nothing when the name is held by a live process.
    static std::shared_ptr<NamedConnection> vend(const std::string& name, VendedObject root,
                                                 const VendOptions& options);
    static std::shared_ptr<NamedConnection> vend(const std::string& name, VendedObject root) {
        return vend(name, std::move(root), VendOptions{});
    }
    ~NamedConnection();
    NamedConnection(const NamedConnection&) = delete;
    NamedConnection& operator=(const NamedConnection&) = delete;

    const std::string& name() const { return name_; }
    bool isValid() const;
    // Withdraws the name at once; the serving thread ends after the call in hand.
    void invalidate();

  private:
    NamedConnection() = default;
    struct State;
    std::string name_;
    std::shared_ptr<State> state_;
    std::thread thread_;
};

enum class CallStatus {
    Ok,                 // answered; value is empty for a void method
    NoAnswer,           // no answer within the call's time-out
    InvalidConnection,  // the connection is closed or its peer went away
    UnknownSelector,    // the vended object has no such method
    Failed,             // the method failed or a message could not be coded
};

struct CallResult {
    CallStatus status = CallStatus::Failed;
    std::optional<archive::Value> value;
    std::string error;
    bool ok() const { return status == CallStatus::Ok; }
};

struct LookupOptions {
    // Time for connecting and the first answer from the vending process.
    double timeout = 5.0;
    // Accept only a vending process that runs as root.
    bool requireRootPeer = false;
    // Archived classes that results may carry.
    archive::ClassAllowList allowedClasses;
    size_t maxMessageBytes = 64u << 20;
    // Where the name is looked up: root's names by default, or a user's.
    Scope scope;
};

class ConnectionProxy {
  public:
    // Nothing when nobody vends the name (or the vending process refuses this peer).
    static std::shared_ptr<ConnectionProxy> lookup(const std::string& name, const LookupOptions& options);
    static std::shared_ptr<ConnectionProxy> lookup(const std::string& name) {
        return lookup(name, LookupOptions{});
    }
    ConnectionProxy(const ConnectionProxy&) = delete;
    ConnectionProxy& operator=(const ConnectionProxy&) = delete;

    // Calls one method. Calls from several threads take turns; the wait for a turn counts
    // against the time-out. A call that gets no answer in time closes the connection (its late
    // answer would be in the way): the proxy is then invalid and the name must be looked up again.
    CallResult call(const std::string& selector, const archive::Array& args = {},
                    double timeout = kDefaultCallTimeout);

    const std::string& name() const { return name_; }
    // False once the connection was closed or its peer went away.
    bool isValid() const;
    // Closes the connection; a call in progress ends as InvalidConnection.
    void invalidate();

  private:
    ConnectionProxy() = default;
    CallResult exchange(const archive::Dictionary& request, Deadline deadline);

    std::string name_;
    LookupOptions options_;
    // One call at a time owns the connection (busy_); the others wait their turn.
    mutable std::mutex mutex_;
    std::condition_variable turn_;
    bool busy_ = false;
    UniqueFd fd_;
    int64_t nextId_ = 1;
};

}  // namespace ipc
