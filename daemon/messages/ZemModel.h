// The daemon's runtime status: the fields the heartbeats report, the network location the server
// last gave, and the interface and name-server lists of the network-location request.
// One process-wide instance; safe to use from any thread.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "proto/zem_v5.pb.h"

namespace hollin {

class ZemModel {
  public:
    static ZemModel& currentStatus();
    ZemModel() = default;

    bool isDebug() const;
    void setIsDebug(bool value);
    int32_t zemStatus() const;
    void setZemStatus(int32_t value);
    int32_t zemCoreStatus() const;
    void setZemCoreStatus(int32_t value);
    int64_t lastUpdateTime() const;
    void setLastUpdateTime(int64_t value);
    int32_t networkLocation() const;
    void setNetworkLocation(int32_t value);
    std::string domainName() const;
    void setDomainName(std::string value);
    int32_t networkType() const;
    void setNetworkType(int32_t value);

    // Computed on every read from the current network cards and the resolver.
    std::vector<std::string> ipArray() const;
    std::vector<Adapter> adaptArray() const;
    std::vector<std::string> dnsArray() const;

  private:
    mutable std::mutex mutex_;
    bool isDebug_ = false;
    int32_t zemStatus_ = 0;
    int32_t zemCoreStatus_ = 0;
    int64_t lastUpdateTime_ = 0;
    int32_t networkLocation_ = 0;
    std::string domainName_;
    int32_t networkType_ = 0;
};

}  // namespace hollin
