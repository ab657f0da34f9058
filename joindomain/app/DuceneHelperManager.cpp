#include "DuceneHelperManager.h"

#include <sys/stat.h>

#include <filesystem>
#include <system_error>

namespace ducene {

namespace {

// Stands in while no helper is reachable: every call is dropped.
class NoHelper final : public sorrel::HelperProtocol {
  public:
    void writeLog(const std::string&, unsigned) override {}
    void UpdatePrivilegedHelperToolsWithResourcePath(const std::string&, const std::string&) override {}
    void initiateDomainToolWithInfo(const archive::Dictionary&) override {}
    void updateMachineWithComputerName(const std::string&, IntReply) override {}
    void fetchComputerNameWithAccount(const std::string&, TextReply) override {}
    void joinWithComputerName(const std::string&, IntReply) override {}
    void fetchJoinedDomainNameWithCompletion(TextReply) override {}
    void checkDomainAccount(const std::string&, const std::string&, TextReply) override {}
    void quitDomainWithCompletion(IntReply) override {}
    void sendJoinDomainSuccessNotification() override {}
    void createMobileAccountWithUid(const std::string&, IntReply) override {}
    void ConnectEthernetWithUsername(const std::string&, const std::string&, const std::optional<std::string>&,
                                     BoolReply) override {}
    void ConnectWiFiWithSSID(const std::string&, const std::string&, const std::string&,
                             const std::optional<std::string>&, BoolReply) override {}
};

}  // namespace

DuceneHelperManager& DuceneHelperManager::sharedInstance() {
    static DuceneHelperManager instance;
    return instance;
}

sorrel::HelperProtocol& DuceneHelperManager::helper() {
    static NoHelper none;
    std::lock_guard lock(mutex_);
    return helper_ ? *helper_ : none;
}

void DuceneHelperManager::setHelper(std::shared_ptr<sorrel::HelperProtocol> helper) {
    std::lock_guard lock(mutex_);
    helper_ = std::move(helper);
}

std::vector<archive::Dictionary> DuceneHelperManager::domainInfos() const {
    std::lock_guard lock(mutex_);
    return domainInfos_.value_or(std::vector<archive::Dictionary>{});
}

void DuceneHelperManager::setDomainInfos(std::vector<archive::Dictionary> infos) {
    std::lock_guard lock(mutex_);
    domainInfos_ = std::move(infos);
}

bool DuceneHelperManager::hasDomainInfos() const {
    std::lock_guard lock(mutex_);
    return domainInfos_.has_value();
}

std::optional<std::string> DuceneHelperManager::domainAccount() const {
    std::lock_guard lock(mutex_);
    return domainAccount_;
}

void DuceneHelperManager::setDomainAccount(std::optional<std::string> account) {
    std::lock_guard lock(mutex_);
    domainAccount_ = std::move(account);
}

void DuceneHelperManager::createMobileAccountWithCompletion(std::function<void(bool)> completion) {
    helper().createMobileAccountWithUid(domainAccount().value_or(""), [completion](int reply) {
        if (completion) completion(reply == 0);
    });
}

std::string DuceneHelperManager::createDirectoryWithName(const std::string& name, const std::string& rootDirectory) {
    const std::string path = rootDirectory + "/" + name;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        std::error_code ec;
        std::filesystem::create_directories(path, ec);
    }
    return path;
}

void DuceneHelperManager::reset() {
    std::lock_guard lock(mutex_);
    domainInfos_.reset();
    domainAccount_.reset();
}

}  // namespace ducene
