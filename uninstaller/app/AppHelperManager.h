// The uninstaller's side of its helper pair: the scaffold's manager for Wendle, the UI app's
// kill from the app's own side, and a typed proxy for the uninstall helper's operations.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "joindomain/scaffold/AppHelperManager.h"

namespace quillet {

// Wendle's HelperProtocol as the app calls it. A completion runs on the connection's thread, and
// never when the connection fails.
class WendleProxy {
  public:
    using Completion = std::function<void(int32_t code)>;

    explicit WendleProxy(std::shared_ptr<helperscaffold::HelperProxy> proxy) : proxy_(std::move(proxy)) {}

    void fetchHomeDirectory(const std::string& path);
    void writeLog(const std::string& text, uint64_t type);
    void closedZemProcessWithCompletion(Completion completion);
    void closedZemUpgradeProcessWithCompletion(Completion completion);
    void closedZemOtherProcessWithCompletion(Completion completion);
    void unloadAllServiceProcessWithCompletion(Completion completion);
    void deleteZemLogsWithCompletion(Completion completion);
    void deleteZemResourcesCacheWithCompletion(Completion completion);
    void quitDomainWithCompletion(Completion completion);
    void removeZemAppWithCompletion(Completion completion);

  private:
    void callWithCode(const char* selector, Completion completion);
    std::shared_ptr<helperscaffold::HelperProxy> proxy_;
};

class AppHelperManager : public helperscaffold::AppHelperManager {
  public:
    static AppHelperManager& sharedInstance();
    // appBundle: the bundle carrying Wendle; empty: the running program's.
    explicit AppHelperManager(std::string appBundle = {});

    // The helper's operations.
    std::shared_ptr<WendleProxy> wendle();

    // Ends the UI app with this app's own rights; the handler gets 0 or the failure's status.
    void unloadAgentServiceProcessWithCompletion(const std::function<void(int32_t code)>& handler);
    // HOME as a command run by this app sees it; empty when it is not set.
    std::string fetchUserHomePath();
};

}  // namespace quillet
