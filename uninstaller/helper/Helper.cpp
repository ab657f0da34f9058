#include "Helper.h"

#include <pwd.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <vector>

#include "ProcessKill.h"
#include "Removal.h"
#include "joindomain/scaffold/HelperProtocol.h"
#include "platform/paths/Paths.h"

namespace wendle {

namespace {

using helperscaffold::describe;
using helperscaffold::HSLogger;
using helperscaffold::ShellScript;

// The product's five launch daemons, unloaded in this order.
constexpr const char* kDaemonLabels[] = {"com.velmora.Hollin.Daemon", "com.velmora.Stoven.Daemon",
                                         "com.velmora.Tamber.Daemon", "com.velmora.Marlet.Daemon",
                                         "com.velmora.Grebe.Daemon"};

// NetworkManager takes each switch of all networking within seconds; one that hangs is ended.
constexpr std::chrono::seconds kNetworkSwitchDeadline{30};

// Kills the program; the pids it ended go to killed when given.
ShellScript killScript(std::string program, std::shared_ptr<std::vector<pid_t>> killed = nullptr) {
    return ShellScript().step(
        [program = std::move(program), killed] { return killProgram(program, killed.get()); });
}

std::string jobFile(const std::string& label) {
    return paths::launchDaemonsFolder() + "/" + label + ".plist";
}

// Unloads the job, then removes its file once the job is not loaded (unloaded now or before, or
// no launchd to hold it): a file left behind is loaded again at the next start and fails once its
// program is gone. The file goes before the next job is unloaded, so a job still running cannot
// load this one back. Answers with the unload's outcome, and any removal failure among its errors.
helperscaffold::CommandResult unloadAndRemoveJob(const std::string& label) {
    const std::string file = jobFile(label);
    helperscaffold::CommandResult unload = helperscaffold::runCommand({"launchctl", "unload", file});
    if (unload.status == 0 || helperscaffold::runCommand({"launchctl", "list", label}).status != 0) {
        unload.error += removeTree(locationOf(file)).error;
    }
    return unload;
}

ShellScript removeScript(const TreeLocation& location) {
    return ShellScript().step([location] { return removeTree(location); });
}

std::string ownUserName() {
    passwd pw{};
    passwd* found = nullptr;
    std::vector<char> buf(16384);
    if (::getpwuid_r(::geteuid(), &pw, buf.data(), buf.size(), &found) != 0 || !found || !found->pw_name)
        return std::to_string(::geteuid());
    return found->pw_name;
}

// An operation whose only argument is its completion: answers with the code.
helperscaffold::Helper::Operation withCompletion(Helper* helper,
                                                 void (Helper::*operation)(const Helper::Completion&)) {
    return [helper, operation](const archive::Array&, const helperscaffold::Helper::ReplyBlock& reply) {
        (helper->*operation)([&reply](int32_t code) {
            if (reply) reply({int64_t{code}});
        });
    };
}

}  // namespace

Helper& Helper::sharedInstance() {
    static Helper* helper = new Helper();  // never released: connections may call it to the end
    return *helper;
}

Helper::Helper() : helperscaffold::Helper(helperscaffold::uninstallIdentity()) {
    exportOperation(kFetchHomeDirectory, [this](const archive::Array& args, const ReplyBlock&) {
        if (auto path = helperscaffold::textArgument(args, 0)) fetchHomeDirectory(*path);
    });
    exportOperation(kClosedZemProcess, withCompletion(this, &Helper::closedZemProcessWithCompletion));
    exportOperation(kClosedZemUpgradeProcess,
                    withCompletion(this, &Helper::closedZemUpgradeProcessWithCompletion));
    exportOperation(kClosedZemOtherProcess,
                    withCompletion(this, &Helper::closedZemOtherProcessWithCompletion));
    exportOperation(kUnloadAllServiceProcess,
                    withCompletion(this, &Helper::unloadAllServiceProcessWithCompletion));
    exportOperation(kDeleteZemLogs, withCompletion(this, &Helper::deleteZemLogsWithCompletion));
    exportOperation(kDeleteZemResourcesCache,
                    withCompletion(this, &Helper::deleteZemResourcesCacheWithCompletion));
    exportOperation(kQuitDomain, withCompletion(this, &Helper::quitDomainWithCompletion));
    exportOperation(kRemoveZemApp, withCompletion(this, &Helper::removeZemAppWithCompletion));
}

std::optional<std::string> Helper::homeDirectory() const {
    std::lock_guard<std::mutex> lock(homeMutex_);
    return homeDirectory_;
}

void Helper::fetchHomeDirectory(const std::string& path) {
    {
        std::lock_guard<std::mutex> lock(homeMutex_);
        homeDirectory_ = path;
    }
    writeLog("User home path: " + path, HSLogger::kInfo);
}

int32_t Helper::runLogged(const ShellScript& script, const std::string& failureText,
                          const std::string& resultText) {
    int32_t code = 0;
    doShellScriptWithSource(script, [&](std::optional<std::string> output,
                                        const archive::Dictionary& errorInfo, int errorNumber) {
        if (!errorInfo.empty()) {
            code = errorNumber;
            writeLog(failureText + describe(archive::Value(errorInfo)), HSLogger::kError);
        } else {
            writeLog(resultText + describe(output), HSLogger::kInfo);
        }
    });
    return code;
}

void Helper::closedZemProcessWithCompletion(const Completion& completion) {
    int32_t code = runLogged(killScript(paths::uiAppExecutable()),
                             "Closed Zem process failed with error: ", "Closed Zem process result: ");
    if (completion) completion(code);
}

void Helper::closedZemUpgradeProcessWithCompletion(const Completion& completion) {
    // The policy runner's program has the same file name but lies elsewhere, and is left alone.
    int32_t code =
        runLogged(killScript(paths::upgradeAppExecutable()),
                  "Closed Zem upgrade process failed with error: ", "Closed Zem upgrade process result: ");
    if (completion) completion(code);
}

void Helper::closedZemOtherProcessWithCompletion(const Completion& completion) {
    auto agents = std::make_shared<std::vector<pid_t>>();
    doShellScriptWithSource(
        killScript(paths::vpnAgentExecutable(), agents),
        [this, agents](std::optional<std::string> output, const archive::Dictionary& errorInfo, int) {
            if (!errorInfo.empty()) {
                writeLog(
                    "Closed Zem Nimbrel process failed with error: " + describe(archive::Value(errorInfo)),
                    HSLogger::kError);
                return;
            }
            writeLog("Closed Zem Nimbrel process result: " + describe(output), HSLogger::kInfo);
            // The routes, addresses and name servers the ended agent set go with a restart of
            // networking; with no agent there was nothing to undo and the network is left alone.
            // On is asked for even when off failed, so networking is never left off.
            if (agents->empty()) return;
            ShellScript restart;
            restart
                .step([] {
                    return helperscaffold::runCommand({"nmcli", "networking", "off"}, kNetworkSwitchDeadline);
                })
                .step([] {
                    return helperscaffold::runCommand({"nmcli", "networking", "on"}, kNetworkSwitchDeadline);
                });
            runLogged(restart, "Restart network failed with error: ", "Restart network result: ");
        });
    runLogged(killScript(paths::domainJoinAppExecutable()),
              "Closed Zem Ducene process failed with error: ", "Closed Zem Ducene process result: ");
    if (completion) completion(0);
}

void Helper::unloadAllServiceProcessWithCompletion(const Completion& completion) {
    ShellScript unloads;
    for (const char* label : kDaemonLabels) {
        unloads.step([label] { return unloadAndRemoveJob(label); });
    }
    int32_t code =
        runLogged(unloads, "Unload Zem all Daemons failed with error: ", "Unload Zem all Daemons result: ");
    if (completion) completion(code);
}

void Helper::deleteZemLogsWithCompletion(const Completion& completion) {
    const TreeLocation machine = locationOf(paths::machineLogsFolder());
    if (treeExists(machine)) {
        runLogged(removeScript(machine),
                  "Delete Zem system Logs failed with error: ", "Delete Zem system Logs result: ");
    } else {
        writeLog("Zem system Logs path is not existed.", HSLogger::kInfo);
    }
    const TreeLocation user{homeDirectory().value_or(""), {"Library", "Logs"}, "RavAviza"};
    if (treeExists(user)) {
        runLogged(removeScript(user),
                  "Delete Zem user Logs failed with error: ", "Delete Zem user Logs result: ");
    } else {
        writeLog("Zem user Logs path is not existed.", HSLogger::kInfo);
    }
    if (completion) completion(0);
}

void Helper::deleteZemResourcesCacheWithCompletion(const Completion& completion) {
    const TreeLocation machine = locationOf(paths::machineSupportFolder());
    if (treeExists(machine)) {
        runLogged(removeScript(machine),
                  "Delete Zem system cache failed with error: ", "Delete Zem system cache result: ");
    } else {
        writeLog("Zem system cache path is not existed.", HSLogger::kInfo);
    }
    const TreeLocation user{homeDirectory().value_or(""), {"Library", "Application Support"}, "RavAvizaL"};
    if (treeExists(user)) {
        runLogged(removeScript(user),
                  "Delete Zem user cache failed with error: ", "Delete Zem user cache result: ");
    } else {
        writeLog("Zem user cache path is not existed.", HSLogger::kInfo);
    }
    const TreeLocation common = locationOf(paths::productRootParent());
    if (treeExists(common)) {
        runLogged(removeScript(common), "Delete Zem user common cache failed with error: ",
                  "Delete Zem user common cache result: ");
    } else {
        writeLog("Zem user common cache path is not existed.", HSLogger::kInfo);
    }
    if (completion) completion(0);
}

void Helper::quitDomainWithCompletion(const Completion& completion) {
    int32_t code = runLogged(ShellScript({"dsconfigad", "-f", "-r", "-u", ownUserName(), "-password", ""}),
                             "Quit domain failed with error: ", "Quit domain result: ");
    if (completion) completion(code);
}

void Helper::removeZemAppWithCompletion(const Completion& completion) {
    if (!treeExists(locationOf(paths::uiAppBundle()))) {
        // An earlier run cut short after the app went finishes here.
        removeEmptyFolder(locationOf(paths::applicationsFolder() + "/Hux"));
        writeLog("Zem application is not existed.", HSLogger::kInfo);
        if (completion) completion(0);
        return;
    }
    int32_t code = runLogged(removeScript(locationOf(paths::applicationsFolder() + "/Hux")),
                             "Remove Zem Application failed with error: ", "Remove Zem Application result: ");
    if (completion) completion(code);
}

}  // namespace wendle
