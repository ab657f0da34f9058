// The domain-join app's helper manager: the scaffold's manager for the Ducene/Sorrel pair, with
// the helper's domain operations behind a typed proxy, the domain list the screens work on, the
// current domain user's account and the app's folder helper.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "joindomain/helper/HelperProtocol.h"
#include "joindomain/scaffold/AppHelperManager.h"
#include "platform/archive/Value.h"

namespace ducene {

class DuceneHelperManager : public helperscaffold::AppHelperManager {
  public:
    static DuceneHelperManager& sharedInstance();
    ~DuceneHelperManager() override;

    // The helper's remote proxy: each call goes over the helper connection (opened on first use,
    // again after it ended); a call whose connection fails is dropped and its reply never runs.
    sorrel::HelperProtocol& helper();

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

    // Forgets the domain list and the account.
    void reset();

  private:
    DuceneHelperManager();
    mutable std::mutex mutex_;
    std::unique_ptr<sorrel::HelperProtocol> remote_;
    std::optional<std::vector<archive::Dictionary>> domainInfos_;
    std::optional<std::string> domainAccount_;
};

}  // namespace ducene
