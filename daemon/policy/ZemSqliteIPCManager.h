// The policy-database message port "ZEMClient_Sqlite_ZEMBiz": the outside policy runner reads
// policy rows and records run states through it (message ids 100000 to 100006). The port is
// root-only, and a condition sent with 100001 is parsed, never run as SQL.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/ipc/MessagePort.h"

namespace hollin {

class ZemClientFMDB;

class ZemSqliteIPCManager {
  public:
    static constexpr const char* kPortName = "ZEMClient_Sqlite_ZEMBiz";
    static constexpr int32_t kFirstMessage = 100000;
    static constexpr int32_t kLastMessage = 100006;
    static constexpr size_t kMaxRequestBytes = 1u << 20;

    // The shared database and the port name above.
    ZemSqliteIPCManager();
    // Another database or port name (tests, the benchmark).
    ZemSqliteIPCManager(ZemClientFMDB& database, std::string portName);

    // Opens the port and serves it on the calling thread until stopMsgPort(); returns at once when
    // the name is held by another process or port.
    void startMsgPort();
    // From any thread: the port closes after the message in hand and startMsgPort returns.
    void stopMsgPort();

    // The reply to one message: data, or nothing (unknown id, no data where data is needed, nothing
    // found, a refused condition).
    std::optional<ipc::Bytes> handleMessage(int32_t msgid, const ipc::Bytes& data);

  private:
    ZemClientFMDB& database_;
    std::string portName_;
    std::mutex mutex_;
    std::shared_ptr<ipc::LocalMessagePort> mMsgPortListenner;
    bool stopped_ = false;
};

}  // namespace hollin
