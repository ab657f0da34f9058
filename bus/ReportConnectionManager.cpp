#include "ReportConnectionManager.h"

#include "common/logger/LogSink.h"

using common::processLog;

ReportConnectionManager::ReportConnectionManager(std::shared_ptr<ZemDataReportManager> manager)
    : manager_(manager ? std::move(manager) : std::make_shared<ZemDataReportManager>()) {}

ReportConnectionManager::~ReportConnectionManager() {
    if (mMsgPortListenner_) mMsgPortListenner_->invalidate();
    if (portThread_.joinable()) portThread_.join();
    if (reportConnection_) reportConnection_->invalidate();
    if (liveConnection_) liveConnection_->invalidate();
}

void ReportConnectionManager::registerConnection() {
    ipc::VendOptions options;
    options.rootOnly = true;
    // Each vended object is served on its own thread, one call at a time, so the liveness probe is
    // answered while a report call is in hand.
    reportConnection_ = ipc::NamedConnection::vend(kReportConnectionName, manager_->vendedObject(), options);
    liveConnection_ = ipc::NamedConnection::vend(kLiveConnectionName, BusLiveServer::vendedObject(), options);
    if (!reportConnection_)
        processLog().writeLog(std::string("register connection failed: ") + kReportConnectionName);
    if (!liveConnection_)
        processLog().writeLog(std::string("register connection failed: ") + kLiveConnectionName);

    ipc::LocalMessagePort::Options portOptions;
    portOptions.maxRequestBytes = 1u << 20;
    mMsgPortListenner_ = ipc::LocalMessagePort::create(
        kMessagePortName,
        [](ipc::LocalMessagePort&, int32_t msgid, const ipc::Bytes& data) -> std::optional<ipc::Bytes> {
            const std::string reply = bus::busPortReply(msgid, std::string(data.begin(), data.end()));
            return ipc::Bytes(reply.begin(), reply.end());
        },
        portOptions);
    if (!mMsgPortListenner_) return;  // the service runs without its port
    portThread_ = std::thread([port = mMsgPortListenner_] { port->run(); });
}
