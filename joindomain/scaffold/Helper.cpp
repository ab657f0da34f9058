#include "Helper.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>

#include "HelperCopy.h"
#include "HelperProtocol.h"

namespace helperscaffold {

namespace {

constexpr std::chrono::milliseconds kCommandDeadline{3000};

ipc::XpcOptions listenerOptions() {
    ipc::XpcOptions options;
    options.privileged = true;
    return options;
}

}  // namespace

Helper::Helper(const HelperIdentity& identity)
    : identity_(identity),
      logger_(identity),
      listener_(ipc::XpcListener::create(identity.label, listenerOptions())) {
    listener_->setAcceptHandler(
        [lifeline = lifeline_](const std::shared_ptr<ipc::XpcConnection>& connection) {
            bool kept = false;
            lifeline->with([&](Helper& helper) { kept = helper.listener(connection); });
            return kept;
        });
    exportOperation(kWriteLogSelector, [this](const archive::Array& args, const ReplyBlock&) {
        auto text = textArgument(args, 0);
        auto type = integerArgument(args, 1);
        if (text && type) writeLog(*text, static_cast<uint64_t>(*type));
    });
    exportOperation(kUpdateHelperSelector, [this](const archive::Array& args, const ReplyBlock&) {
        auto source = textArgument(args, 0);
        auto destination = textArgument(args, 1);
        if (source && destination) UpdatePrivilegedHelperToolsWithResourcePath(*source, *destination);
    });
}

Helper::~Helper() {
    lifeline_->end();
    listener_->invalidate();
    std::vector<std::shared_ptr<ipc::XpcConnection>> open;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        open.swap(connections);
    }
    for (const auto& c : open) c->invalidate();
    logger_.flush();
}

void Helper::exportOperation(const std::string& selector, Operation operation) {
    operations_[selector] = std::move(operation);
}

bool Helper::startToRun() {
    if (!listener_->resume()) return false;
    const auto interval = std::chrono::duration<double>(shouldQuitCheckInterval_);
    std::unique_lock<std::mutex> lock(mutex_);
    while (!shouldQuit_) quitChanged_.wait_for(lock, interval);
    lock.unlock();
    listener_->invalidate();
    logger_.flush();
    return true;
}

bool Helper::listener(const std::shared_ptr<ipc::XpcConnection>& newConnection) {
    ipc::XpcConnection* raw = newConnection.get();
    newConnection->setMessageHandler(
        [lifeline = lifeline_](const ipc::XpcMessage& message, const ipc::XpcConnection::Reply& reply) {
            lifeline->with([&](Helper& helper) { helper.handle(message, reply); });
        });
    newConnection->setInvalidationHandler([lifeline = lifeline_, raw] {
        lifeline->with([raw](Helper& helper) { helper.removeConnection(raw); });
    });
    {
        std::lock_guard<std::mutex> lock(mutex_);
        connections.push_back(newConnection);
    }
    newConnection->resume();
    return true;
}

void Helper::removeConnection(const ipc::XpcConnection* connection) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = std::find_if(connections.begin(), connections.end(),
                           [connection](const auto& c) { return c.get() == connection; });
    if (it == connections.end()) return;
    connections.erase(it);
    if (connections.empty()) {
        shouldQuit_ = true;
        quitChanged_.notify_all();
    }
}

void Helper::handle(const archive::Dictionary& message, const ipc::XpcConnection::Reply& reply) {
    std::optional<std::string> selector = selectorOf(message);
    auto it = selector ? operations_.find(*selector) : operations_.end();
    if (it == operations_.end()) return;  // not in the protocol: dropped, as the connection would
    ReplyBlock block;
    if (reply) block = [reply](archive::Array arguments) { reply(replyMessage(std::move(arguments))); };
    it->second(argumentsOf(message), block);
}

bool Helper::shouldQuit() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return shouldQuit_;
}

void Helper::setShouldQuit(bool quit) {
    std::lock_guard<std::mutex> lock(mutex_);
    shouldQuit_ = quit;
    quitChanged_.notify_all();
}

size_t Helper::connectionCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return connections.size();
}

void Helper::writeLog(const std::string& text, uint64_t type) {
    logger_.writeLog(text, type);
    std::shared_ptr<ipc::XpcConnection> last;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!connections.empty()) last = connections.back();
    }
    if (last) last->send(callMessage(kHelperLogSelector, {text}));
}

void Helper::UpdatePrivilegedHelperToolsWithResourcePath(const std::string& source,
                                                         const std::string& destination) {
    HelperCopy copy = copyIntoHelperFolder(source, destination);
    writeLog("Remove " + identity_.copyName + " cache result: (null), error: " + describe(copy.removeError),
             HSLogger::kInfo);
    writeLog("Copy " + identity_.copyName + " result: (null), error: " + describe(copy.copyError),
             HSLogger::kInfo);
}

void Helper::doShellScriptWithSource(const ShellScript& source, const ShellCompletion& completion) {
    ScriptOutcome outcome = scriptOutcome(source.run());
    if (completion) completion(std::move(outcome.output), outcome.errorInfo, outcome.errorNumber);
}

std::optional<std::string> Helper::Command(const std::string& line) {
    CommandResult run = runCommand({"/bin/bash", "-c", line}, kCommandDeadline);
    if (!run.error.empty() || run.output.empty()) return std::nullopt;
    return run.output;
}

void Helper::excuteTaskPath(const std::string& path, const std::vector<std::string>& argvs,
                            const TaskCompletion& completion) {
    std::optional<std::string> output;
    std::optional<std::string> error;
    struct stat st {};
    if (!path.empty() && ::stat(path.c_str(), &st) == 0) {
        std::vector<std::string> argv{path};
        argv.insert(argv.end(), argvs.begin(), argvs.end());
        CommandResult run = runCommand(argv);
        if (!run.output.empty()) output = std::move(run.output);
        if (!run.error.empty()) error = std::move(run.error);
    }
    if (completion) completion(std::move(output), std::move(error));
}

}  // namespace helperscaffold
