#include "RavAvizaTicketHelper.h"

#include <atomic>
#include <string>

#include "platform/dispatch/ManualTime.h"
#include "platform/dispatch/WorkQueue.h"
#include "common/logger/LogSink.h"
#include "RavAviza_ticketProtocol.h"

using common::processLog;

namespace hux {

namespace proto = ticket_protocol;

namespace {

std::mutex optionsMutex;

RavAvizaTicketHelper::Options& currentOptions() {
    static RavAvizaTicketHelper::Options options;
    return options;
}

RavAvizaTicketHelper::Options options() {
    std::lock_guard lock(optionsMutex);
    return currentOptions();
}

void log(const std::string& line) {
    processLog().writeLog(line);
}

bool resultOf(const std::optional<ipc::XpcMessage>& reply) {
    if (!reply) return false;
    auto it = reply->find(proto::kResult);
    return it != reply->end() && it->second.isBool() && *it->second.boolean();
}

// The caller's time in seconds since 1970, on the manual timeline while tests drive one.
double nowSince1970() {
    return dispatch::ManualTime::active() ? dispatch::ManualTime::clock().now()
                                          : dispatch::Clock::system().now();
}

}  // namespace

RavAvizaTicketHelper& RavAvizaTicketHelper::sharedInstance() {
    static RavAvizaTicketHelper* helper = new RavAvizaTicketHelper();
    return *helper;
}

void RavAvizaTicketHelper::setOptions(Options options) {
    std::lock_guard lock(optionsMutex);
    currentOptions() = std::move(options);
}

RavAvizaTicketHelper::RavAvizaTicketHelper() {
    initialConnection();
}

std::shared_ptr<ipc::XpcConnection> RavAvizaTicketHelper::connect() {
    ipc::XpcOptions xpc;
    xpc.scope = options().scope;
    xpc.maxMessageBytes = 64 * 1024;
    auto connection = ipc::XpcConnection::create(proto::kServiceName, xpc);
    connection->resume();
    return connection;
}

void RavAvizaTicketHelper::initialConnection() {
    auto connection = connect();
    std::shared_ptr<ipc::XpcConnection> old;
    {
        std::lock_guard lock(mutex_);
        old = std::exchange(connection_, std::move(connection));
    }
    if (old) old->invalidate();
}

std::shared_ptr<ipc::XpcConnection> RavAvizaTicketHelper::XPCConnection() const {
    std::lock_guard lock(mutex_);
    return connection_;
}

std::shared_ptr<ipc::XpcConnection> RavAvizaTicketHelper::liveConnection() {
    std::lock_guard lock(mutex_);
    if (!connection_ || !connection_->isValid()) connection_ = connect();
    return connection_;
}

void RavAvizaTicketHelper::runTicketXPC() {
    auto connection = liveConnection();
    connection->send({{proto::kSelector, std::string(proto::kStartRunProxy)}},
                     [](std::optional<ipc::XpcMessage> reply) {
                         // A service that could not be reached answers nothing, and nothing is logged.
                         if (!reply) return;
                         log(resultOf(reply) ? "[RavAvizaTicketHelper] RavAviza Service run Success"
                                             : "[RavAvizaTicketHelper] RavAviza Service run Fail");
                     });
}

void RavAvizaTicketHelper::checkXPCServiceIsReInital(std::function<void(bool)> done) {
    auto finishOnMain = [done = std::move(done)](bool value) mutable {
        dispatch::WorkQueue::main()->dispatch([done = std::move(done), value] {
            if (done) done(value);
        });
    };
    std::shared_ptr<ipc::XpcConnection> connection;
    {
        std::lock_guard lock(mutex_);
        connection = connection_;
    }
    if (!connection) {
        initialConnection();
        finishOnMain(true);
        return;
    }
    connection = liveConnection();

    // The first of the answer and the end of the wait settles it; the other finds it settled.
    struct Pending {
        std::atomic<bool> settled{false};
        std::mutex mutex;
        std::function<void(bool)> finish;
    };
    auto pending = std::make_shared<Pending>();
    pending->finish = std::move(finishOnMain);
    auto settle = [pending](bool value) {
        if (pending->settled.exchange(true)) return;
        std::function<void(bool)> finish;
        {
            std::lock_guard lock(pending->mutex);
            finish = std::move(pending->finish);
        }
        finish(value);
    };
    const bool sent = connection->send(
        {{proto::kSelector, std::string(proto::kCheckIsNewConnection)}, {proto::kTime, nowSince1970()}},
        [settle](std::optional<ipc::XpcMessage> reply) { settle(resultOf(reply)); });
    if (!sent) {
        settle(false);
        return;
    }
    dispatch::WorkQueue::global()->dispatchAfter(options().replyWait, [settle] { settle(false); });
}

void RavAvizaTicketHelper::closeQznServerXpc() {
    std::shared_ptr<ipc::XpcConnection> connection;
    {
        std::lock_guard lock(mutex_);
        connection = std::move(connection_);
        connection_.reset();
    }
    if (!connection) return;
    connection->send({{proto::kSelector, std::string(proto::kCloseXPCAndProxy)}});
    connection->invalidate();
}

void connectTicketService(SessionPeers& peers) {
    peers.runTicketXPC = [] { RavAvizaTicketHelper::sharedInstance().runTicketXPC(); };
    peers.closeQznServerXpc = [] { RavAvizaTicketHelper::sharedInstance().closeQznServerXpc(); };
}

}  // namespace hux
