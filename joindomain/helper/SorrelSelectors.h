// The selectors of the domain-join helper's own operations, in the order of its protocol; the
// scaffold names writeLog and the helper copy.
#pragma once

namespace sorrel {

inline constexpr const char* kInitiateDomainTool = "initiateDomainToolWithInfo:";
inline constexpr const char* kUpdateMachine = "updateMachineWithComputerName:completion:";
inline constexpr const char* kFetchComputerName = "fetchComputerNameWithAccount:completion:";
inline constexpr const char* kJoin = "joinWithComputerName:completion:";
inline constexpr const char* kFetchJoinedDomainName = "fetchJoinedDomainNameWithCompletion:";
inline constexpr const char* kCheckDomainAccount = "checkDomainAccount:password:completion:";
inline constexpr const char* kQuitDomain = "quitDomainWithCompletion:";
inline constexpr const char* kSendJoinDomainSuccessNotification = "sendJoinDomainSuccessNotification";
inline constexpr const char* kCreateMobileAccount = "createMobileAccountWithUid:completion:";
inline constexpr const char* kConnectEthernet = "ConnectEthernetWithUsername:password:mPath:completion:";
inline constexpr const char* kConnectWiFi = "ConnectWiFiWithSSID:usernam:password:mPath:completion:";

}  // namespace sorrel
