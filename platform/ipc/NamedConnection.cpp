#include "NamedConnection.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cmath>
#include <exception>
#include <system_error>

#include "ServeLoop.h"
#include "ValueCoding.h"

namespace ipc {

namespace {

archive::Dictionary replyWith(int64_t id, const char* status) {
    archive::Dictionary d;
    d["id"] = id;
    d["status"] = status;
    return d;
}

archive::Dictionary failure(int64_t id, const char* status, std::string error) {
    archive::Dictionary d = replyWith(id, status);
    d["error"] = std::move(error);
    return d;
}

std::string textOf(const archive::Dictionary& d, const char* key) {
    auto it = d.find(key);
    if (it == d.end() || !it->second.string()) return {};
    return *it->second.string();
}

int64_t idOf(const archive::Dictionary& d) {
    auto it = d.find("id");
    if (it == d.end()) return -1;
    return it->second.integer().value_or(-1);
}

}  // namespace

VendedObject& VendedObject::add(const std::string& selector, Method method) {
    methods_[selector] = std::move(method);
    return *this;
}

const VendedObject::Method* VendedObject::find(const std::string& selector) const {
    auto it = methods_.find(selector);
    return it == methods_.end() ? nullptr : &it->second;
}

struct NamedConnection::State {
    VendedObject root;
    VendOptions options;
    std::unique_ptr<ServeLoop> loop;

    std::optional<std::vector<uint8_t>> answer(std::vector<uint8_t>& bytes) {
        std::string error;
        std::optional<archive::Value> request = decodeValue(bytes, options.allowedClasses, &error);
        if (!request || !request->dictionary()) {
            // Id -1: the request could not be read, so its id is unknown.
            return encodeValue(failure(-1, "failed", "request cannot be decoded: " + error));
        }
        const archive::Dictionary& req = *request->dictionary();
        int64_t id = idOf(req);
        std::string op = textOf(req, "op");
        archive::Dictionary reply;
        if (op == "ping") {
            reply = replyWith(id, "ok");
        } else if (op == "call") {
            std::string selector = textOf(req, "selector");
            archive::Array args;
            auto it = req.find("args");
            if (it != req.end() && it->second.array()) args = *it->second.array();
            const VendedObject::Method* method = root.find(selector);
            if (!method) {
                reply = failure(id, "unknown-selector", "unrecognized selector " + selector);
            } else {
                try {
                    std::optional<archive::Value> result = (*method)(args);
                    reply = replyWith(id, result ? "ok" : "void");
                    if (result) reply["result"] = std::move(*result);
                } catch (const std::exception& e) {
                    reply = failure(id, "failed", e.what());
                } catch (...) {
                    reply = failure(id, "failed", "method failed");
                }
            }
        } else {
            return std::nullopt;
        }
        std::optional<std::vector<uint8_t>> out = encodeValue(reply);
        if (!out) out = encodeValue(failure(id, "failed", "result cannot be coded"));
        return out;
    }
};

std::shared_ptr<NamedConnection> NamedConnection::vend(const std::string& name, VendedObject root,
                                                       const VendOptions& options) {
    auto endpoint = ListeningEndpoint::open(ServiceKind::Connection, name, options.rootOnly, options.scope);
    if (!endpoint) return nullptr;
    auto state = std::make_shared<State>();
    state->root = std::move(root);
    state->options = options;
    ServeLoop::Options loopOptions;
    loopOptions.maxRequestBytes = options.maxMessageBytes;
    State* raw = state.get();  // the loop belongs to the state and runs only while the state lives
    state->loop = std::make_unique<ServeLoop>(
        std::move(endpoint), loopOptions,
        [raw](std::vector<uint8_t>& request, const PeerCredentials&) -> std::optional<ServeLoop::Reply> {
            auto reply = raw->answer(request);
            if (!reply) return std::nullopt;
            return ServeLoop::Reply(std::move(*reply));
        });

    std::shared_ptr<NamedConnection> conn(new NamedConnection());
    conn->name_ = name;
    conn->state_ = state;
    try {
        conn->thread_ = std::thread([state] { state->loop->run(); });
    } catch (const std::system_error&) {
        return nullptr;  // no thread to serve on; the name is given up with the loop
    }
    return conn;
}

NamedConnection::~NamedConnection() {
    state_->loop->stop();
    if (!thread_.joinable()) return;
    // Released from inside one of its own methods: the thread holds the state and ends by itself.
    if (thread_.get_id() == std::this_thread::get_id()) {
        thread_.detach();
    } else {
        thread_.join();
    }
}

bool NamedConnection::isValid() const {
    return !state_->loop->isStopped();
}

void NamedConnection::invalidate() {
    state_->loop->stop();
}

std::shared_ptr<ConnectionProxy> ConnectionProxy::lookup(const std::string& name,
                                                         const LookupOptions& options) {
    std::shared_ptr<ConnectionProxy> proxy(new ConnectionProxy());
    proxy->name_ = name;
    proxy->options_ = options;
    Deadline deadline =
        deadlineAfter(std::isfinite(options.timeout) && options.timeout > 0 ? options.timeout : 0);
    UniqueFd fd = connectToService(ServiceKind::Connection, name, deadline, nullptr, options.scope);
    if (!fd.valid()) return nullptr;
    if (options.requireRootPeer) {
        auto cred = peerCredentials(fd.get());
        if (!cred || cred->uid != 0) return nullptr;
    }
    proxy->fd_ = std::move(fd);
    // The first answer proves that the name is vended to us: a root-only service closes on us.
    archive::Dictionary ping;
    ping["op"] = "ping";
    ping["id"] = proxy->nextId_++;
    if (!proxy->exchange(ping, deadline).ok()) return nullptr;
    return proxy;
}

CallResult ConnectionProxy::call(const std::string& selector, const archive::Array& args, double timeout) {
    Deadline deadline = deadlineAfter(std::isfinite(timeout) && timeout > 0 ? timeout : 0);
    archive::Dictionary request;
    request["op"] = "call";
    request["selector"] = selector;
    request["args"] = args;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!turn_.wait_until(lock, deadline, [this] { return !busy_; })) {
            return CallResult{CallStatus::NoAnswer, std::nullopt, "no answer in time"};
        }
        if (!fd_.valid())
            return CallResult{CallStatus::InvalidConnection, std::nullopt, "connection invalid"};
        busy_ = true;
        request["id"] = nextId_++;
    }
    CallResult result = exchange(request, deadline);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        busy_ = false;
    }
    turn_.notify_one();
    return result;
}

// By the call that owns the connection (or before the proxy is shared).
CallResult ConnectionProxy::exchange(const archive::Dictionary& request, Deadline deadline) {
    std::optional<std::vector<uint8_t>> bytes = encodeValue(request);
    if (!bytes) return CallResult{CallStatus::Failed, std::nullopt, "arguments cannot be coded"};
    auto drop = [this](CallStatus status, const char* error) {
        // A broken or abandoned exchange may leave part of a frame in the stream; the
        // connection cannot be used after it.
        std::lock_guard<std::mutex> lock(mutex_);
        fd_.reset();
        return CallResult{status, std::nullopt, error};
    };
    switch (writeFrame(fd_.get(), *bytes, deadline)) {
        case FrameStatus::Ok:
            break;
        case FrameStatus::TimedOut:
            return drop(CallStatus::NoAnswer, "no answer in time");
        default:
            return drop(CallStatus::InvalidConnection, "connection lost");
    }
    int64_t id = idOf(request);
    for (;;) {
        std::vector<uint8_t> frame;
        switch (readFrame(fd_.get(), frame, options_.maxMessageBytes, deadline)) {
            case FrameStatus::Ok:
                break;
            case FrameStatus::TimedOut:
                return drop(CallStatus::NoAnswer, "no answer in time");
            case FrameStatus::TooLarge:
                return drop(CallStatus::Failed, "answer too large");
            default:
                return drop(CallStatus::InvalidConnection, "connection lost");
        }
        std::string error;
        std::optional<archive::Value> reply = decodeValue(frame, options_.allowedClasses, &error);
        if (!reply || !reply->dictionary())
            return CallResult{CallStatus::Failed, std::nullopt, "bad answer: " + error};
        const archive::Dictionary& d = *reply->dictionary();
        if (idOf(d) == -1) return CallResult{CallStatus::Failed, std::nullopt, textOf(d, "error")};
        if (idOf(d) != id) continue;
        std::string status = textOf(d, "status");
        CallResult result;
        result.error = textOf(d, "error");
        if (status == "ok") {
            result.status = CallStatus::Ok;
            auto it = d.find("result");
            if (it != d.end()) result.value = it->second;
        } else if (status == "void") {
            result.status = CallStatus::Ok;
        } else if (status == "unknown-selector") {
            result.status = CallStatus::UnknownSelector;
        } else {
            result.status = CallStatus::Failed;
        }
        return result;
    }
}

bool ConnectionProxy::isValid() const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!fd_.valid()) return false;
    if (busy_) return true;  // a call is in progress on it
    pollfd p{fd_.get(), POLLIN, 0};
    if (::poll(&p, 1, 0) <= 0) return true;
    if (p.revents & (POLLHUP | POLLERR)) return false;
    uint8_t b;
    ssize_t r = ::recv(fd_.get(), &b, 1, MSG_PEEK | MSG_DONTWAIT);
    return !(r == 0 || (r < 0 && errno != EAGAIN && errno != EINTR));
}

void ConnectionProxy::invalidate() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (busy_) {
        // The call in progress sees the connection end and closes it.
        ::shutdown(fd_.get(), SHUT_RDWR);
        return;
    }
    fd_.reset();
}

}  // namespace ipc
