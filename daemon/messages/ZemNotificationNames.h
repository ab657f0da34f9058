// The names of the daemon's in-process notifications, in one place, so that a poster and its
// observers can't drift apart by a typing slip.
#pragma once

namespace notification {

// Announced by the configuration store when a server-given interval changed.
inline constexpr const char* kUpgradeRestart = "upgrade_restart_notification";
inline constexpr const char* kGetConfigRestart = "get_config_restart_notification";
inline constexpr const char* kHeartbeatRestart = "heartbeat_restart_notification";
inline constexpr const char* kHeartbeatExtRestart = "heartbeat_ext_restart_notification";

// Posted by reply dispatch: requests that a server command or reply asks for.
inline constexpr const char* kStartGetPolicyContent = "start_getpolicycontent_notification";
inline constexpr const char* kStartGetUpgradeFromHeart = "start_getupgrade_fromheart_notification";
inline constexpr const char* kStartGetPolicyFromHeart = "start_getpolicy_fromheart_notification";
inline constexpr const char* kStartGetConfigFromHeart = "start_getconfig_fromheart_notification";

// Posted by the scheduler's network probe when the stored network type changed.
inline constexpr const char* kChangedNetworkType = "changed_networktype_notification";

}  // namespace notification
