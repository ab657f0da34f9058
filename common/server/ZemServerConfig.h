// Where the management server is: the intranet, extranet and domain servers of .ZemConfig,
// the extra addresses of the multi-server archive, and a round robin over the list chosen by
// the network type. One instance per process; every operation is safe from any thread.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/archive/Value.h"

namespace common {

class ZemServerConfig {
  public:
    // The text a missing host takes in "host:port" texts.
    static constexpr const char* kMissingHost = "(null)";

    static ZemServerConfig& sharedInstance();
    ZemServerConfig() = default;

    // A server list as .ZemConfig holds it: a non-empty array whose every entry is [host text,
    // port text or number] with a host and a port in range.
    static bool isServerList(const archive::Value& root);

    // Reads .ZemConfig unless a configuration was read already (intranet port not 0).
    void readServerConfig();
    // Reads .ZemConfig again and rebuilds the lists. An unreadable file keeps the servers as they
    // were; an entry that is not [host text, port text or number] (or whose port is outside
    // 0-65535) is skipped and keeps its server as it was.
    void updateServerConfig();
    // Rebuilds AllMulSvrs, intranetMulSvrs and extranetMulSvrs from the servers, the
    // multi-server archive and the last good server.
    void refreshAllServers();
    // Rebuilds the lists and returns the next "host:port" of the list the stored network type
    // picks (0 intranet, 1 extranet, else all), advancing that list's cursor.
    std::string updateLoopServers();
    // Restarts the round robin of the type's list (1 extranet, 0 intranet, else all).
    void resetCount(int64_t networkType);
    // The last good server when the current lists hold it, else the intranet server. The lists are
    // built first when this process never built them.
    std::optional<std::string> historyRecord_server();
    uint64_t historyRecord_port();

    // Only the process that writes record_server.archive (the daemon's -run job) removes a record
    // naming a server the lists no longer hold; other processes leave it and ignore it.
    void setServerRecordWriter(bool writer);
    bool serverRecordWriter() const;

    std::optional<std::string> intranet_server() const;
    void setIntranet_server(std::optional<std::string> host);
    uint64_t intranet_port() const;
    void setIntranet_port(uint64_t port);
    std::optional<std::string> extranet_server() const;
    void setExtranet_server(std::optional<std::string> host);
    uint64_t extranet_port() const;
    void setExtranet_port(uint64_t port);
    std::optional<std::string> domain_server() const;
    void setDomain_server(std::optional<std::string> host);
    uint64_t domain_port() const;
    void setDomain_port(uint64_t port);
    std::vector<std::string> AllMulSvrs() const;
    std::vector<std::string> intranetMulSvrs() const;
    std::vector<std::string> extranetMulSvrs() const;
    int64_t AllmulSvrsCount() const;
    int64_t intra_mulSvrsCount() const;
    int64_t extra_mulSvrsCount() const;

  private:
    struct Server {
        std::optional<std::string> host;
        uint64_t port = 0;
        std::string text() const;
    };

    void updateServerConfigLocked();
    void refreshAllServersLocked();
    void ensureListsLocked();
    // The stored record when the current lists hold its server; a stale record is removed by
    // the writer and ignored by everybody else.
    std::optional<std::string> listedRecordServerLocked(uint64_t* port);

    mutable std::mutex mutex_;
    Server intranet_;
    Server extranet_;
    Server domain_;
    std::vector<std::string> AllMulSvrs_;
    std::vector<std::string> intranetMulSvrs_;
    std::vector<std::string> extranetMulSvrs_;
    int64_t AllmulSvrsCount_ = 0;
    int64_t intra_mulSvrsCount_ = 0;
    int64_t extra_mulSvrsCount_ = 0;
    bool listsBuilt_ = false;
    bool recordWriter_ = false;
};

}  // namespace common
