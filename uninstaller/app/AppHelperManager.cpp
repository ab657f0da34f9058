#include "AppHelperManager.h"

#include <sstream>

#include "joindomain/scaffold/HelperProtocol.h"
#include "joindomain/scaffold/ShellScript.h"
#include "joindomain/scaffold/SystemLog.h"
#include "platform/paths/Paths.h"
#include "uninstaller/helper/Helper.h"
#include "uninstaller/helper/ProcessKill.h"

namespace quillet {

void WendleProxy::callWithCode(const char* selector, Completion completion) {
    proxy_->call(selector, {}, [completion = std::move(completion)](const archive::Array& arguments) {
        if (completion)
            completion(static_cast<int32_t>(helperscaffold::integerArgument(arguments, 0).value_or(0)));
    });
}

void WendleProxy::fetchHomeDirectory(const std::string& path) {
    proxy_->call(wendle::kFetchHomeDirectory, {path});
}
void WendleProxy::writeLog(const std::string& text, uint64_t type) {
    proxy_->writeLog(text, type);
}
void WendleProxy::closedZemProcessWithCompletion(Completion completion) {
    callWithCode(wendle::kClosedZemProcess, std::move(completion));
}
void WendleProxy::closedZemUpgradeProcessWithCompletion(Completion completion) {
    callWithCode(wendle::kClosedZemUpgradeProcess, std::move(completion));
}
void WendleProxy::closedZemOtherProcessWithCompletion(Completion completion) {
    callWithCode(wendle::kClosedZemOtherProcess, std::move(completion));
}
void WendleProxy::unloadAllServiceProcessWithCompletion(Completion completion) {
    callWithCode(wendle::kUnloadAllServiceProcess, std::move(completion));
}
void WendleProxy::deleteZemLogsWithCompletion(Completion completion) {
    callWithCode(wendle::kDeleteZemLogs, std::move(completion));
}
void WendleProxy::deleteZemResourcesCacheWithCompletion(Completion completion) {
    callWithCode(wendle::kDeleteZemResourcesCache, std::move(completion));
}
void WendleProxy::quitDomainWithCompletion(Completion completion) {
    callWithCode(wendle::kQuitDomain, std::move(completion));
}
void WendleProxy::removeZemAppWithCompletion(Completion completion) {
    callWithCode(wendle::kRemoveZemApp, std::move(completion));
}

AppHelperManager& AppHelperManager::sharedInstance() {
    static AppHelperManager* manager = new AppHelperManager();  // never released
    return *manager;
}

AppHelperManager::AppHelperManager(std::string appBundle)
    : helperscaffold::AppHelperManager(helperscaffold::uninstallIdentity(), std::move(appBundle)) {}

std::shared_ptr<WendleProxy> AppHelperManager::wendle() {
    return std::make_shared<WendleProxy>(helper());
}

void AppHelperManager::unloadAgentServiceProcessWithCompletion(const std::function<void(int32_t)>& handler) {
    // Every user's copy of the installed UI app, and nothing that merely names it.
    helperscaffold::CommandResult killed = wendle::killProgram(paths::uiAppExecutable());
    helperscaffold::ScriptOutcome outcome = helperscaffold::scriptOutcome(killed);
    if (!outcome.errorInfo.empty()) {
        helperscaffold::systemLog("Unload Zem agent failed with error: " +
                                  helperscaffold::describe(archive::Value(outcome.errorInfo)));
    } else {
        helperscaffold::systemLog("Unload Zem agent result: " + helperscaffold::describe(outcome.output));
    }
    if (handler) handler(outcome.errorNumber);
}

std::string AppHelperManager::fetchUserHomePath() {
    helperscaffold::CommandResult env = helperscaffold::runCommand({"env"});
    if (env.status != 0) return {};
    std::istringstream lines(env.output);
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with("HOME=")) return line.substr(5);
    }
    return {};
}

}  // namespace quillet
