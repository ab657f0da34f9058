#include "TesselServer.h"

#include <strings.h>

#include "platform/ipc/MessagePort.h"

namespace tessel {

namespace {

std::vector<uint8_t> utf8(const char* text) {
    std::string s(text);
    return std::vector<uint8_t>(s.begin(), s.end());
}

// How long stopping waits for the worker to finish a message in hand before giving up on it.
constexpr double kStopWait = 120.0;

// The port's callback, context = the TesselServer: answers one message by the delegate rules.
// Internal to the library, so that a same-named function of a program using it cannot take its
// place.
std::optional<std::vector<uint8_t>> onRecvMsgCallBack(ipc::LocalMessagePort* /*local*/, int32_t msgid,
                                                      const std::vector<uint8_t>& data, void* info) {
    auto* server = static_cast<TesselServer*>(info);
    std::weak_ptr<IPCReceiveProtocol> weak;
    std::shared_ptr<dispatch::WorkQueue> queue;
    if (server) {
        weak = server->delegate();
        queue = server->delQueue();
    }
    std::shared_ptr<IPCReceiveProtocol> delegate = weak.lock();
    if (!delegate) return utf8("-1");
    if (queue) {
        // The delegate's answer is not awaited; it is held weakly until the queue gets to it.
        queue->dispatch([weak, data, msgid] {
            if (auto d = weak.lock()) d->handleIPCReceiveData(data, msgid);
        });
        return utf8("0");
    }
    std::optional<std::vector<uint8_t>> answer;
    try {
        answer = delegate->handleIPCReceiveData(data, msgid);
    } catch (...) {
        answer.reset();
    }
    if (!answer) return utf8("0");
    return answer;
}

}  // namespace

TesselServer::TesselServer() = default;

TesselServer::~TesselServer() {
    std::vector<std::shared_ptr<ipc::LocalMessagePort>> ports;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ports.swap(retired_);
        if (localPort_) ports.push_back(std::move(localPort_));
        worker_.reset();
    }
    // The ports' callbacks hold this object as their context: they must be done before it goes.
    for (auto& port : ports) port->invalidate();
    for (auto& port : ports) port->waitUntilStopped(kStopWait);
}

TesselServer& TesselServer::initWithDelegate(std::weak_ptr<IPCReceiveProtocol> delegate,
                                             std::shared_ptr<dispatch::WorkQueue> delQueue) {
    std::lock_guard<std::mutex> lock(mutex_);
    delegate_ = std::move(delegate);
    delQueue_ = std::move(delQueue);
    return *this;
}

void TesselServer::setUserScope(std::optional<uid_t> uid) {
    std::lock_guard<std::mutex> lock(mutex_);
    userScope_ = uid;
}

bool TesselServer::startListen(const std::string& name) {
    ipc::LocalMessagePort::Options options;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        options.scope.user = userScope_;
    }
    auto port = ipc::LocalMessagePort::create(
        name,
        [this](ipc::LocalMessagePort& local, int32_t msgid, const std::vector<uint8_t>& data) {
            return onRecvMsgCallBack(&local, msgid, data, this);
        },
        options);
    if (!port) return false;
    auto worker = dispatch::WorkQueue::create("IPC.manager", dispatch::QueueAttr::Serial);
    worker->dispatch([port] { port->run(); });
    std::shared_ptr<ipc::LocalMessagePort> previous;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        previous = std::move(localPort_);
        localPort_ = port;
        worker_ = worker;
    }
    // A replaced port could never be stopped by name again; it goes now.
    retire(std::move(previous));
    return true;
}

bool TesselServer::stopListen(const std::string& name) {
    std::shared_ptr<ipc::LocalMessagePort> port;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (localPort_ && ::strcasecmp(localPort_->name().c_str(), name.c_str()) == 0) {
            port = std::move(localPort_);
            worker_.reset();
        }
    }
    retire(std::move(port));
    return true;
}

void TesselServer::retire(std::shared_ptr<ipc::LocalMessagePort> port) {
    if (!port) return;
    port->invalidate();
    std::lock_guard<std::mutex> lock(mutex_);
    std::erase_if(retired_, [](const auto& p) { return p->waitUntilStopped(0); });
    retired_.push_back(std::move(port));
}

std::weak_ptr<IPCReceiveProtocol> TesselServer::delegate() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return delegate_;
}

std::shared_ptr<dispatch::WorkQueue> TesselServer::delQueue() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return delQueue_;
}

std::shared_ptr<ipc::LocalMessagePort> TesselServer::localPort() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return localPort_;
}

}  // namespace tessel
