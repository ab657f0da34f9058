// Names of the app's in-process notifications (the default notification centre). None of them
// leaves the process.
#pragma once

namespace hux {

// Posted by the state-file watcher (ZemUIFileListener).
inline constexpr const char* UpdateLogoForConfigNoticationKey = "UpdateLogoForConfigNoticationKey";
inline constexpr const char* UpdateTipsForConfigNoticationKey = "UpdateTipsForConfigNoticationKey";
inline constexpr const char* UpdateComputerNameForJoinDomainNotificationKey =
    "UpdateComputerNameForJoinDomainNotificationKey";
inline constexpr const char* kRestartComputorNotification = "kRestartComputorNotification";
inline constexpr const char* DuceneSwitchStatusNotificationKey = "DuceneSwitchStatusNotificationKey";
inline constexpr const char* TovikSSIDChangedNotificationKey = "TovikSSIDChangedNotificationKey";
inline constexpr const char* UpdateQznSwitchForConfigNoticationKey = "UpdateQznSwitchForConfigNoticationKey";
inline constexpr const char* UpdateAppMgtListForConfigNoticationKey =
    "UpdateAppMgtListForConfigNoticationKey";
inline constexpr const char* UpdateTrustedsAppForConfigNoticationKey =
    "UpdateTrustedsAppForConfigNoticationKey";
// Object: the number 2 when the server reported the ticket overdue, none otherwise.
inline constexpr const char* TicketTimeOutNoticationKey = "TicketTimeOutNoticationKey";
inline constexpr const char* HideTrayForConfigNotificationKey = "HideTrayForConfigNotificationKey";

// Posted by the menu's logout (object: the number 0); the main view goes back to its first tab.
inline constexpr const char* UpdateLogoutStatusNotificationKey = "UpdateLogoutStatusNotificationKey";

}  // namespace hux
