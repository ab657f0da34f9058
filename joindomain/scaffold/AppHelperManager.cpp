#include "AppHelperManager.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <vector>

#include "EmbeddedPlist.h"
#include "HSLogger.h"
#include "HelperProtocol.h"
#include "SystemLog.h"
#include "platform/paths/Paths.h"
#include "platform/spawn/Spawn.h"

namespace helperscaffold {

namespace {

// Time the administrator has to answer the prompt.
constexpr std::chrono::minutes kPromptDeadline{5};
constexpr long kAuthorizationInternal = -60008;

bool exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

bool executable(const std::string& path) {
    return ::access(path.c_str(), X_OK) == 0;
}

void reportClosed(const std::string& error) {
    systemLog("Helper connection was closed with error: " + error);
}

}  // namespace

HelperProxy::HelperProxy(std::shared_ptr<ipc::XpcConnection> connection)
    : connection_(std::move(connection)) {}

void HelperProxy::call(const std::string& selector, archive::Array arguments) {
    if (!connection_->send(callMessage(selector, std::move(arguments))))
        reportClosed("the connection to service named " + connection_->serviceName() + " was invalidated");
}

void HelperProxy::call(const std::string& selector, archive::Array arguments, ReplyBlock reply) {
    std::string name = connection_->serviceName();
    bool sent = connection_->send(
        callMessage(selector, std::move(arguments)),
        [reply = std::move(reply), name](std::optional<ipc::XpcMessage> answer) {
            if (!answer) {
                reportClosed("the connection to service named " + name + " was invalidated");
                return;
            }
            if (reply) reply(argumentsOf(*answer));
        });
    // A send that fails also ends the call with nothing, which reported it above.
    (void)sent;
}

void HelperProxy::writeLog(const std::string& text, uint64_t type) {
    call(kWriteLogSelector, {text, type});
}

void HelperProxy::UpdatePrivilegedHelperToolsWithResourcePath(const std::string& source,
                                                              const std::string& destination) {
    call(kUpdateHelperSelector, {source, destination});
}

AppHelperManager::AppHelperManager(const HelperIdentity& identity, std::string appBundle)
    : identity_(identity), appBundle_(appBundle.empty() ? runningAppBundle() : std::move(appBundle)) {}

AppHelperManager::~AppHelperManager() {
    lifeline_->end();
    std::shared_ptr<ipc::XpcConnection> connection;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        connection.swap(currentHelperConnection);
    }
    if (connection) connection->invalidate();
}

std::string AppHelperManager::runningAppBundle() {
    std::error_code ec;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return {};
    return self.parent_path().parent_path().parent_path().string();
}

std::optional<std::string> AppHelperManager::administratorPrompt() {
    for (const std::string& candidate : {paths::toolFolder() + "/pkexec", std::string("/usr/bin/pkexec")}) {
        if (executable(candidate)) return candidate;
    }
    return std::nullopt;
}

void AppHelperManager::checkHelperWithCompletion(const std::function<void(bool)>& completion) {
    const std::string& label = identity_.label;
    if (exists(paths::installedHelper(label)) && exists(paths::helperJobFile(label)) && helperStatus()) {
        if (completion) completion(true);
        return;
    }
    authRef_ = administratorPrompt();
    ErrorValue error;
    if (authRef_ && blessHelperWithLabel(label, &error)) {
        systemLog("Job is available!");
        if (completion) completion(true);
        return;
    }
    if (!authRef_) error = {kOSStatusErrorDomain, kAuthorizationInternal, "no administrator prompt"};
    systemLog("Something went wrong! " + error.domain + " / " + std::to_string(error.code));
    if (completion) completion(false);
}

bool AppHelperManager::blessHelperWithLabel(const std::string& label, ErrorValue* error) {
    auto fail = [error](const char* domain, long code, std::string reason) {
        if (error) *error = {domain, code, std::move(reason)};
        return false;
    };
    if (!authRef_) return fail(kOSStatusErrorDomain, kAuthorizationInternal, "no administrator prompt");
    // pkexec passes no environment on, so the tool is told the product's root.
    std::vector<std::string> argv{*authRef_, paths::toolFolder() + "/blesshelper"};
    if (!paths::root().empty()) argv.insert(argv.end(), {"--root", paths::root()});
    argv.insert(argv.end(), {label, paths::bundledHelper(appBundle_, label)});

    spawn::Options options;
    options.program = argv.front();
    options.argv = argv;
    spawn::RunLimits limits;
    limits.deadline = kPromptDeadline;
    limits.maxStreamBytes = 64 * 1024;
    spawn::RunResult run = spawn::run(std::move(options), limits);
    if (!run.started()) return fail(kOSStatusErrorDomain, kAuthorizationInternal, run.error);
    if (run.timedOut) return fail(kOSStatusErrorDomain, kAuthorizationCanceled, "no answer from the prompt");
    const int status = run.waitStatus ? spawn::exitStatusFromWait(*run.waitStatus) : -1;
    if (status == 126) return fail(kOSStatusErrorDomain, kAuthorizationCanceled, run.error);
    if (status == 127) return fail(kOSStatusErrorDomain, kAuthorizationDenied, run.error);
    if (status != 0) return fail(kBlessErrorDomain, status, run.error);
    return true;
}

bool AppHelperManager::helperStatus() {
    const std::string& label = identity_.label;
    std::optional<std::string> bundled = embeddedVersion(paths::bundledHelper(appBundle_, label));
    std::optional<std::string> installed = embeddedVersion(paths::installedHelper(label));
    helper()->writeLog(
        "The running helper version is: " + bundled.value_or("(null)") +
            ", the version of helper at PrivilegedHelperTools is: " + installed.value_or("(null)"),
        HSLogger::kInfo);
    return bundled && installed && *bundled == *installed;
}

std::shared_ptr<ipc::XpcConnection> AppHelperManager::helperConnection() {
    // One caller makes the connection; the handlers take only mutex_, so a connection that ends
    // while it is being resumed cannot wait for this caller.
    std::lock_guard<std::mutex> making(connectMutex_);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (currentHelperConnection) return currentHelperConnection;
    }
    ipc::XpcOptions options;
    options.privileged = true;
    auto connection = ipc::XpcConnection::create(identity_.label, options);
    connection->setMessageHandler(
        [lifeline = lifeline_](const ipc::XpcMessage& message, const ipc::XpcConnection::Reply&) {
            if (selectorOf(message) != std::string(kHelperLogSelector)) return;
            lifeline->with(
                [&](AppHelperManager& manager) { manager.helperLog(textArgument(argumentsOf(message), 0)); });
        });
    ipc::XpcConnection* raw = connection.get();
    // The next use opens a fresh connection.
    connection->setInvalidationHandler([lifeline = lifeline_, raw] {
        lifeline->with([raw](AppHelperManager& manager) {
            std::lock_guard<std::mutex> guard(manager.mutex_);
            if (manager.currentHelperConnection.get() == raw) manager.currentHelperConnection.reset();
        });
    });
    {
        std::lock_guard<std::mutex> lock(mutex_);
        currentHelperConnection = connection;
    }
    connection->resume();
    return connection;
}

std::shared_ptr<HelperProxy> AppHelperManager::helper() {
    return std::make_shared<HelperProxy>(helperConnection());
}

void AppHelperManager::helperLog(const std::optional<std::string>& text) {
    if (text && !text->empty()) systemLog("[Helper] " + *text);
}

bool elevateThroughAdministratorPrompt() {
    if (::geteuid() == 0) return false;
    // A helper serves root only: there is no code signature by which it could tell its own app
    // from any other program of the user, so the app itself runs as root once an administrator
    // agrees. pkexec keeps the display for the apps the product's polkit actions name. None of
    // the caller's arguments go along: the root instance takes no option from its caller.
    std::optional<std::string> prompt = AppHelperManager::administratorPrompt();
    std::error_code ec;
    const std::string self = std::filesystem::read_symlink("/proc/self/exe", ec).string();
    if (!prompt || ec || self.empty()) {
        systemLog("Something went wrong! no administrator prompt");
        return true;
    }
    std::vector<char*> args{prompt->data(), const_cast<char*>(self.c_str()), nullptr};
    ::execv(prompt->c_str(), args.data());
    systemLog("Something went wrong! " + *prompt + ": " + std::strerror(errno));
    return true;
}

int runAppWithHelper(AppHelperManager& manager, const std::function<int()>& runApplication) {
    bool ready = false;
    manager.checkHelperWithCompletion([&ready](bool ok) { ready = ok; });
    if (!ready) return 0;
    return runApplication ? runApplication() : 0;
}

}  // namespace helperscaffold
