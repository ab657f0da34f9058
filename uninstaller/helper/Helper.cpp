#include "Helper.h"

#include <pwd.h>
#include <unistd.h>

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

ShellScript killScript(CommandLineMatch match) {
    return ShellScript().step([match = std::move(match)] { return killMatching(match); });
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
    int32_t code = runLogged(killScript([](const std::string& line) {
                                 return containsWord(line, "Hux/Hux.app/Contents/MacOS/Hux");
                             }),
                             "Closed Zem process failed with error: ", "Closed Zem process result: ");
    if (completion) completion(code);
}

void Helper::closedZemUpgradeProcessWithCompletion(const Completion& completion) {
    // The upgrade app runs with -upgrade; the policy runner, whose program has the same name,
    // runs without it and is left alone.
    int32_t code =
        runLogged(killScript([](const std::string& line) {
                      return containsText(line, "Marlet") && containsWord(line, "upgrade");
                  }),
                  "Closed Zem upgrade process failed with error: ", "Closed Zem upgrade process result: ");
    if (completion) completion(code);
}

void Helper::closedZemOtherProcessWithCompletion(const Completion& completion) {
    doShellScriptWithSource(
        killScript([](const std::string& line) { return containsText(line, "Nimbrel"); }),
        [this](std::optional<std::string> output, const archive::Dictionary& errorInfo, int) {
            if (!errorInfo.empty()) {
                writeLog(
                    "Closed Zem Nimbrel process failed with error: " + describe(archive::Value(errorInfo)),
                    HSLogger::kError);
                return;
            }
            writeLog("Closed Zem Nimbrel process result: " + describe(output), HSLogger::kInfo);
            // The VPN component's routes and addresses go with the interfaces' restart.
            ShellScript restart;
            for (const char* device : {"en0", "en1"}) {
                restart.command({"ifconfig", device, "down"}).command({"ifconfig", device, "up"});
            }
            runLogged(restart, "Restart network failed with error: ", "Restart network result: ");
        });
    runLogged(killScript([](const std::string& line) { return containsText(line, "Ducene"); }),
              "Closed Zem Ducene process failed with error: ", "Closed Zem Ducene process result: ");
    if (completion) completion(0);
}

void Helper::unloadAllServiceProcessWithCompletion(const Completion& completion) {
    ShellScript unloads;
    for (const char* label : kDaemonLabels) {
        unloads.command({"launchctl", "unload", paths::launchDaemonsFolder() + "/" + label + ".plist"});
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
        writeLog("Zem application is not existed.", HSLogger::kInfo);
        if (completion) completion(0);
        return;
    }
    int32_t code = runLogged(removeScript(locationOf(paths::applicationsFolder() + "/Hux")),
                             "Remove Zem Application failed with error: ", "Remove Zem Application result: ");
    if (completion) completion(code);
}

}  // namespace wendle
