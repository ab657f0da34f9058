#include "DuceneHelperManager.h"

#include <sys/stat.h>

#include <filesystem>
#include <system_error>

#include "joindomain/helper/SorrelSelectors.h"
#include "joindomain/scaffold/HelperIdentity.h"
#include "joindomain/scaffold/HelperProtocol.h"

namespace ducene {

namespace {

using helperscaffold::HelperProxy;

archive::Value nullable(const std::optional<std::string>& value) {
    return value ? archive::Value(*value) : archive::Value(archive::Null{});
}

// The helper's operations as calls over the connection.
class RemoteSorrel final : public sorrel::HelperProtocol {
  public:
    explicit RemoteSorrel(helperscaffold::AppHelperManager& manager) : manager_(manager) {}

    void writeLog(const std::string& text, unsigned type) override { proxy()->writeLog(text, type); }
    void UpdatePrivilegedHelperToolsWithResourcePath(const std::string& resourcePath,
                                                     const std::string& destinationPath) override {
        proxy()->UpdatePrivilegedHelperToolsWithResourcePath(resourcePath, destinationPath);
    }
    void initiateDomainToolWithInfo(const archive::Dictionary& info) override {
        proxy()->call(sorrel::kInitiateDomainTool, {archive::Value(info)});
    }
    void updateMachineWithComputerName(const std::string& name, IntReply completion) override {
        proxy()->call(sorrel::kUpdateMachine, {name}, intReply(std::move(completion)));
    }
    void fetchComputerNameWithAccount(const std::string& account, TextReply completion) override {
        proxy()->call(sorrel::kFetchComputerName, {account}, textReply(std::move(completion)));
    }
    void joinWithComputerName(const std::string& name, IntReply completion) override {
        proxy()->call(sorrel::kJoin, {name}, intReply(std::move(completion)));
    }
    void fetchJoinedDomainNameWithCompletion(TextReply completion) override {
        proxy()->call(sorrel::kFetchJoinedDomainName, {}, textReply(std::move(completion)));
    }
    void checkDomainAccount(const std::string& account, const std::string& password,
                            TextReply completion) override {
        proxy()->call(sorrel::kCheckDomainAccount, {account, password}, textReply(std::move(completion)));
    }
    void quitDomainWithCompletion(IntReply completion) override {
        proxy()->call(sorrel::kQuitDomain, {}, intReply(std::move(completion)));
    }
    void sendJoinDomainSuccessNotification() override {
        proxy()->call(sorrel::kSendJoinDomainSuccessNotification, {});
    }
    void createMobileAccountWithUid(const std::string& uid, IntReply completion) override {
        proxy()->call(sorrel::kCreateMobileAccount, {uid}, intReply(std::move(completion)));
    }
    void ConnectEthernetWithUsername(const std::string& username, const std::string& password,
                                     const std::optional<std::string>& mPath, BoolReply completion) override {
        proxy()->call(sorrel::kConnectEthernet, {username, password, nullable(mPath)},
                      boolReply(std::move(completion)));
    }
    void ConnectWiFiWithSSID(const std::string& ssid, const std::string& usernam, const std::string& password,
                             const std::optional<std::string>& mPath, BoolReply completion) override {
        proxy()->call(sorrel::kConnectWiFi, {ssid, usernam, password, nullable(mPath)},
                      boolReply(std::move(completion)));
    }

  private:
    std::shared_ptr<HelperProxy> proxy() { return manager_.AppHelperManager::helper(); }

    // A reply without its value reads as a failure code.
    static HelperProxy::ReplyBlock intReply(IntReply completion) {
        if (!completion) return nullptr;
        return [completion](const archive::Array& args) {
            completion(static_cast<int>(helperscaffold::integerArgument(args, 0).value_or(-1)));
        };
    }
    static HelperProxy::ReplyBlock textReply(TextReply completion) {
        if (!completion) return nullptr;
        return
            [completion](const archive::Array& args) { completion(helperscaffold::textArgument(args, 0)); };
    }
    static HelperProxy::ReplyBlock boolReply(BoolReply completion) {
        if (!completion) return nullptr;
        return [completion](const archive::Array& args) {
            completion(!args.empty() && args[0].boolean().value_or(false));
        };
    }

    helperscaffold::AppHelperManager& manager_;
};

}  // namespace

DuceneHelperManager::DuceneHelperManager()
    : AppHelperManager(helperscaffold::domainJoinIdentity()),
      remote_(std::make_unique<RemoteSorrel>(*this)) {}

DuceneHelperManager::~DuceneHelperManager() = default;

DuceneHelperManager& DuceneHelperManager::sharedInstance() {
    static DuceneHelperManager* instance = new DuceneHelperManager();  // lives as long as the process
    return *instance;
}

sorrel::HelperProtocol& DuceneHelperManager::helper() {
    return *remote_;
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

std::string DuceneHelperManager::createDirectoryWithName(const std::string& name,
                                                         const std::string& rootDirectory) {
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
