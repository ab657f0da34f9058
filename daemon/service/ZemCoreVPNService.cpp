#include "ZemCoreVPNService.h"

#include <sys/stat.h>

#include <cctype>
#include <stdexcept>

#include "platform/dispatch/MainLoop.h"
#include "common/logger/LogSink.h"
#include "platform/paths/Paths.h"
#include "framework/process/TaskHelper.h"
#include "daemon/protect/ZemProtectCore.h"
#include "DaemonDefaults.h"
#include "platform/spawn/Spawn.h"

using calix::TaskHelper;
using common::processLog;

namespace hollin {

namespace {

bool exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

// Our stand-in in the tool folder when installed, else the system's program.
std::string tool(const std::string& name, const std::string& systemPath) {
    std::string stand = paths::toolFolder() + "/" + name;
    return exists(stand) ? stand : systemPath;
}

std::string launchctl() {
    return tool("launchctl", "/bin/launchctl");
}

// Work on the global queue may outlive the object: it carries its own copy of the log.
void logTo(const std::function<void(const std::string&)>& sink, const std::string& line) {
    if (sink) {
        sink(line);
    } else {
        processLog().writeLog(line);
    }
}

}  // namespace

ZemCoreVPNService::ZemCoreVPNService() : ZemCoreVPNService(Environment{}) {}

ZemCoreVPNService::ZemCoreVPNService(Environment env) : env_(std::move(env)) {
    if (!env_.globalQueue) env_.globalQueue = dispatch::WorkQueue::global();
}

std::string ZemCoreVPNService::diagnoseToolPath() {
    return paths::uiAppBundle() + "/Contents/Resources/Runnel.app/Contents/MacOS/Runnel";
}
std::string ZemCoreVPNService::registrationAppPath() {
    return paths::uiAppBundle() + "/Contents/Resources/Cobbet.app/Contents/MacOS/Cobbet";
}
std::string ZemCoreVPNService::vpnAgentJobFile() {
    return paths::launchDaemonsFolder() + "/com.nimbrel.vpnagentd.plist";
}
std::string ZemCoreVPNService::productJobFile(const std::string& label) {
    return paths::launchDaemonsFolder() + "/com.velmora." + label + ".Daemon.plist";
}

void ZemCoreVPNService::log(const std::string& line) const {
    logTo(env_.log, line);
}

void ZemCoreVPNService::unloadWithoutWaiting(const std::string& jobFile) {
    spawn::Options o;
    o.program = launchctl();
    o.argv = {o.program, "unload", jobFile};
    o.grouping = spawn::Grouping::OwnGroup;
    std::optional<spawn::Child> child = spawn::start(o);
    if (!child) return;
    spawn::reapInBackground(child->pid, std::move(child->pidfd),
                            std::chrono::steady_clock::now() + env_.commandDeadline);
}

void ZemCoreVPNService::unloadVPNService() {
    unloadWithoutWaiting(vpnAgentJobFile());
}

bool ZemCoreVPNService::restartVPNService() {
    spawn::Options o;
    o.program = launchctl();
    o.argv = {o.program, "load", vpnAgentJobFile()};
    o.grouping = spawn::Grouping::OwnGroup;
    spawn::RunLimits limits;
    limits.deadline = env_.commandDeadline;
    limits.maxStreamBytes = 1u << 20;
    spawn::RunResult run = spawn::run(std::move(o), limits);
    // A load that never started or was cut off by the deadline did not succeed, output or not.
    return run.started() && !run.timedOut && run.output.empty() && run.error.empty();
}

void ZemCoreVPNService::ZemExit(bool stopRunLoop) {
    for (const char* label : {"Stoven", "Tamber", "Marlet"}) unloadWithoutWaiting(productJobFile(label));
    if (!stopRunLoop) return;
    if (env_.stopRunLoop) {
        env_.stopRunLoop();
    } else {
        dispatch::MainLoop::shared().stop();
    }
}

void ZemCoreVPNService::openVPNDiagnoseTool() {
    env_.globalQueue->dispatch([sink = env_.log] {
        const std::string path = diagnoseToolPath();
        if (exists(path)) {
            TaskHelper::sharedInstance().startCMDApp(path, {"", "", "", kDiagnoseToolVersion});
        } else {
            logTo(sink, "Runnel app is not exist");
        }
    });
}

bool ZemCoreVPNService::openRegistrationApp(const char* argument, const char* missingLine) {
    const std::string path = registrationAppPath();
    if (!exists(path)) {
        log(missingLine);
        return false;
    }
    TaskHelper::sharedInstance().startCMDApp(path, {argument});
    return true;
}

int64_t ZemCoreVPNService::openDucene() {
    return openRegistrationApp("", "Cobbet app is not exist") ? 1 : 0;
}
bool ZemCoreVPNService::configLan() {
    return openRegistrationApp("-lan", "Cobbet app is not exist from config lan");
}
bool ZemCoreVPNService::configDEVWlan() {
    return openRegistrationApp("-devwlan", "Cobbet app is not exist from config devwlan");
}
bool ZemCoreVPNService::configOfficeWLAN() {
    return openRegistrationApp("-wlan", "Cobbet app is not exist from config wlan");
}

void ZemCoreVPNService::reportMachineInfo(const std::string& netType) {
    auto report = env_.reportMachineInfo;
    if (!report) {
        report = [](const std::string& type, std::function<void(bool)> complete) {
            auto core = std::make_shared<ZemProtectCore>();
            // The completion keeps the core alive until the report has ended.
            core->reportMachineInfo(type, [core, complete = std::move(complete)](bool ok) {
                if (complete) complete(ok);
            });
        };
    }
    report(netType, [report, netType](bool ok) {
        if (!ok) report(netType, nullptr);
    });
}

void ZemCoreVPNService::saveNotAutorun(bool notAutorun) {
    env_.globalQueue->dispatch([sink = env_.log, notAutorun] {
        if (!service::setDaemonDefault(service::kNotAutoRunKey,
                                       archive::Value(int64_t(notAutorun ? 1 : 0)))) {
            logTo(sink, "[ZemCoreVPNService] save NotAutoRun failed");
        }
    });
}

void ZemCoreVPNService::startUpgradeHandle(int64_t upgradeType) {
    if (env_.startUpgrade) {
        env_.startUpgrade(upgradeType);
    } else {
        log("[ZemCoreVPNService] no upgrade client for upgrade type " + std::to_string(upgradeType));
    }
}

void ZemCoreVPNService::openUpgradeAppOnUI(const std::string&, const std::string&) {}

std::string ZemCoreVPNService::accountName(const std::string& userName) {
    if (userName.empty() || userName.size() > 64) return {};
    std::string lower;
    for (char c : userName) {
        const auto u = static_cast<unsigned char>(c);
        if (!(std::isalnum(u) || c == '.' || c == '_' || c == '-') || u >= 0x80) return {};
        lower.push_back(static_cast<char>(std::tolower(u)));
    }
    if (lower[0] == '-' || lower[0] == '.') return {};
    return lower;
}

bool ZemCoreVPNService::createADAccount(const std::string& userName) {
    const std::string name = accountName(userName);
    if (name.empty()) {
        log("[ZemCoreVPNService] create account refused: not an account name");
        return false;
    }
    TaskHelper& runner = TaskHelper::sharedInstance();
    std::string output;
    ErrorValue error;
    bool failed = false;
    runner.excuteTaskPath(tool("dsconfigad", "/usr/sbin/dsconfigad"),
                          {"-mobile", "enable", "-mobileconfirm", "disable"}, env_.commandDeadline, &output,
                          &error);
    failed = !error.failureReason.empty() || error.code != 0;
    if (!output.empty() && !failed) {
        std::string created;
        ErrorValue createError;
        runner.excuteTaskPath(
            tool("createmobileaccount",
                 "/System/Library/CoreServices/ManagedClient.app/Contents/Resources/createmobileaccount"),
            {"-n", name}, env_.commandDeadline, &created, &createError);
        log("create account res: " + (created.empty() ? std::string("(null)") : created) + "  " +
            (createError.failureReason.empty() ? std::string("(null)") : createError.failureReason));
        runner.excuteTaskPath(tool("dscl", "/usr/bin/dscl"),
                              {".", "-merge", "/groups/admin", "GroupMembership", name, name},
                              env_.commandDeadline);
    }
    return true;
}

namespace {

const archive::Value& argument(const archive::Array& args, size_t count, size_t index) {
    if (args.size() != count) throw std::invalid_argument("wrong number of arguments");
    return args[index];
}

bool boolArgument(const archive::Array& args) {
    const archive::Value& v = argument(args, 1, 0);
    if (!v.isNumber()) throw std::invalid_argument("argument is not a number");
    return *v.boolean();
}

std::string stringArgument(const archive::Array& args, size_t count, size_t index, size_t maxBytes) {
    const std::string* s = argument(args, count, index).string();
    if (s == nullptr) throw std::invalid_argument("argument is not a string");
    if (s->size() > maxBytes) throw std::invalid_argument("argument too long");
    return *s;
}

void noArguments(const archive::Array& args) {
    if (!args.empty()) throw std::invalid_argument("operation takes no arguments");
}

}  // namespace

ipc::VendedObject ZemCoreVPNService::vendedObject(std::shared_ptr<ZemCoreVPNService> s) {
    using archive::Array;
    using archive::Value;
    using R = std::optional<Value>;
    ipc::VendedObject o;
    o.add("unloadVPNService", [s](const Array& a) -> R {
        noArguments(a);
        s->unloadVPNService();
        return std::nullopt;
    });
    o.add("restartVPNService", [s](const Array& a) -> R {
        noArguments(a);
        return Value(s->restartVPNService());
    });
    o.add("ZemExit:", [s](const Array& a) -> R {
        s->ZemExit(boolArgument(a));
        return std::nullopt;
    });
    o.add("openVPNDiagnoseTool", [s](const Array& a) -> R {
        noArguments(a);
        s->openVPNDiagnoseTool();
        return std::nullopt;
    });
    o.add("configLan", [s](const Array& a) -> R {
        noArguments(a);
        return Value(s->configLan());
    });
    o.add("configDEVWlan", [s](const Array& a) -> R {
        noArguments(a);
        return Value(s->configDEVWlan());
    });
    o.add("configOfficeWLAN", [s](const Array& a) -> R {
        noArguments(a);
        return Value(s->configOfficeWLAN());
    });
    o.add("openDucene", [s](const Array& a) -> R {
        noArguments(a);
        return Value(s->openDucene());
    });
    o.add("reportMachineInfo:", [s](const Array& a) -> R {
        s->reportMachineInfo(stringArgument(a, 1, 0, 64));
        return std::nullopt;
    });
    o.add("saveNotAutorun:", [s](const Array& a) -> R {
        s->saveNotAutorun(boolArgument(a));
        return std::nullopt;
    });
    o.add("startUpgradeHandle:", [s](const Array& a) -> R {
        const Value& v = argument(a, 1, 0);
        if (!v.isInteger()) throw std::invalid_argument("argument is not an integer");
        s->startUpgradeHandle(*v.integer());
        return std::nullopt;
    });
    o.add("openUpgradeAppOnUI:argv:", [s](const Array& a) -> R {
        s->openUpgradeAppOnUI(stringArgument(a, 2, 0, 4096), stringArgument(a, 2, 1, 4096));
        return std::nullopt;
    });
    o.add("createADAccount:", [s](const Array& a) -> R {
        s->createADAccount(stringArgument(a, 1, 0, 256));
        return std::nullopt;
    });
    return o;
}

std::shared_ptr<ipc::NamedConnection> ZemCoreVPNService::vend(std::shared_ptr<ZemCoreVPNService> service) {
    ipc::VendOptions options;
    options.rootOnly = true;
    options.maxMessageBytes = 64u << 10;
    return ipc::NamedConnection::vend(kConnectionName, vendedObject(std::move(service)), options);
}

}  // namespace hollin
