// The operations the domain-join helper offers its app, in the order of the protocol. Every
// operation returns at once or after its work; results come back through reply callbacks, which
// may run on another thread. An empty callback means no reply is wanted.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "platform/archive/Value.h"

namespace sorrel {

class HelperProtocol {
  public:
    using IntReply = std::function<void(int)>;
    using TextReply = std::function<void(std::optional<std::string>)>;
    using BoolReply = std::function<void(bool)>;

    virtual ~HelperProtocol() = default;

    virtual void writeLog(const std::string& text, unsigned type) = 0;
    virtual void UpdatePrivilegedHelperToolsWithResourcePath(const std::string& resourcePath,
                                                             const std::string& destinationPath) = 0;
    virtual void initiateDomainToolWithInfo(const archive::Dictionary& info) = 0;
    virtual void updateMachineWithComputerName(const std::string& name, IntReply completion) = 0;
    virtual void fetchComputerNameWithAccount(const std::string& account, TextReply completion) = 0;
    virtual void joinWithComputerName(const std::string& name, IntReply completion) = 0;
    virtual void fetchJoinedDomainNameWithCompletion(TextReply completion) = 0;
    virtual void checkDomainAccount(const std::string& account, const std::string& password,
                                    TextReply completion) = 0;
    virtual void quitDomainWithCompletion(IntReply completion) = 0;
    virtual void sendJoinDomainSuccessNotification() = 0;
    virtual void createMobileAccountWithUid(const std::string& uid, IntReply completion) = 0;
    virtual void ConnectEthernetWithUsername(const std::string& username, const std::string& password,
                                             const std::optional<std::string>& mPath,
                                             BoolReply completion) = 0;
    virtual void ConnectWiFiWithSSID(const std::string& ssid, const std::string& usernam,
                                     const std::string& password, const std::optional<std::string>& mPath,
                                     BoolReply completion) = 0;
};

}  // namespace sorrel
