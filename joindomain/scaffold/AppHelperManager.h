// The app side of a pair: at start it makes sure the helper it carries is the one installed (or
// installs it with an administrator's consent), then opens the privileged connection to the
// helper's service on first use and hands out proxies for calling it.
//
// Installing ("blessing"): pkexec runs the blesshelper tool as root, which copies the helper from
// the app bundle into the privileged-helper folder, writes its job file into LaunchDaemons and
// loads it into launchd; launchd starts the helper when the app connects.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "HelperIdentity.h"
#include "Lifeline.h"
#include "platform/archive/Value.h"
#include "platform/core/Error.h"
#include "platform/ipc/XpcConnection.h"

namespace helperscaffold {

// The helper's remote proxy: calls an operation of its HelperProtocol. A call whose connection
// fails is dropped (its reply block never runs) after the error is written to the system log.
// Reply blocks run on the connection's own thread.
class HelperProxy {
  public:
    using ReplyBlock = std::function<void(const archive::Array& arguments)>;

    explicit HelperProxy(std::shared_ptr<ipc::XpcConnection> connection);

    void call(const std::string& selector, archive::Array arguments);
    void call(const std::string& selector, archive::Array arguments, ReplyBlock reply);

    // Both helpers' HelperProtocol has these two.
    void writeLog(const std::string& text, uint64_t type);
    void UpdatePrivilegedHelperToolsWithResourcePath(const std::string& source,
                                                     const std::string& destination);

  private:
    std::shared_ptr<ipc::XpcConnection> connection_;
};

class AppHelperManager {
  public:
    // Error domains of a failed blessing.
    static constexpr const char* kOSStatusErrorDomain = "NSOSStatusErrorDomain";
    static constexpr const char* kBlessErrorDomain = "CFErrorDomainLaunchd";
    // Statuses of a refused administrator prompt.
    static constexpr long kAuthorizationCanceled = -60006;
    static constexpr long kAuthorizationDenied = -60005;

    // appBundle: the bundle that carries the helper; empty: the bundle of the running program
    // (<bundle>/Contents/MacOS/<program>).
    explicit AppHelperManager(const HelperIdentity& identity, std::string appBundle = {});
    virtual ~AppHelperManager();
    AppHelperManager(const AppHelperManager&) = delete;
    AppHelperManager& operator=(const AppHelperManager&) = delete;

    // YES once the current helper is installed, blessing it when needed. The completion runs
    // before this returns.
    void checkHelperWithCompletion(const std::function<void(bool)>& completion);
    // Asks an administrator and installs the helper; on failure *error says why.
    bool blessHelperWithLabel(const std::string& label, ErrorValue* error);
    // YES when the helper in the app bundle and the installed one carry the same version text.
    bool helperStatus();
    // The open connection, made on first use and again after it ended.
    std::shared_ptr<ipc::XpcConnection> helperConnection();
    // A proxy for calling the helper.
    std::shared_ptr<HelperProxy> helper();
    // AppProtocol: a log line of the helper.
    void helperLog(const std::optional<std::string>& text);

    const HelperIdentity& identity() const { return identity_; }
    const std::string& appBundle() const { return appBundle_; }
    // The administrator prompt: pkexec from the product's tool folder, else the system's.
    // Nothing until a blessing needs it, or when none can be found.
    const std::optional<std::string>& authRef() const { return authRef_; }

    // The bundle of the running program.
    static std::string runningAppBundle();

    // The administrator prompt: pkexec from the product's tool folder, else the system's.
    static std::optional<std::string> administratorPrompt();

  private:
    HelperIdentity identity_;
    std::string appBundle_;
    std::optional<std::string> authRef_;
    std::mutex connectMutex_;
    std::mutex mutex_;
    std::shared_ptr<ipc::XpcConnection> currentHelperConnection;
    std::shared_ptr<Lifeline<AppHelperManager>> lifeline_ = Lifeline<AppHelperManager>::make(this);
};

// For an app started by a user other than root: runs the program again as root through the
// administrator prompt, without any of its arguments, replacing this process, and returns true
// only when that could not be done (the caller then exits). Returns false at once for root.
bool elevateThroughAdministratorPrompt();

// The app's entry: asks the manager to check the helper; without it returns 0, otherwise runs
// the application and returns its result.
int runAppWithHelper(AppHelperManager& manager, const std::function<int()>& runApplication);

}  // namespace helperscaffold
