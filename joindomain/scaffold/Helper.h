// The helper side of a pair: a root program that launchd starts when its app connects to the
// helper's service name. It accepts connections, runs the operations of its HelperProtocol on
// each connection's own thread in the order they arrive, sends every log line back to the app
// connected last, and returns from startToRun once its last connection has closed.
//
// Each helper derives from Helper and exports its own operations under their selectors.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "HSLogger.h"
#include "HelperIdentity.h"
#include "Lifeline.h"
#include "ShellScript.h"
#include "platform/archive/Value.h"
#include "platform/ipc/XpcConnection.h"

namespace helperscaffold {

class Helper {
  public:
    // Answers a call with the reply block's arguments.
    using ReplyBlock = std::function<void(archive::Array arguments)>;
    // One operation: the call's arguments and, when the caller gave a reply block, the means to
    // answer it (empty otherwise).
    using Operation = std::function<void(const archive::Array& arguments, const ReplyBlock& reply)>;
    using ShellCompletion = std::function<void(std::optional<std::string> output,
                                               const archive::Dictionary& errorInfo, int errorNumber)>;
    using TaskCompletion =
        std::function<void(std::optional<std::string> output, std::optional<std::string> error)>;

    // Sets the fields and creates the listener on the helper's service name.
    explicit Helper(const HelperIdentity& identity);
    virtual ~Helper();
    Helper(const Helper&) = delete;
    Helper& operator=(const Helper&) = delete;

    // Resumes the listener and waits until shouldQuit is set, checking at least every
    // shouldQuitCheckInterval seconds. False at once when the name cannot be taken.
    bool startToRun();

    // Takes a new connection: exports HelperProtocol on it, keeps it in connections and resumes
    // it. Any root peer is taken; the listener admits root's connections only.
    bool listener(const std::shared_ptr<ipc::XpcConnection>& newConnection);

    // HelperProtocol, both helpers.
    void writeLog(const std::string& text, uint64_t type);
    // Replaces a file of the privileged-helper folder with a copy of source; anything else
    // (another folder, a name with a slash, "..", a link) is refused and the log lines say why.
    void UpdatePrivilegedHelperToolsWithResourcePath(const std::string& source,
                                                     const std::string& destination);

    // Runs the script as root, waits for it and hands its outcome to completion.
    void doShellScriptWithSource(const ShellScript& source, const ShellCompletion& completion);
    // Runs "/bin/bash -c line" (fixed text only) for at most 3 s: its output, nothing when it
    // wrote to its error stream.
    std::optional<std::string> Command(const std::string& line);
    // Runs the program and returns after it ended, with its output and error text, each nothing
    // when empty (both nothing when the program cannot be started).
    void excuteTaskPath(const std::string& path, const std::vector<std::string>& argvs,
                        const TaskCompletion& completion);

    bool shouldQuit() const;
    void setShouldQuit(bool quit);
    double shouldQuitCheckInterval() const { return shouldQuitCheckInterval_; }
    size_t connectionCount() const;
    const HelperIdentity& identity() const { return identity_; }
    HSLogger& logger() { return logger_; }

  protected:
    // Exports an operation of the helper's HelperProtocol under its selector. Call from the
    // constructor, before startToRun.
    void exportOperation(const std::string& selector, Operation operation);

  private:
    void handle(const archive::Dictionary& message, const ipc::XpcConnection::Reply& reply);
    void removeConnection(const ipc::XpcConnection* connection);

    HelperIdentity identity_;
    HSLogger logger_;
    std::shared_ptr<Lifeline<Helper>> lifeline_ = Lifeline<Helper>::make(this);
    std::shared_ptr<ipc::XpcListener> listener_;
    std::map<std::string, Operation> operations_;

    mutable std::mutex mutex_;
    std::condition_variable quitChanged_;
    std::vector<std::shared_ptr<ipc::XpcConnection>> connections;
    bool shouldQuit_ = false;
    const double shouldQuitCheckInterval_ = 1.0;
};

}  // namespace helperscaffold
