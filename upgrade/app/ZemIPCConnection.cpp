#include "ZemIPCConnection.h"

#include "AppDelegate.h"
#include "LogUpgradeHelper.h"
#include "platform/dispatch/WorkQueue.h"

namespace {

// The order's bytes; nothing when the argument is missing or not data.
std::optional<std::string> orderData(const archive::Array& args) {
    if (args.empty()) return std::nullopt;
    if (const archive::Data* d = args[0].data()) return std::string(d->begin(), d->end());
    return std::nullopt;
}

template <typename F>
ipc::VendedObject::Method onMain(F f) {
    return [f](const archive::Array& args) -> std::optional<archive::Value> {
        dispatch::WorkQueue::main()->dispatch([f, args] {
            if (AppDelegate* delegate = AppDelegate::appDelegate()) f(*delegate, args);
        });
        return std::nullopt;
    };
}

}  // namespace

ipc::VendedObject ZemIPCConnection::vendedObject() {
    ipc::VendedObject object;
    object.add("startUpgradeApp:", onMain([](AppDelegate& d, const archive::Array& args) {
                   d.hiddenUpgradeUIBypForce(orderData(args));
               }));
    object.add("startUpgradeByUser",
               onMain([](AppDelegate& d, const archive::Array&) { d.showUpgradeUIByUser(); }));
    object.add("startUpgradeByTipUser",
               onMain([](AppDelegate& d, const archive::Array&) { d.showUpgradeUIByTipUser(); }));
    object.add("startUpgradeByTipForce",
               onMain([](AppDelegate& d, const archive::Array&) { d.hiddenUpgradeUIByTipForce(); }));
    object.add("startDownloadUpgradeAndNotInstall:", onMain([](AppDelegate& d, const archive::Array& args) {
                   d.hiddenUpgradeUIAndDownloadPKG(orderData(args));
               }));
    return object;
}

ConnectionManager& ConnectionManager::sharedInstance() {
    static ConnectionManager manager;
    return manager;
}

bool ConnectionManager::registerUpgradeConnection() {
    ipc::VendOptions options;
    options.rootOnly = true;  // orders come from the root daemon only
    options.maxMessageBytes = 1u << 20;
    upgradeConnection = ipc::NamedConnection::vend(ZemIPCConnection::kConnectionName,
                                                   ZemIPCConnection::vendedObject(), options);
    if (!upgradeConnection) {
        LogUpgradeHelper::sharedInstance().writeLog(
            std::string("cannot register ") + ZemIPCConnection::kConnectionName, 0);
        return false;
    }
    return true;
}

void ConnectionManager::invalidate() {
    if (upgradeConnection) upgradeConnection->invalidate();
    upgradeConnection.reset();
}
