// The domain-join app's side of its helper: the helper's operations (reached through the shared
// helper manager, or any HelperProtocol a caller installs), the domain list the screens work
// on, the current domain user's account, and the app's own folder and command helpers.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "joindomain/helper/HelperProtocol.h"
#include "platform/archive/Value.h"

namespace ducene {

class DuceneHelperManager {
  public:
    static DuceneHelperManager& sharedInstance();

    // The helper's operations. Until one is installed, calls go nowhere and no reply comes, as
    // with a connection that failed.
    sorrel::HelperProtocol& helper();
    void setHelper(std::shared_ptr<sorrel::HelperProtocol> helper);

    // The domain list: from joindomainInfo.archive or from the manual settings.
    std::vector<archive::Dictionary> domainInfos() const;
    void setDomainInfos(std::vector<archive::Dictionary> infos);
    bool hasDomainInfos() const;
    // The account of the current domain user.
    std::optional<std::string> domainAccount() const;
    void setDomainAccount(std::optional<std::string> account);

    // Sends the mobile-account creation for domainAccount; true when the helper answered 0.
    void createMobileAccountWithCompletion(std::function<void(bool)> completion);

    // root/name, created with its parents when nothing exists there.
    static std::string createDirectoryWithName(const std::string& name, const std::string& rootDirectory);

    // Forgets the domain state (tests start each case afresh).
    void reset();

  private:
    DuceneHelperManager() = default;
    mutable std::mutex mutex_;
    std::shared_ptr<sorrel::HelperProtocol> helper_;
    std::optional<std::vector<archive::Dictionary>> domainInfos_;
    std::optional<std::string> domainAccount_;
};

}  // namespace ducene
