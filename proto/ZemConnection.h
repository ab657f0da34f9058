// The report service's handle on the management server: where its protobuf requests go. Built
// empty by init; initialServerConfig loads the server configuration and takes the last good
// server (else the intranet server) with its port.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace common { class ZemServerConfig; }

namespace zem {

class ZemConnection {
  public:
    // config: the configuration to read; nullptr for the process's shared one.
    explicit ZemConnection(common::ZemServerConfig* config = nullptr);

    void init();
    // Loads the server configuration and takes its last good server and port; without a
    // configured server the connection stays empty (hasServer() false).
    void initialServerConfig();

    bool hasServer() const { return !host_.empty() && port_ != 0; }
    const std::string& host() const { return host_; }
    uint64_t port() const { return port_; }
    // "http://host:port/path", "" while the connection has no server.
    std::string urlForPath(std::string_view path) const;

  private:
    common::ZemServerConfig* config_;
    std::string host_;
    uint64_t port_ = 0;
};

}  // namespace zem
