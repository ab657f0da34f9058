// Wendle, the uninstaller's privileged helper: the operations of its HelperProtocol stop the
// product's jobs and processes and remove its folders, logs and app, each answering with a code
// (0, or the failing command's status). Commands run without a shell; what it removes, it removes
// through folder descriptors without following links.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "joindomain/scaffold/Helper.h"

namespace wendle {

// Selectors of the uninstall helper's HelperProtocol beyond the scaffold's.
inline constexpr const char* kFetchHomeDirectory = "fetchHomeDirectory:";
inline constexpr const char* kClosedZemProcess = "closedZemProcessWithCompletion:";
inline constexpr const char* kClosedZemUpgradeProcess = "closedZemUpgradeProcessWithCompletion:";
inline constexpr const char* kClosedZemOtherProcess = "closedZemOtherProcessWithCompletion:";
inline constexpr const char* kUnloadAllServiceProcess = "unloadAllServiceProcessWithCompletion:";
inline constexpr const char* kDeleteZemLogs = "deleteZemLogsWithCompletion:";
inline constexpr const char* kDeleteZemResourcesCache = "deleteZemResourcesCacheWithCompletion:";
inline constexpr const char* kQuitDomain = "quitDomainWithCompletion:";
inline constexpr const char* kRemoveZemApp = "removeZemAppWithCompletion:";

class Helper : public helperscaffold::Helper {
  public:
    using Completion = std::function<void(int32_t code)>;

    static Helper& sharedInstance();
    Helper();

    void fetchHomeDirectory(const std::string& path);
    void closedZemProcessWithCompletion(const Completion& completion);
    void closedZemUpgradeProcessWithCompletion(const Completion& completion);
    void closedZemOtherProcessWithCompletion(const Completion& completion);
    void unloadAllServiceProcessWithCompletion(const Completion& completion);
    void deleteZemLogsWithCompletion(const Completion& completion);
    void deleteZemResourcesCacheWithCompletion(const Completion& completion);
    void quitDomainWithCompletion(const Completion& completion);
    void removeZemAppWithCompletion(const Completion& completion);

    std::optional<std::string> homeDirectory() const;

  private:
    // Runs the script; logs failureText or resultText (each ending in ": ") with the error
    // information or the output; returns the script code.
    int32_t runLogged(const helperscaffold::ShellScript& script, const std::string& failureText,
                      const std::string& resultText);

    mutable std::mutex homeMutex_;
    std::optional<std::string> homeDirectory_;
};

}  // namespace wendle
