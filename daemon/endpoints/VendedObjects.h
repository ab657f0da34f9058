// The objects the -run job vends under its three connection names.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/ipc/NamedConnection.h"

namespace hollin { class CommonTimerManager; }

namespace endpoints {

inline constexpr const char* kHeartbeatProtectConnection = "com.velmora.ravaviza.heartbeat.protect";
inline constexpr const char* kUpgradeProxyConnection = "com.velmora.ravaviza.upgrade.proxy";
inline constexpr const char* kClientConfigConnection = "com.velmora.ravaviza.client.config.proxy";

// Connection name and root object: ZemHeartbeatProtect, ZemUpgradeConnection and
// RavAvizaClientConnection, all calling into the given scheduler.
std::vector<std::pair<std::string, ipc::VendedObject>> daemonVendedObjects(hollin::CommonTimerManager& scheduler);

}  // namespace endpoints
