// The service's endpoints: the two vended connections (root-only: the daemon is the caller) and
// the message port "ravaviza-qzn-bus-ipc", each served on a thread of its own.
#pragma once

#include <memory>
#include <thread>

#include "bus/ZemDataReportManager.h"
#include "platform/ipc/MessagePort.h"
#include "platform/ipc/NamedConnection.h"

class ReportConnectionManager {
  public:
    static constexpr const char* kReportConnectionName = "RavAviza_zem_bus_connection";
    static constexpr const char* kLiveConnectionName = "RavAviza_report_live_connection";
    static constexpr const char* kMessagePortName = "ravaviza-qzn-bus-ipc";

    explicit ReportConnectionManager(std::shared_ptr<ZemDataReportManager> manager = nullptr);
    ~ReportConnectionManager();

    // Vends both connections and starts the message port. A name that cannot be registered is
    // logged; the daemon's liveness probe then fails and it reloads the job.
    void registerConnection();

    const std::shared_ptr<ipc::NamedConnection>& reportConnection() const { return reportConnection_; }
    const std::shared_ptr<ipc::NamedConnection>& liveConnection() const { return liveConnection_; }
    const std::shared_ptr<ipc::LocalMessagePort>& messagePort() const { return mMsgPortListenner_; }

  private:
    std::shared_ptr<ZemDataReportManager> manager_;
    std::shared_ptr<ipc::NamedConnection> reportConnection_;
    std::shared_ptr<ipc::NamedConnection> liveConnection_;
    std::shared_ptr<ipc::LocalMessagePort> mMsgPortListenner_;
    std::thread portThread_;
};
